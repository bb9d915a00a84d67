#include "ui/box_text.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <string>

#include "text/codecs.h"

namespace kestrin {

Text text_from_qstring(const QString& shown) {
  QString cleaned = shown;
  cleaned.remove(QChar(u'\0'));
  const QByteArray utf8 = cleaned.toUtf8();
  std::string crlf;
  crlf.reserve(static_cast<std::size_t>(utf8.size()) + static_cast<std::size_t>(utf8.count('\n')));
  for (qsizetype i = 0; i < utf8.size(); ++i) {
    const char c = utf8[i];
    if (c == '\n' && (i == 0 || utf8[i - 1] != '\r')) crlf += '\r';
    crlf += c;
  }
  return utf8_to_gbk(Text(std::move(crlf)));
}

QString qstring_from_text(const Text& text) {
  const Text utf8 = gbk_to_utf8(text);
  QString shown = QString::fromUtf8(utf8.str().data(), static_cast<qsizetype>(utf8.size()));
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return shown;
}

Text read_box(const QWidget* box) {
  if (const auto* multi = qobject_cast<const QPlainTextEdit*>(box)) return text_from_qstring(multi->toPlainText());
  if (const auto* single = qobject_cast<const QLineEdit*>(box)) return text_from_qstring(single->text());
  if (const auto* rich = qobject_cast<const QTextEdit*>(box)) return text_from_qstring(rich->toPlainText());
  return {};
}

void write_box(QWidget* box, const Text& text) {
  if (auto* multi = qobject_cast<QPlainTextEdit*>(box)) {
    multi->setPlainText(qstring_from_text(text));
  } else if (auto* single = qobject_cast<QLineEdit*>(box)) {
    single->setText(qstring_from_text(text));
  } else if (auto* rich = qobject_cast<QTextEdit*>(box)) {
    rich->setPlainText(qstring_from_text(text));
  }
}

}  // namespace kestrin
