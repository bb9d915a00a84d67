#include "ui/tab_control.h"

#include <QEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionTabWidgetFrame>
#include <QTabBar>
#include <algorithm>

namespace kestrin {
namespace {

// A row of tabs of one fixed height, whatever the font asks for.
class FixedHeightTabBar : public QTabBar {
 public:
  using QTabBar::QTabBar;

 protected:
  QSize tabSizeHint(int index) const override {
    QSize size = QTabBar::tabSizeHint(index);
    size.setHeight(TabControl::kTabHeight);
    return size;
  }
  QSize minimumTabSizeHint(int index) const override {
    QSize size = QTabBar::minimumTabSizeHint(index);
    size.setHeight(TabControl::kTabHeight);
    return size;
  }
};

}  // namespace

TabControl::TabControl(QWidget* parent) : QWidget(parent), tabs_(new FixedHeightTabBar(this)) {
  tabs_->setDrawBase(false);
  tabs_->setExpanding(false);
  tabs_->setUsesScrollButtons(true);
  connect(tabs_, &QTabBar::currentChanged, this, &TabControl::show_page);
}

QWidget* TabControl::add_page(const QString& caption) {
  auto* page = new QWidget(this);
  page->setGeometry(rect());
  page->setVisible(pages_.empty());
  pages_.push_back(page);
  tabs_->addTab(caption);
  tabs_->raise();
  layout_tabs();
  return page;
}

QWidget* TabControl::page(int index) const {
  if (index < 0 || index >= count()) return nullptr;
  return pages_[static_cast<std::size_t>(index)];
}

int TabControl::page_of(const QWidget* widget) const {
  for (const QWidget* w = widget; w != nullptr; w = w->parentWidget()) {
    for (int i = 0; i < count(); ++i) {
      if (pages_[static_cast<std::size_t>(i)] == w) return i;
    }
  }
  return -1;
}

int TabControl::current_index() const { return tabs_->currentIndex(); }

void TabControl::set_current_index(int index) {
  if (index < 0 || index >= count()) return;
  tabs_->setCurrentIndex(index);
}

void TabControl::show_page(int index) {
  for (int i = 0; i < count(); ++i) {
    if (i != index) pages_[static_cast<std::size_t>(i)]->hide();
  }
  if (QWidget* shown = page(index)) shown->show();
  emit current_changed(index);
}

void TabControl::paintEvent(QPaintEvent*) {
  // The page frame, open under the selected tab the way a tab widget draws it.
  QPainter painter(this);
  QStyleOptionTabWidgetFrame frame;
  frame.initFrom(this);
  const int overlap = style()->pixelMetric(QStyle::PM_TabBarBaseOverlap, nullptr, this);
  frame.rect = QRect(0, kTabHeight - overlap, width(), height() - kTabHeight + overlap);
  frame.shape = QTabBar::RoundedNorth;
  frame.tabBarSize = tabs_->size();
  frame.tabBarRect = tabs_->geometry();
  frame.selectedTabRect = tabs_->tabRect(tabs_->currentIndex()).translated(tabs_->pos());
  frame.lineWidth = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
  style()->drawPrimitive(QStyle::PE_FrameTabWidget, &frame, &painter, this);
}

void TabControl::resizeEvent(QResizeEvent*) {
  for (QWidget* page : pages_) page->setGeometry(rect());
  layout_tabs();
}

void TabControl::changeEvent(QEvent* event) {
  if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) layout_tabs();
  QWidget::changeEvent(event);
}

void TabControl::layout_tabs() {
  tabs_->setGeometry(2, 0, std::max(0, std::min(width() - 4, tabs_->sizeHint().width())), kTabHeight);
}

}  // namespace kestrin
