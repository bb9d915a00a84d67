#include "ui/input_gate.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>

namespace kestrin {

InputGate::InputGate() {
  QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
  qApp->installEventFilter(this);
}

InputGate::~InputGate() {
  qApp->removeEventFilter(this);
  QApplication::restoreOverrideCursor();
}

bool InputGate::is_refused(int event_type) {
  switch (static_cast<QEvent::Type>(event_type)) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonRelease:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::NonClientAreaMouseMove:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::InputMethod:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
    case QEvent::TabletPress:
    case QEvent::TabletMove:
    case QEvent::TabletRelease:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
    case QEvent::NativeGesture:
    case QEvent::Close:
      return true;
    default:
      return false;
  }
}

bool InputGate::eventFilter(QObject* watched, QEvent* event) {
  if (is_refused(event->type())) {
    event->ignore();
    return true;
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace kestrin
