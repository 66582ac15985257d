#include "app/form_components.h"

#include "platform/codepage.h"

namespace app {

FormComponent::FormComponent(uilocal::ComponentKind kind, std::string name,
                             uilocal::TComponent* owner, Show show, std::string caption)
    : uilocal::TComponent(kind, std::move(name), owner),
      show_(std::move(show)),
      caption_(std::move(caption)) {}

FormComponent::FormComponent(uilocal::ComponentKind kind, std::string name,
                             uilocal::TComponent& owner, uilocal::TComponent::HeldByMaker held,
                             Show show)
    : uilocal::TComponent(kind, std::move(name), owner, held), show_(std::move(show)) {}

void FormComponent::SetCaptionAnsi(std::string_view text) {
  caption_ = std::string(text);
  if (show_) show_(platform::AnsiToWide(text));
}

void FormComponent::SetCaptionWide(std::u16string_view text) {
  caption_ = platform::WideToAnsi(text);
  if (show_) show_(text);
}

FormComponents::FormComponents(uilocal::TComponent& root, Shows shows) : shows_(std::move(shows)) {
  // Held here, listed under the application for as long as the window lives.
  form_ = std::make_unique<FormComponent>(uilocal::ComponentKind::kForm, "MainForm", root,
                                          uilocal::TComponent::HeldByMaker{}, shows_.title);
  for (const DesignedControl& c : kDesign) {
    controls_.push_back(new FormComponent(
        c.kind, std::string(c.name), form_.get(),
        [this, id = c.id](std::u16string_view text) { shows_.control(id, text); }));
  }
  new FormComponent(uilocal::ComponentKind::kComponent, "SkypeControl", form_.get(), {});
  new FormComponent(uilocal::ComponentKind::kComponent, "HTTP", form_.get(), {});
}

void FormComponents::ShowDesignedTexts() {
  for (const DesignedControl& c : kDesign) {
    if (!c.text.empty()) controls_[static_cast<std::size_t>(c.id)]->SetCaptionAnsi(c.text);
  }
}

void FormComponents::AddPage(const std::string& handle) {
  auto* sheet = new FormComponent(
      uilocal::ComponentKind::kTabSheet, "",
      controls_[static_cast<std::size_t>(Control::PageControl1)],
      [this, page = pages_](std::u16string_view text) { shows_.page(page, text); }, handle);
  new FormComponent(uilocal::ComponentKind::kMemo, "Memo", sheet, {});
  ++pages_;
}

}  // namespace app
