// Refusing user input application-wide while a long operation runs on another thread:
// mouse, wheel, keys, touch, drag and drop and requests to close a window are swallowed,
// while painting, timers and everything else go on. A busy cursor shows meanwhile.
#pragma once

#include <QObject>

namespace kestrin {

class InputGate : public QObject {
 public:
  // Starts refusing input and shows the busy cursor, until destroyed.
  InputGate();
  ~InputGate() override;
  InputGate(const InputGate&) = delete;
  InputGate& operator=(const InputGate&) = delete;

  // True for the kinds of event the gate swallows.
  [[nodiscard]] static bool is_refused(int event_type);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace kestrin
