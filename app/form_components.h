#pragma once

// The window's component tree, as the interface texts reach it, apart from any toolkit: the
// form "MainForm" (owned by the application's root), its designed controls and the two
// non-visual components in design order, and per conversation a nameless tab sheet owned by
// PageControl1 with its text box "Memo". A caption set on a component is kept as its 8-bit form
// (tabs and the title compare and show bytes) and handed on to be shown.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/form_design.h"
#include "uilocal/component.h"

namespace app {

class FormComponent final : public uilocal::TComponent {
 public:
  // Told of every caption set, in full (UTF-16, or the 8-bit text widened).
  using Show = std::function<void(std::u16string_view caption)>;

  FormComponent(uilocal::ComponentKind kind, std::string name, uilocal::TComponent* owner,
                Show show, std::string caption = {});
  FormComponent(uilocal::ComponentKind kind, std::string name, uilocal::TComponent& owner,
                uilocal::TComponent::HeldByMaker held, Show show);

  const std::string& CaptionAnsi() const { return caption_; }
  void SetCaptionAnsi(std::string_view text) override;
  void SetCaptionWide(std::u16string_view text) override;

 private:
  Show show_;
  std::string caption_;
};

class FormComponents {
 public:
  // How captions are shown: on the window's title, on a designed control, on a page's tab.
  struct Shows {
    FormComponent::Show title;
    std::function<void(Control, std::u16string_view)> control;
    std::function<void(int page, std::u16string_view)> page;
  };
  FormComponents(uilocal::TComponent& root, Shows shows);

  FormComponent& Form() { return *form_; }
  // The designed texts, as the window's layout has them.
  void ShowDesignedTexts();
  // The tab sheet and memo of a new conversation page, its caption the handle (shown already).
  void AddPage(const std::string& handle);

 private:
  Shows shows_;
  std::unique_ptr<FormComponent> form_;
  std::vector<FormComponent*> controls_;  // by Control
  int pages_ = 0;
};

}  // namespace app
