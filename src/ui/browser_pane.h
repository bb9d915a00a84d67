// The embedded browser panes. The browser engine is large: it lives in a module of its own
// (kestrin_browser_pane), loaded the first time a pane is made, so that starting the program
// and painting its window do not wait for it.
#pragma once

#include <QString>

class QWidget;

namespace kestrin {

// A browser pane (a QWebEngineView) inside `parent`, already loading `url`. When the module
// cannot be loaded, an empty widget stands in its place and the window works on without it.
// Never nullptr.
[[nodiscard]] QWidget* create_browser_pane(QWidget* parent, const QString& url);

}  // namespace kestrin
