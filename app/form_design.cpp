#include "app/form_design.h"

#include <algorithm>

namespace app {
namespace {

constexpr int Index(Control control) {
  return static_cast<int>(control);
}

// The bounds at the design's client size, with the bottom row where the window's creation puts
// it when asked to: the row's height is the button's, whatever the toolkit adds to a list.
Rect AtDesignSize(Control control, bool bottomRowPlaced) {
  Rect r = Designed(control).bounds;
  if (!bottomRowPlaced) return r;
  const int h = kDesignClient.height;
  const int rowTop = h - Designed(Control::btnSend).bounds.height - kRowBottomGap;
  switch (control) {
    case Control::btnSend:
    case Control::ToUsers:
    case Control::SendIn:
      r.top = h - r.height - kRowBottomGap;
      break;
    case Control::l_Send_To:
    case Control::l_in:
      r.top = h - r.height - kLabelBottomGap;
      break;
    case Control::SendMessage:
      r.height = rowTop - r.top - kMemoAboveRow;
      break;
    default:
      break;
  }
  return r;
}

}  // namespace

const DesignedControl& Designed(Control control) {
  return kDesign[static_cast<std::size_t>(Index(control))];
}

const DesignedControl* DesignedNamed(std::string_view name) {
  for (const DesignedControl& c : kDesign) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

void FormLayout::SetLabelWidth(Control label, int width) {
  if (IsLabel(label)) labelWidths_[static_cast<std::size_t>(Index(label))] = std::max(0, width);
}

Size FormLayout::Clamp(Size client) {
  return {std::max(client.width, kMinimumClient.width),
          std::max(client.height, kMinimumClient.height)};
}

Rect FormLayout::Place(Control control, Size client) const {
  const DesignedControl& design = Designed(control);
  Rect r = AtDesignSize(control, bottomRowPlaced_);
  if (const int width = labelWidths_[static_cast<std::size_t>(Index(control))]; width >= 0) {
    if (design.rightAligned) r.left = r.Right() - width;
    r.width = width;
  }
  const int dx = client.width - kDesignClient.width;
  const int dy = client.height - kDesignClient.height;
  if (design.anchors & akRight) {
    if (design.anchors & akLeft) {
      r.width += dx;
    } else {
      r.left += dx;
    }
  }
  if (design.anchors & akBottom) {
    if (design.anchors & akTop) {
      r.height += dy;
    } else {
      r.top += dy;
    }
  }
  r.width = std::max(0, r.width);
  r.height = std::max(0, r.height);
  return r;
}

}  // namespace app
