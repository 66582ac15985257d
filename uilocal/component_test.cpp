#include "uilocal/component.h"

#include <gtest/gtest.h>

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
    delete sheet;  // freed before its owner: the owner lets go of it and its memo
    EXPECT_EQ(freed, 2);
    EXPECT_EQ(pages->ComponentCount(), 0);
  }
  EXPECT_EQ(freed, 5);
}

}  // namespace
}  // namespace uilocal
