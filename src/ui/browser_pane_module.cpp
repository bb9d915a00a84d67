// The module kestrin_browser_pane: makes the browser panes of the main window on Qt
// WebEngine. Loaded at run time by create_browser_pane (ui/browser_pane.h).
#include <QUrl>
#include <QWebEngineView>
#include <QWidget>

// A QWebEngineView inside `parent`, loading the address given in UTF-8.
extern "C" Q_DECL_EXPORT QWidget* kestrin_create_browser_pane(QWidget* parent, const char* url_utf8) {
  auto* pane = new QWebEngineView(parent);
  pane->load(QUrl(QString::fromUtf8(url_utf8)));
  return pane;
}
