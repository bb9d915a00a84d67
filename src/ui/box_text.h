// The text boundary of the window: what an edit box shows (QString, "\n" between lines)
// against what the rest of the tool trades in (Text: GBK bytes, CR LF between lines).
#pragma once

#include <QString>

#include "text/types.h"

class QWidget;

namespace kestrin {

// The box text as GBK: every "\n" becomes CR LF (a CR LF already there stays one), zero
// characters are dropped, and characters GBK lacks become "?".
[[nodiscard]] Text text_from_qstring(const QString& shown);

// The GBK text as a box shows it: every CR LF becomes "\n"; invalid GBK sequences become "?".
[[nodiscard]] QString qstring_from_text(const Text& text);

// The whole text of an edit box (QPlainTextEdit, QTextEdit or QLineEdit) as GBK; an empty box, or a
// widget that is not an edit box, gives an empty text.
[[nodiscard]] Text read_box(const QWidget* box);

// Replaces the whole content of an edit box with `text`; other widgets are left alone.
void write_box(QWidget* box, const Text& text);

}  // namespace kestrin
