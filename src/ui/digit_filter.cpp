#include "ui/digit_filter.h"

#include <QEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>

namespace kestrin {
namespace {

bool typable(const QString& typed) {
  for (const QChar c : typed) {
    const bool control = c.unicode() < 0x20 || c.unicode() == 0x7F;
    const bool allowed = (c >= u'0' && c <= u'9') || c == u'-';
    if (!control && !allowed) return false;
  }
  return true;
}

}  // namespace

bool DigitKeyFilter::lets_through(const QKeyEvent& key) {
  if (key.modifiers() & (Qt::ControlModifier | Qt::MetaModifier)) return true;
  return typable(key.text());
}

bool DigitKeyFilter::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && !lets_through(*static_cast<QKeyEvent*>(event))) return true;
  // Text composed with an input method is typed text too.
  if (event->type() == QEvent::InputMethod && !typable(static_cast<QInputMethodEvent*>(event)->commitString())) {
    return true;
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace kestrin
