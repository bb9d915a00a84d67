// The browser panes load the product site's pages as soon as the window is up, from the
// host KESTRIN_SITE_HOST names (here a loopback server of the test's own).
#include <QApplication>
#include <QSignalSpy>
#include <QTest>
#include <QWebEngineView>
#include <memory>

#include "gui_support.h"
#include "ui/app_state.h"
#include "ui/main_window.h"
#include "ui/tab_control.h"

using kestrin::ui_test::control;

namespace {
kestrin::ui_test::LoopbackSite* site = nullptr;
constexpr int kLoadTimeoutMs = 60000;
}  // namespace

class BrowserTest : public QObject {
  Q_OBJECT

 private slots:
  void panes_load_the_site_pages();
};

void BrowserTest::panes_load_the_site_pages() {
  kestrin::AppState state;
  kestrin::init_app_state(state);
  kestrin::MainWindow window(state);
  // The window shows without waiting for the panes: they do not exist yet.
  QVERIFY(control<QWebEngineView>(window, u"超文本浏览框1") == nullptr);

  std::unique_ptr<QSignalSpy> home_loaded;
  std::unique_ptr<QSignalSpy> links_loaded;
  connect(&window, &kestrin::MainWindow::browser_panes_created, this, [&] {
    home_loaded = std::make_unique<QSignalSpy>(control<QWebEngineView>(window, u"超文本浏览框1"),
                                               &QWebEngineView::loadFinished);
    links_loaded = std::make_unique<QSignalSpy>(control<QWebEngineView>(window, u"超文本浏览框2"),
                                                &QWebEngineView::loadFinished);
  });
  window.show();
  QVERIFY(QTest::qWaitForWindowExposed(&window));
  QTRY_VERIFY(home_loaded != nullptr);

  auto* home = control<QWebEngineView>(window, u"超文本浏览框1");
  auto* links = control<QWebEngineView>(window, u"超文本浏览框2");
  QTRY_COMPARE_WITH_TIMEOUT(home_loaded->count(), 1, kLoadTimeoutMs);
  QCOMPARE(home_loaded->at(0).at(0).toBool(), true);
  QCOMPARE(home->title(), QString::fromUtf8(kestrin::ui_test::kHomeTitle));
  QCOMPARE(home->url().toString(), QStringLiteral("http://%1/gg/index.html").arg(QString::fromStdString(site->host())));

  QTRY_COMPARE_WITH_TIMEOUT(links_loaded->count(), 1, kLoadTimeoutMs);
  QCOMPARE(links_loaded->at(0).at(0).toBool(), true);
  QCOMPARE(links->title(), QString::fromUtf8(kestrin::ui_test::kLinksTitle));

  bool index_asked = false;
  for (const std::string& request : site->server().requests()) {
    if (request.starts_with("GET /gg/index.html HTTP/1.1\r\n")) index_asked = true;
  }
  QVERIFY(index_asked);
}

int main(int argc, char** argv) {
  kestrin::ui_test::LoopbackSite loopback_site;
  site = &loopback_site;
  QApplication app(argc, argv);
  BrowserTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "browser_test.moc"
