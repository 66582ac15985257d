#include "app/page_control.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QStyle>
#include <QStyleOptionTab>
#include <QTabBar>

#include <algorithm>

namespace app {

namespace {

QFont BoldFont(QFont font) {
  font.setBold(true);
  return font;
}

}  // namespace

// The block of tab rows. Paints the tabs in the style's own look and takes clicks and keys.
class PageControl::TabRows : public QWidget {
 public:
  explicit TabRows(PageControl& control) : control_(control) {
    // The control's focus proxy: Tab reaches the tabs where the control stands in the order.
    setFocusPolicy(Qt::StrongFocus);
  }

  PageControl& Control() const { return control_; }
  std::vector<QRect> rects;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const int n = std::min(control_.count(), static_cast<int>(rects.size()));
    for (int i = 0; i < n; ++i) {
      QStyleOptionTab tab;
      tab.initFrom(this);
      tab.rect = rects[static_cast<std::size_t>(i)];
      tab.text = control_.tabText(i);
      tab.shape = QTabBar::RoundedNorth;
      tab.position = n == 1       ? QStyleOptionTab::OnlyOneTab
                     : i == 0     ? QStyleOptionTab::Beginning
                     : i == n - 1 ? QStyleOptionTab::End
                                  : QStyleOptionTab::Middle;
      tab.state &= ~(QStyle::State_Selected | QStyle::State_HasFocus);
      if (i == control_.currentIndex()) {
        tab.state |= QStyle::State_Selected;
        if (hasFocus()) tab.state |= QStyle::State_HasFocus;
      }
      const bool unread = control_.tabUnread(i);
      // Unread: the caption bold (tabs are sized for that, so nothing moves) and a bar in the
      // highlight colour along the tab's top; the caption's text stays, tabs are found by it.
      painter.save();
      if (unread) painter.setFont(BoldFont(font()));
      style()->drawControl(QStyle::CE_TabBarTab, &tab, &painter, this);
      painter.restore();
      if (unread) {
        const int bar = std::max(3, fontMetrics().height() / 5);
        const QRect r = tab.rect.adjusted(3, 1, -3, 0);
        painter.fillRect(QRect(r.left(), r.top(), r.width(), bar),
                         palette().color(QPalette::Highlight));
      }
    }
  }

  void mousePressEvent(QMouseEvent* event) override {
    if (event->button() != Qt::LeftButton) return event->ignore();
    for (std::size_t i = 0; i < rects.size(); ++i) {
      if (rects[i].contains(event->position().toPoint())) {
        control_.Choose(static_cast<int>(i));
        return;
      }
    }
  }

  void contextMenuEvent(QContextMenuEvent* event) override {
    if (!control_.OnTabContextMenu) return event->ignore();
    int index = event->reason() == QContextMenuEvent::Mouse ? -1 : control_.currentIndex();
    for (std::size_t i = 0; index < 0 && i < rects.size(); ++i) {
      if (rects[i].contains(event->pos())) index = static_cast<int>(i);
    }
    if (index < 0) return event->ignore();
    control_.OnTabContextMenu(index, event->globalPos());
  }

  void keyPressEvent(QKeyEvent* event) override {
    switch (event->key()) {
      case Qt::Key_Left:
      case Qt::Key_Up:
        control_.Step(-1);
        break;
      case Qt::Key_Right:
      case Qt::Key_Down:
        control_.Step(1);
        break;
      case Qt::Key_Home:
        control_.Choose(0);
        break;
      case Qt::Key_End:
        control_.Choose(control_.count() - 1);
        break;
      default:
        event->ignore();  // Ctrl+Tab and the rest go to the control
    }
  }

  void focusInEvent(QFocusEvent*) override { update(); }
  void focusOutEvent(QFocusEvent*) override { update(); }

 private:
  PageControl& control_;
};

namespace {

// One tab as accessibility tools see it: a page tab with its caption, which a "press" selects.
class TabAccessible : public QAccessibleInterface, public QAccessibleActionInterface {
 public:
  TabAccessible(QWidget* rows, PageControl& control, int index)
      : rows_(rows), control_(control), index_(index) {}

  bool isValid() const override { return rows_ != nullptr && index_ < control_.count(); }
  QObject* object() const override { return nullptr; }
  QWindow* window() const override { return rows_->window()->windowHandle(); }
  QAccessibleInterface* parent() const override {
    return QAccessible::queryAccessibleInterface(rows_);
  }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Name) return control_.tabText(index_);
    if (t == QAccessible::Description && control_.tabUnread(index_))
      return QStringLiteral("unread");
    return QString();
  }
  void setText(QAccessible::Text, const QString&) override {}
  QRect rect() const override {
    const QRect local = control_.tabRect(index_);
    return QRect(control_.mapToGlobal(local.topLeft()), local.size());
  }
  QAccessible::Role role() const override { return QAccessible::PageTab; }
  QAccessible::State state() const override {
    QAccessible::State s;
    s.selectable = true;
    s.focusable = true;
    s.selected = control_.currentIndex() == index_;
    s.focused = s.selected && rows_->hasFocus();
    s.invisible = !control_.isVisible();
    return s;
  }
  void* interface_cast(QAccessible::InterfaceType type) override {
    return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this)
                                                : nullptr;
  }

  QStringList actionNames() const override { return {pressAction()}; }
  void doAction(const QString& name) override {
    if (name == pressAction()) control_.Choose(index_);
  }
  QStringList keyBindingsForAction(const QString&) const override { return {}; }

 private:
  QWidget* rows_;
  PageControl& control_;
  int index_;
};

// The tab list: its children are the tabs, in order.
class TabListAccessible : public QAccessibleWidget {
 public:
  TabListAccessible(QWidget* rows, PageControl& control)
      : QAccessibleWidget(rows, QAccessible::PageTabList), control_(control) {}
  ~TabListAccessible() override {
    for (QAccessible::Id id : tabs_) QAccessible::deleteAccessibleInterface(id);
  }

  int childCount() const override { return control_.count(); }
  QAccessibleInterface* child(int index) const override {
    if (index < 0 || index >= control_.count()) return nullptr;
    // Made once per tab and kept, as tabs are never removed.
    while (static_cast<int>(tabs_.size()) <= index) {
      auto* tab = new TabAccessible(widget(), control_, static_cast<int>(tabs_.size()));
      tabs_.push_back(QAccessible::registerAccessibleInterface(tab));
    }
    return QAccessible::accessibleInterface(tabs_[static_cast<std::size_t>(index)]);
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    for (std::size_t i = 0; i < tabs_.size(); ++i) {
      if (QAccessible::accessibleInterface(tabs_[i]) == child) return static_cast<int>(i);
    }
    return -1;
  }

 private:
  PageControl& control_;
  mutable std::vector<QAccessible::Id> tabs_;
};

// Only for a page control's rows: anything else is left to Qt's own factories.
QAccessibleInterface* TabListFactory(const QString&, QObject* object);

}  // namespace

PageControl::PageControl(QWidget* parent) : QWidget(parent) {
  static const bool installed = [] {
    QAccessible::installFactory(TabListFactory);
    return true;
  }();
  (void)installed;
  rowsArea_ = new QScrollArea(this);
  rowsArea_->setFrameStyle(QFrame::NoFrame);
  rowsArea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  rowsArea_->setFocusPolicy(Qt::NoFocus);
  rows_ = new TabRows(*this);
  rowsArea_->setWidget(rows_);
  pages_ = new QStackedWidget(this);
  pages_->setFrameStyle(QFrame::StyledPanel | QFrame::Raised);
  setFocusPolicy(Qt::TabFocus);
  setFocusProxy(rows_);
}

PageControl::~PageControl() = default;

QWidget* PageControl::tabList() const {
  return rows_;
}

QScrollBar* PageControl::rowScrollBar() const {
  return rowsArea_->verticalScrollBar();
}

int PageControl::addTab(QWidget* page, const QString& text) {
  tabs_.push_back(Tab{text, page, false, TabSize(text)});
  pages_->addWidget(page);
  if (current_ < 0) {
    setCurrentIndex(0);
  } else {
    Relayout();
  }
  return count() - 1;
}

QString PageControl::tabText(int index) const {
  return index >= 0 && index < count() ? tabs_[static_cast<std::size_t>(index)].text : QString();
}

void PageControl::setTabText(int index, const QString& text) {
  if (index < 0 || index >= count()) return;
  Tab& tab = tabs_[static_cast<std::size_t>(index)];
  if (tab.text == text) return;
  tab.text = text;
  tab.size = TabSize(text);
  Relayout();
}

QWidget* PageControl::widget(int index) const {
  return index >= 0 && index < count() ? tabs_[static_cast<std::size_t>(index)].page : nullptr;
}

int PageControl::indexOf(const QWidget* page) const {
  for (int i = 0; i < count(); ++i) {
    if (tabs_[static_cast<std::size_t>(i)].page == page) return i;
  }
  return -1;
}

void PageControl::setCurrentIndex(int index) {
  if (index < 0 || index >= count() || index == current_) return;
  current_ = index;
  pages_->setCurrentWidget(tabs_[static_cast<std::size_t>(index)].page);
  Relayout();
}

void PageControl::Choose(int index) {
  if (index < 0 || index >= count()) return;
  setCurrentIndex(index);
  if (OnUserSelect) OnUserSelect(index);
}

void PageControl::setTabUnread(int index, bool unread) {
  if (index < 0 || index >= count() || tabs_[static_cast<std::size_t>(index)].unread == unread) {
    return;
  }
  tabs_[static_cast<std::size_t>(index)].unread = unread;
  rows_->update();
  if (index < static_cast<int>(tabs_.size())) {
    // Screen readers hear of the changed description.
    QAccessibleEvent event(rows_, QAccessible::DescriptionChanged);
    event.setChild(index);
    QAccessible::updateAccessibility(&event);
  }
}

bool PageControl::tabUnread(int index) const {
  return index >= 0 && index < count() && tabs_[static_cast<std::size_t>(index)].unread;
}

void PageControl::Step(int delta) {
  if (count() == 0) return;
  Choose((current_ + delta + count()) % count());
}

QRect PageControl::tabRect(int index) const {
  if (index < 0 || index >= count() || rows_->rects.size() != tabs_.size()) return {};
  return rows_->rects[static_cast<std::size_t>(index)].translated(rows_->mapTo(this, QPoint()));
}

QSize PageControl::TabSize(const QString& text) const {
  // As a tab bar sizes its tabs: the text, the style's spacing, then the style's own frame.
  QStyleOptionTab tab;
  tab.initFrom(rows_);
  tab.shape = QTabBar::RoundedNorth;
  tab.text = text;
  // Room for the bold caption of an unread tab, so that marking one moves none.
  const QFontMetrics metrics(BoldFont(font()));
  const QSize content(
      metrics.horizontalAdvance(text) +
          style()->pixelMetric(QStyle::PM_TabBarTabHSpace, &tab, rows_),
      metrics.height() + style()->pixelMetric(QStyle::PM_TabBarTabVSpace, &tab, rows_));
  return style()->sizeFromContents(QStyle::CT_TabBarTab, &tab, content, rows_);
}

int PageControl::LayOutRows(int width) {
  const int tabHeight = TabSize(QString()).height();
  // Rows in the order the tabs come, each as [first, last).
  std::vector<std::pair<int, int>> rows;
  std::vector<int> widths;
  int used = 0;
  for (int i = 0; i < count(); ++i) {
    const int w = std::min(width, tabs_[static_cast<std::size_t>(i)].size.width());
    widths.push_back(w);
    if (rows.empty() || used + w > width) {
      rows.emplace_back(i, i);
      used = 0;
    }
    rows.back().second = i + 1;
    used += w;
  }
  const int n = static_cast<int>(rows.size());
  // The row of the selected tab goes next to the page, the rows after it above, in turn.
  int selectedRow = n - 1;
  for (int r = 0; r < n; ++r) {
    if (current_ >= rows[static_cast<std::size_t>(r)].first &&
        current_ < rows[static_cast<std::size_t>(r)].second) {
      selectedRow = r;
    }
  }
  rows_->rects.assign(tabs_.size(), QRect());
  for (int r = 0; r < n; ++r) {
    const auto [first, last] = rows[static_cast<std::size_t>(r)];
    const int place = (r - selectedRow - 1 + 2 * n) % n;
    int natural = 0;
    for (int i = first; i < last; ++i) natural += widths[static_cast<std::size_t>(i)];
    // Several rows fill the width, as multi-row tabs do; a single row keeps its own widths.
    const int extra = n > 1 ? width - natural : 0;
    int x = 0;
    for (int i = first; i < last; ++i) {
      int w = widths[static_cast<std::size_t>(i)] + extra / (last - first);
      if (i == last - 1 && n > 1) w = width - x;
      rows_->rects[static_cast<std::size_t>(i)] = QRect(x, place * tabHeight, w, tabHeight);
      x += w;
    }
  }
  return n;
}

void PageControl::Relayout() {
  const int tabHeight = TabSize(QString()).height();
  int rowsWidth = width();
  int n = LayOutRows(rowsWidth);
  const int room = std::max(tabHeight, height() - kMinPageHeight);
  const bool scrolls = n * tabHeight > room;
  if (scrolls) {
    // The rows scroll: they lose the scroll bar's width and may need one row more.
    rowsWidth = width() - style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    n = LayOutRows(rowsWidth);
  }
  // Said outright: the area's own judgement follows the rows' size only later.
  rowsArea_->setVerticalScrollBarPolicy(scrolls ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
  rowCount_ = n;
  const int areaHeight = std::min(n * tabHeight, room);
  rowsArea_->setGeometry(0, 0, width(), areaHeight);
  rows_->resize(rowsWidth, n * tabHeight);
  pages_->setGeometry(0, areaHeight, width(), height() - areaHeight);
  if (current_ >= 0) {
    const QRect selected = rows_->rects[static_cast<std::size_t>(current_)];
    rowsArea_->ensureVisible(selected.center().x(), selected.center().y(), 0,
                             selected.height() / 2);
  }
  rows_->update();
}

void PageControl::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  Relayout();
}

void PageControl::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
    MeasureTabs();
    Relayout();
  }
}

void PageControl::MeasureTabs() {
  for (Tab& tab : tabs_) tab.size = TabSize(tab.text);
}

void PageControl::keyPressEvent(QKeyEvent* event) {
  const bool ctrl = event->modifiers() & Qt::ControlModifier;
  if (ctrl && (event->key() == Qt::Key_Backtab ||
               (event->key() == Qt::Key_Tab && (event->modifiers() & Qt::ShiftModifier)) ||
               event->key() == Qt::Key_PageUp)) {
    Step(-1);
  } else if (ctrl && (event->key() == Qt::Key_Tab || event->key() == Qt::Key_PageDown)) {
    Step(1);
  } else {
    QWidget::keyPressEvent(event);
  }
}

namespace {

QAccessibleInterface* TabListFactory(const QString&, QObject* object) {
  auto* rows = dynamic_cast<PageControl::TabRows*>(object);
  return rows != nullptr ? new TabListAccessible(rows, rows->Control()) : nullptr;
}

}  // namespace

}  // namespace app
