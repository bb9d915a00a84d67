#include "ui/picture_box.h"

#include <QPainter>
#include <QPaintEvent>
#include <utility>

namespace kestrin {

PictureBox::PictureBox(QWidget* parent) : QWidget(parent) {}

void PictureBox::set_picture(QImage picture) {
  picture_ = std::move(picture);
  update();
}

void PictureBox::paintEvent(QPaintEvent* event) {
  if (picture_.isNull()) return;
  QPainter painter(this);
  const QRect area = event->rect() & picture_.rect();
  if (!area.isEmpty()) painter.drawImage(area.topLeft(), picture_, area);
}

}  // namespace kestrin
