#pragma once

// The user-interface toolkit's component tree, as the interface localisation walks it: every
// component has a name, an owner, and the components it owns in the order they were added; the
// application object, nameless, owns the forms. A component's class is tested by kind, the
// wide-text kinds deriving from the plain ones. Captions and hints take 8-bit (ANSI) or UTF-16
// text; a kind without a caption or hint ignores what it is given.
//
// The tree records ownership as the program designed it, not the toolkit's parent chain: a tab
// sheet is owned by its page control even where the toolkit puts it inside another widget.

#include <string>
#include <string_view>
#include <vector>

namespace uilocal {

enum class ComponentKind {
  kComponent,
  kApplication,
  kForm,
  kTntForm,
  kMenuItem,
  kTntMenuItem,
  kLabel,
  kTntLabel,
  kTabSheet,
  kTntTabSheet,
  kTntRadioButton,
  kSpeedButton,
  kTntSpeedButton,
  kButton,
  kTntButton,
  kBitBtn,
  kTntBitBtn,
  kCheckBox,
  kTntCheckBox,
  kComboBox,
  kTntComboBox,
  kMemo,
  kTntMemo,
  kEdit,
  kPageControl,
};

// True when `kind` is `base` or derives from it.
bool KindDerivesFrom(ComponentKind kind, ComponentKind base);

class TComponent {
 public:
  // Made with new: it is appended to the owner's components, and the owner frees it. A
  // component without owner belongs to whoever made it.
  TComponent(ComponentKind kind, std::string name, TComponent* owner);
  // Appended to `owner`'s components for the walk, but held and freed by whoever made it: a
  // form's component, held by its window object for as long as the program keeps the window.
  // It leaves the owner's components when it goes; an owner that goes first lets go of it.
  struct HeldByMaker {};
  TComponent(ComponentKind kind, std::string name, TComponent& owner, HeldByMaker);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  ComponentKind Kind() const { return kind_; }
  const std::string& Name() const { return name_; }
  TComponent* Owner() const { return owner_; }
  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const {
    return components_.at(static_cast<std::size_t>(index)).component;
  }
  bool InheritsFrom(ComponentKind base) const { return KindDerivesFrom(kind_, base); }

  virtual void SetCaptionAnsi(std::string_view) {}
  virtual void SetCaptionWide(std::u16string_view) {}
  virtual void SetHintAnsi(std::string_view) {}
  virtual void SetHintWide(std::u16string_view) {}

 private:
  ComponentKind kind_;
  std::string name_;
  struct Owned {
    TComponent* component;
    bool freedHere;  // false for a component held by its maker
  };

  TComponent* owner_;
  std::vector<Owned> components_;
};

}  // namespace uilocal
