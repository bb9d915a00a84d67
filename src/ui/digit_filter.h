// A key filter for number boxes: typed characters other than the digits 0 to 9 and "-" are
// refused; keys that type nothing (arrows, Delete), control characters (Backspace, Enter)
// and key combinations with Ctrl or Meta (copy, paste, undo) pass. Text committed by an
// input method obeys the same rule. Pasted text is not filtered.
#pragma once

#include <QObject>
#include <QString>

class QKeyEvent;

namespace kestrin {

class DigitKeyFilter : public QObject {
 public:
  using QObject::QObject;

  // True when the filter lets the key press through.
  [[nodiscard]] static bool lets_through(const QKeyEvent& key);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace kestrin
