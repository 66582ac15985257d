#pragma once

// A page control whose tabs wrap onto as many rows as they need, as multi-row tab controls do
// on the desktop: the rows reflow when the control is resized, and the row of the selected tab
// is always the one next to the page. When the rows would leave the page less than a usable
// height, the block of rows scrolls instead. Keyboard: Ctrl+Tab and Ctrl+PgDn select the next
// tab, Ctrl+Shift+Tab and Ctrl+PgUp the previous one, from anywhere in the control; the arrow
// keys, Home and End when the tabs have the focus. The tab list and each tab are exposed to
// accessibility tools with their roles and captions, as a tab bar exposes them. A tab can be
// marked unread: its caption in bold with a coloured bar along its top, "unread" as its
// description for accessibility tools, the caption's text unchanged. Which tab is unread is its owner's to say.

#include <QPointer>
#include <QRect>
#include <QString>
#include <QWidget>

#include <functional>
#include <vector>

class QScrollArea;
class QScrollBar;
class QStackedWidget;

namespace app {

class PageControl : public QWidget {
 public:
  explicit PageControl(QWidget* parent = nullptr);
  ~PageControl() override;

  // Adds the page as the last tab; the first page added becomes the selected one, later ones
  // leave the selection alone. Returns its index.
  int addTab(QWidget* page, const QString& text);
  int count() const { return static_cast<int>(tabs_.size()); }
  QString tabText(int index) const;
  void setTabText(int index, const QString& text);
  QWidget* widget(int index) const;
  int indexOf(const QWidget* page) const;
  int currentIndex() const { return current_; }
  void setCurrentIndex(int index);
  void setTabUnread(int index, bool unread);
  bool tabUnread(int index) const;
  // Called when the user (not the program) has chosen the tab with this index, also the one
  // already selected.
  std::function<void(int)> OnUserSelect;
  // Called when the user asks for a tab's context menu (a right click, the menu key on the
  // tabs: the tab on show), with where it goes on the screen.
  std::function<void(int, QPoint)> OnTabContextMenu;
  // Selects the tab as the user's choice (a click, a key, an accessibility tool's press).
  void Choose(int index);
  // Chooses the tab `delta` places on, round the end.
  void Step(int delta);

  // Where the tab is, in this control's coordinates (its row may be scrolled out of sight);
  // empty for an index out of range.
  QRect tabRect(int index) const;
  int rowCount() const { return rowCount_; }
  // The widget that shows the tabs and takes the keyboard focus.
  QWidget* tabList() const;
  // The scroll bar of the block of rows (hidden while every row fits).
  QScrollBar* rowScrollBar() const;

  // The page keeps at least this height; the rows scroll beyond it.
  static constexpr int kMinPageHeight = 60;

  class TabRows;  // the block of rows, in the implementation

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  struct Tab {
    QString text;
    QWidget* page;
    bool unread = false;
    QSize size{};  // TabSize(text), measured when the text, the font or the style changes
  };
  void Relayout();
  // Lays the tabs out in rows of at most `width` pixels; returns the number of rows.
  int LayOutRows(int width);
  QSize TabSize(const QString& text) const;
  void MeasureTabs();

  std::vector<Tab> tabs_;
  int current_ = -1;
  int rowCount_ = 0;
  QScrollArea* rowsArea_;
  TabRows* rows_;
  QStackedWidget* pages_;
};

}  // namespace app
