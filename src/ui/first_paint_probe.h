// A start-up probe: when the environment variable KESTRIN_STARTUP_PROBE is set, the first
// paint of the watched window writes "first-paint" on standard output and ends the event
// loop once that paint is done. Header-only, so a bare comparison window can use it as is.
#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>
#include <QWidget>
#include <cstdio>

namespace kestrin {

class FirstPaintProbe : public QObject {
 public:
  // Watches `window` when the probe is asked for; does nothing otherwise.
  static void attach_if_asked(QWidget& window) {
    if (qEnvironmentVariableIsEmpty("KESTRIN_STARTUP_PROBE")) return;
    window.installEventFilter(new FirstPaintProbe(&window));
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && !fired_) {
      fired_ = true;
      // Runs after the paint that is about to happen has been finished and flushed.
      QTimer::singleShot(0, [] {
        std::fputs("first-paint\n", stdout);
        std::fflush(stdout);
        QCoreApplication::exit(0);
      });
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  explicit FirstPaintProbe(QObject* parent) : QObject(parent) {}
  bool fired_ = false;
};

}  // namespace kestrin
