#include "app/page_control.h"

#include <QAccessible>
#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QScrollBar>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testsupport/qt_support.h"

namespace app {
namespace {

// Handles of the kind a contact list holds: short and long ones mixed.
QString Handle(int i) {
  static const char* const stems[] = {"bob", "carol.smith", "dave", "erin_in_lisbon", "fay", "gus"};
  return QString("%1%2").arg(stems[i % 6]).arg(i);
}

class PageControlTest : public ::testing::Test {
 protected:
  void Fill(int tabs) {
    for (int i = 0; i < tabs; ++i) pc.addTab(new QPlainTextEdit, Handle(i));
  }
  // Brings the tab's row into sight with the scroll bar, as a user would, and clicks the centre
  // of the tab.
  void Click(int index) {
    QWidget* list = pc.tabList();
    QWidget* viewport = list->parentWidget();
    auto visibleRect = [&] { return QRect(list->mapFrom(viewport, QPoint()), viewport->size()); };
    QRect tab = pc.tabRect(index).translated(-list->mapTo(&pc, QPoint()));
    const QRect visible = visibleRect();
    if (tab.top() < visible.top()) {
      pc.rowScrollBar()->setValue(pc.rowScrollBar()->value() - (visible.top() - tab.top()));
    } else if (tab.bottom() > visible.bottom()) {
      pc.rowScrollBar()->setValue(pc.rowScrollBar()->value() + (tab.bottom() - visible.bottom()));
    }
    tab = pc.tabRect(index).translated(-list->mapTo(&pc, QPoint()));
    ASSERT_TRUE(visibleRect().contains(tab))
        << index << ": tab " << tab.y() << "+" << tab.height() << ", sight " << visibleRect().y()
        << "+" << visibleRect().height() << ", rows " << pc.rowCount();
    const QPointF at = tab.center();
    QMouseEvent press(QEvent::MouseButtonPress, at, list->mapToGlobal(at), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list, &press);
  }
  void Key(QWidget* to, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers);
    QApplication::sendEvent(to, &press);
  }
  // The tabs lie inside the control, side by side, never on top of each other.
  void ExpectATidyLayout() {
    for (int i = 0; i < pc.count(); ++i) {
      const QRect a = pc.tabRect(i);
      EXPECT_GE(a.left(), 0) << i;
      EXPECT_LE(a.right(), pc.width() - 1) << i;
      for (int j = i + 1; j < pc.count(); ++j) EXPECT_FALSE(a.intersects(pc.tabRect(j))) << i << j;
    }
  }

  PageControl pc;
};

TEST_F(PageControlTest, TwentyTabsWrapAndEachOneIsSelectedByAClickAtItsCentre) {
  pc.resize(478, 175);
  Fill(20);
  pc.show();
  for (int width : {478, 300, 700}) {
    SCOPED_TRACE(width);
    pc.resize(width, 175);
    EXPECT_GT(pc.rowCount(), 1);
    ExpectATidyLayout();
    for (int i = pc.count() - 1; i >= 0; --i) {
      Click(i);
      ASSERT_EQ(pc.currentIndex(), i);
      EXPECT_TRUE(pc.widget(i)->isVisibleTo(&pc));
      // The selected tab's row is the one next to the page.
      int lowest = 0;
      for (int j = 0; j < pc.count(); ++j) lowest = std::max(lowest, pc.tabRect(j).bottom());
      EXPECT_EQ(pc.tabRect(i).bottom(), lowest);
    }
  }
  EXPECT_EQ(pc.rowScrollBar()->maximum(), 0) << "twenty tabs fit without scrolling";
}

TEST_F(PageControlTest, AHundredTabsAtTheSmallestSizeScrollAndAreAllReachable) {
  pc.resize(478, 175);
  Fill(100);
  pc.show();
  EXPECT_GT(pc.rowScrollBar()->maximum(), 0);
  ExpectATidyLayout();
  // The page keeps a usable height.
  EXPECT_GE(pc.widget(0)->parentWidget()->height(), PageControl::kMinPageHeight);
  for (int i : {57, 0, 99, 1, 42, 98, 13}) {
    Click(i);
    EXPECT_EQ(pc.currentIndex(), i);
  }
}

TEST_F(PageControlTest, KeyboardMovesBetweenTabsFromTheTabsAndFromThePage) {
  pc.resize(300, 175);
  Fill(4);
  pc.show();
  QWidget* memo = pc.widget(0);
  Key(memo, Qt::Key_Tab, Qt::ControlModifier);
  EXPECT_EQ(pc.currentIndex(), 1);
  Key(pc.widget(1), Qt::Key_PageDown, Qt::ControlModifier);
  EXPECT_EQ(pc.currentIndex(), 2);
  Key(pc.widget(2), Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(pc.currentIndex(), 1);
  Key(pc.widget(1), Qt::Key_PageUp, Qt::ControlModifier);
  EXPECT_EQ(pc.currentIndex(), 0);
  Key(pc.widget(0), Qt::Key_PageUp, Qt::ControlModifier);
  EXPECT_EQ(pc.currentIndex(), 3) << "wraps around, as Ctrl+Tab does";
  Key(pc.tabList(), Qt::Key_Right);
  EXPECT_EQ(pc.currentIndex(), 0);
  Key(pc.tabList(), Qt::Key_End);
  EXPECT_EQ(pc.currentIndex(), 3);
  Key(pc.tabList(), Qt::Key_Left);
  EXPECT_EQ(pc.currentIndex(), 2);
  Key(pc.tabList(), Qt::Key_Home);
  EXPECT_EQ(pc.currentIndex(), 0);
  EXPECT_EQ(pc.focusProxy(), pc.tabList());
}

TEST_F(PageControlTest, TheTabListAndItsTabsAreExposedWithRolesAndCaptions) {
  pc.resize(300, 175);
  Fill(3);
  pc.setTabText(2, "renamed");
  pc.show();
  QAccessibleInterface* list = QAccessible::queryAccessibleInterface(pc.tabList());
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->role(), QAccessible::PageTabList);
  ASSERT_EQ(list->childCount(), 3);
  QAccessibleInterface* third = list->child(2);
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(third->role(), QAccessible::PageTab);
  EXPECT_EQ(third->text(QAccessible::Name), "renamed");
  EXPECT_EQ(third->parent(), list);
  EXPECT_EQ(list->indexOfChild(third), 2);
  EXPECT_FALSE(third->state().selected);
  EXPECT_TRUE(list->child(0)->state().selected);
  // A tool's "press" selects the tab.
  ASSERT_NE(third->actionInterface(), nullptr);
  third->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
  EXPECT_EQ(pc.currentIndex(), 2);
  EXPECT_TRUE(third->state().selected);
}

TEST_F(PageControlTest, AnUnreadMarkIsSeenAndHeardButLeavesTheCaption) {
  pc.resize(300, 175);
  Fill(3);
  pc.show();
  std::vector<int> chosen;
  pc.OnUserSelect = [&](int index) { chosen.push_back(index); };
  const QImage before = pc.grab().toImage();
  const QRect tab = pc.tabRect(2);
  pc.setTabUnread(2, true);
  EXPECT_TRUE(pc.tabUnread(2));
  EXPECT_FALSE(pc.tabUnread(0));
  EXPECT_EQ(pc.tabRect(2), tab);  // nothing moves
  // Seen at a glance: a good part of the tab changes, nothing outside it.
  const QImage after = pc.grab().toImage();
  int changed = 0, elsewhere = 0;
  for (int y = 0; y < after.height(); ++y) {
    for (int x = 0; x < after.width(); ++x) {
      if (after.pixel(x, y) == before.pixel(x, y)) continue;
      ++(tab.contains(x, y) ? changed : elsewhere);
    }
  }
  EXPECT_GE(changed, tab.width() * 3) << "of " << tab.width() * tab.height();
  EXPECT_EQ(elsewhere, 0);
  QAccessibleInterface* third = QAccessible::queryAccessibleInterface(pc.tabList())->child(2);
  EXPECT_EQ(third->text(QAccessible::Description), "unread");
  EXPECT_EQ(third->text(QAccessible::Name), pc.tabText(2));
  pc.setTabUnread(2, false);
  EXPECT_EQ(third->text(QAccessible::Description), "");
  EXPECT_EQ(pc.grab().toImage(), before);
  // The program's selection is not the user's; the user's is told, also of the tab on show.
  pc.setCurrentIndex(1);
  pc.Choose(2);
  pc.Choose(2);
  EXPECT_EQ(chosen, std::vector<int>({2, 2}));
}

TEST_F(PageControlTest, OnlyTheFirstTabAddedIsSelectedByAdding) {
  EXPECT_EQ(pc.currentIndex(), -1);
  Fill(3);
  EXPECT_EQ(pc.currentIndex(), 0);
  EXPECT_EQ(pc.indexOf(pc.widget(2)), 2);
  EXPECT_EQ(pc.widget(3), nullptr);
  EXPECT_EQ(pc.tabText(-1), "");
}

}  // namespace
}  // namespace app
