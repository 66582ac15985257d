#include "uilocal/component.h"

namespace uilocal {
namespace {

// The class each kind derives from directly; kComponent derives from nothing.
ComponentKind Parent(ComponentKind kind) {
  switch (kind) {
    case ComponentKind::kTntForm:
      return ComponentKind::kForm;
    case ComponentKind::kTntMenuItem:
      return ComponentKind::kMenuItem;
    case ComponentKind::kTntTabSheet:
      return ComponentKind::kTabSheet;
    case ComponentKind::kTntSpeedButton:
      return ComponentKind::kSpeedButton;
    case ComponentKind::kTntButton:
      return ComponentKind::kButton;
    case ComponentKind::kBitBtn:
      return ComponentKind::kButton;
    case ComponentKind::kTntBitBtn:
      return ComponentKind::kBitBtn;
    case ComponentKind::kTntCheckBox:
      return ComponentKind::kCheckBox;
    case ComponentKind::kTntComboBox:
      return ComponentKind::kComboBox;
    case ComponentKind::kTntMemo:
      return ComponentKind::kMemo;
    default:
      return ComponentKind::kComponent;
  }
}

}  // namespace

bool KindDerivesFrom(ComponentKind kind, ComponentKind base) {
  for (;;) {
    if (kind == base) return true;
    if (kind == ComponentKind::kComponent) return false;
    kind = Parent(kind);
  }
}

TComponent::TComponent(ComponentKind kind, std::string name, TComponent* owner)
    : kind_(kind), name_(std::move(name)), owner_(owner) {
  if (owner_ != nullptr) owner_->components_.push_back({this, true});
}

TComponent::TComponent(ComponentKind kind, std::string name, TComponent& owner, HeldByMaker)
    : kind_(kind), name_(std::move(name)), owner_(&owner) {
  owner_->components_.push_back({this, false});
}

TComponent::~TComponent() {
  // Owned components go first, newest first; they need not unlink themselves from us. Those
  // their makers hold only lose their owner.
  for (const Owned& owned : components_) owned.component->owner_ = nullptr;
  while (!components_.empty()) {
    const Owned last = components_.back();
    components_.pop_back();
    if (last.freedHere) delete last.component;
  }
  if (owner_ != nullptr) {
    auto& siblings = owner_->components_;
    for (auto it = siblings.begin(); it != siblings.end(); ++it) {
      if (it->component == this) {
        siblings.erase(it);
        break;
      }
    }
  }
}

}  // namespace uilocal
