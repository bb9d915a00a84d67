// A tab control whose pages cover the whole control: the children of a page are placed in
// the control's own coordinates, the row of tabs lying above them along the top edge.
#pragma once

#include <QWidget>
#include <vector>

class QTabBar;

namespace kestrin {

class TabControl : public QWidget {
  Q_OBJECT

 public:
  // Height of the row of tabs.
  static constexpr int kTabHeight = 30;

  explicit TabControl(QWidget* parent = nullptr);

  // Appends a page with its caption and gives it back; the first page becomes the current
  // one. Only the current page is shown.
  [[nodiscard]] QWidget* add_page(const QString& caption);

  // The number of pages.
  [[nodiscard]] int count() const noexcept { return static_cast<int>(pages_.size()); }
  // The page at 0-based `index`, nullptr outside 0..count()-1.
  [[nodiscard]] QWidget* page(int index) const;
  // The 0-based page `widget` lies on (the page itself or a descendant), else -1.
  [[nodiscard]] int page_of(const QWidget* widget) const;
  // The 0-based page shown, -1 while there is none.
  [[nodiscard]] int current_index() const;
  // Shows the page at `index`; an index outside the pages changes nothing.
  void set_current_index(int index);
  // The row of tabs (captions, font, clicks).
  [[nodiscard]] QTabBar* tab_bar() const noexcept { return tabs_; }

 signals:
  // The page at `index` has become the one shown.
  void current_changed(int index);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void show_page(int index);
  void layout_tabs();

  QTabBar* tabs_;
  std::vector<QWidget*> pages_;
};

}  // namespace kestrin
