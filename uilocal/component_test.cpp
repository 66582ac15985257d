#include "uilocal/component.h"

#include <gtest/gtest.h>

#include <memory>

namespace uilocal {
namespace {

TEST(ComponentKinds, WideKindsDeriveFromThePlainOnesAndNotTheOtherWay) {
  EXPECT_TRUE(KindDerivesFrom(ComponentKind::kTntForm, ComponentKind::kForm));
  EXPECT_TRUE(KindDerivesFrom(ComponentKind::kTntBitBtn, ComponentKind::kButton));
  EXPECT_TRUE(KindDerivesFrom(ComponentKind::kTntBitBtn, ComponentKind::kBitBtn));
  EXPECT_TRUE(KindDerivesFrom(ComponentKind::kTntSpeedButton, ComponentKind::kSpeedButton));
  EXPECT_TRUE(KindDerivesFrom(ComponentKind::kLabel, ComponentKind::kComponent));
  EXPECT_FALSE(KindDerivesFrom(ComponentKind::kTntLabel, ComponentKind::kLabel));
  EXPECT_FALSE(KindDerivesFrom(ComponentKind::kForm, ComponentKind::kTntForm));
  EXPECT_FALSE(KindDerivesFrom(ComponentKind::kSpeedButton, ComponentKind::kButton));
  EXPECT_FALSE(KindDerivesFrom(ComponentKind::kTntCheckBox, ComponentKind::kButton));
}

TEST(ComponentTree, OwnersKeepTheirComponentsInOrderAndFreeThem) {
  static int freed = 0;
  struct Counted : TComponent {
    using TComponent::TComponent;
    ~Counted() override { ++freed; }
  };
  {
    TComponent application(ComponentKind::kApplication, "", nullptr);
    auto* form = new Counted(ComponentKind::kForm, "MainForm", &application);
    new Counted(ComponentKind::kTntLabel, "l_in", form);
    auto* pages = new Counted(ComponentKind::kPageControl, "PageControl1", form);
    auto* sheet = new Counted(ComponentKind::kTabSheet, "", pages);
    new Counted(ComponentKind::kMemo, "Memo", sheet);
    ASSERT_EQ(application.ComponentCount(), 1);
    EXPECT_EQ(form->ComponentCount(), 2);
    EXPECT_EQ(form->Components(1), pages);
    EXPECT_EQ(sheet->Owner(), pages);
    EXPECT_EQ(sheet->Components(0)->Name(), "Memo");
  }
  EXPECT_EQ(freed, 5);
}

TEST(ComponentTree, AFormHeldByItsMakerIsWalkedButFreedOnlyByItsMaker) {
  static int freed = 0;
  struct Counted : TComponent {
    using TComponent::TComponent;
    ~Counted() override { ++freed; }
  };
  auto application = std::make_unique<TComponent>(ComponentKind::kApplication, "", nullptr);
  new Counted(ComponentKind::kForm, "Before", application.get());
  auto held = std::make_unique<Counted>(ComponentKind::kForm, "MainForm", *application,
                                        TComponent::HeldByMaker{});
  new Counted(ComponentKind::kTntLabel, "l_in", held.get());
  new Counted(ComponentKind::kForm, "After", application.get());
  ASSERT_EQ(application->ComponentCount(), 3);
  EXPECT_EQ(application->Components(1), held.get());
  EXPECT_EQ(held->Owner(), application.get());

  // The maker frees it, and its components with it: the application's list closes up.
  held.reset();
  EXPECT_EQ(freed, 2);
  ASSERT_EQ(application->ComponentCount(), 2);
  EXPECT_EQ(application->Components(1)->Name(), "After");

  // An application that goes first frees what it owns and only lets go of a held form.
  held = std::make_unique<Counted>(ComponentKind::kForm, "Again", *application,
                                   TComponent::HeldByMaker{});
  application.reset();
  EXPECT_EQ(freed, 4);
  EXPECT_EQ(held->Owner(), nullptr);
  held.reset();
  EXPECT_EQ(freed, 5);
}

}  // namespace
}  // namespace uilocal
