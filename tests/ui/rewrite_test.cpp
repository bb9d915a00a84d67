// A click on 按钮1 against the stand-in services: the article and the pass count go out
// from the boxes, the rewritten article and the check data come back into them.
#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <memory>

#include "gui_support.h"
#include "support/stand_in/stand_in.h"
#include "ui/app_state.h"
#include "ui/main_window.h"
#include "ui/tab_control.h"

using kestrin::ui_test::control;
namespace support = kestrin::test_support;

namespace {

support::StandIn* stand_in = nullptr;
constexpr int kRunTimeoutMs = 60000;

QString from_utf8(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

class RewriteTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void click_fills_the_result_boxes_data();
  void click_fills_the_result_boxes();
};

void RewriteTest::initTestCase() { QVERIFY2(stand_in->ok(), stand_in->error().c_str()); }

void RewriteTest::click_fills_the_result_boxes_data() {
  QTest::addColumn<QString>("article");
  QTest::addColumn<QString>("passes");
  QTest::addColumn<int>("requests");
  QTest::addColumn<QString>("output");
  QTest::addColumn<QString>("check");

  const QString mark = from_utf8(std::string(support::kPrimaryMarkUtf8));
  const QString once = from_utf8(support::primary_check_utf8(1));
  const QString twice = from_utf8(support::primary_check_utf8(2));
  QTest::newRow("two lines, one pass") << QStringLiteral("第一行\n第二行") << QStringLiteral("1") << 1
                                       << mark + QStringLiteral("第一行\n第二行") << once;
  QTest::newRow("Chinese text, two passes") << QStringLiteral("原创文章，\n\n第三行 ends here.") << QStringLiteral("2") << 2
                                            << mark + mark + QStringLiteral("原创文章，\n\n第三行 ends here.") << twice;
  QTest::newRow("full-width pass count") << QStringLiteral("文章") << QStringLiteral("２") << 2
                                         << mark + mark + QStringLiteral("文章") << twice;
  QTest::newRow("empty article still sent") << QString() << QStringLiteral("1") << 1 << mark << once;
  QTest::newRow("pass count abc sends nothing") << QStringLiteral("文章") << QStringLiteral("abc") << 0 << QString()
                                                << QString();
  QTest::newRow("pass count -1 sends nothing") << QStringLiteral("文章") << QStringLiteral("-1") << 0 << QString()
                                               << QString();
}

void RewriteTest::click_fills_the_result_boxes() {
  QFETCH(QString, article);
  QFETCH(QString, passes);
  QFETCH(int, requests);
  QFETCH(QString, output);
  QFETCH(QString, check);
  QVERIFY(stand_in->reset());

  kestrin::AppState state;
  kestrin::init_app_state(state);
  kestrin::MainWindow window(state);
  window.show();
  QVERIFY(QTest::qWaitForWindowExposed(&window));
  control<kestrin::TabControl>(window, u"选择夹1")->set_current_index(1);
  control<QPlainTextEdit>(window, u"编辑框2")->setPlainText(article);
  control<QLineEdit>(window, u"编辑框5")->setText(passes);
  auto* output_box = control<QPlainTextEdit>(window, u"编辑框3");
  auto* check_box = control<QPlainTextEdit>(window, u"编辑框4");
  output_box->setPlainText(QStringLiteral("an earlier output"));
  check_box->setPlainText(QStringLiteral("earlier check data"));

  QSignalSpy finished(&window, &kestrin::MainWindow::rewrite_finished);
  QTest::mouseClick(control<QPushButton>(window, u"按钮1"), Qt::LeftButton);
  QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kRunTimeoutMs);

  QCOMPARE(output_box->toPlainText(), output);
  QCOMPARE(check_box->toPlainText(), check);

  const auto stats = stand_in->stats();
  QVERIFY(stats.has_value());
  QCOMPARE(stats->primary_requests, static_cast<long long>(requests));
  QCOMPARE(stats->rejected, 0LL);
  if (requests > 0) {
    // The box's line breaks leave as CR LF, which goes on the wire as backslash-n.
    const auto sent = stand_in->requests();
    QCOMPARE(static_cast<int>(sent.size()), requests);
    QString expected = article;
    expected.replace(u'\n', QStringLiteral("\\n"));
    QCOMPARE(from_utf8(sent.front().text), expected);
    if (requests > 1) {
      QCOMPARE(from_utf8(sent[1].text), from_utf8(std::string(support::kPrimaryMarkUtf8)) + expected);
    }
  }
}

int main(int argc, char** argv) {
  support::StandIn& shared = support::shared_stand_in();  // before the tool reads its hosts
  stand_in = &shared;
  kestrin::ui_test::LoopbackSite loopback_site;
  QApplication app(argc, argv);
  RewriteTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "rewrite_test.moc"
