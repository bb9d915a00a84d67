// The start-up baseline: a bare Qt window holding one empty QTabWidget, of the main
// window's size, with the same first-paint probe.
#include <QApplication>
#include <QTabWidget>
#include <QWidget>

#include "ui/first_paint_probe.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QWidget window;
  window.setFixedSize(864, 616);
  auto* tabs = new QTabWidget(&window);
  tabs->setGeometry(0, 0, 864, 616);
  kestrin::FirstPaintProbe::attach_if_asked(window);
  window.show();
  return QApplication::exec();
}
