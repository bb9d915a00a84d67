#include "ui/pitched_label.h"

#include <QPainter>
#include <QTextLayout>
#include <QTextOption>

namespace kestrin {

PitchedLabel::PitchedLabel(const QString& text, int pitch, QWidget* parent) : QLabel(text, parent), pitch_(pitch) {
  setAlignment(Qt::AlignLeft | Qt::AlignTop);
  setWordWrap(true);
}

void PitchedLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setPen(palette().color(QPalette::WindowText));
  QTextLayout layout(text(), font());
  QTextOption option(Qt::AlignLeft);
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  const QRect area = contentsRect();
  layout.beginLayout();
  for (int top = 0;; top += pitch_) {
    QTextLine line = layout.createLine();
    if (!line.isValid()) break;
    line.setLineWidth(area.width());
    line.setPosition(QPointF(0, top));
  }
  layout.endLayout();
  layout.draw(&painter, area.topLeft());
}

}  // namespace kestrin
