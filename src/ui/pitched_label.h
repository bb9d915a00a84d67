// A label whose wrapped lines follow each other at a fixed pitch instead of the font's own
// line spacing, so that a paragraph fits the height it was laid out for whatever face the
// font falls back to. The text stays plain text (text() gives it as set).
#pragma once

#include <QLabel>

namespace kestrin {

class PitchedLabel : public QLabel {
 public:
  // `pitch`: pixels from one line's top to the next; the text wraps at the label's width.
  PitchedLabel(const QString& text, int pitch, QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int pitch_;
};

}  // namespace kestrin
