// Takes the README's picture of the window: the page 原创生成 after a two-pass run against
// the stand-in services, grabbed from the window itself.
//   xvfb-run -a kestrin_ui_screenshot docs/screenshot-rewrite.png [page]
// With a page number (0 to 3) it grabs that page instead, without a run.
#include <QApplication>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <cstdio>
#include <cstdlib>

#include "gui_support.h"
#include "support/stand_in/stand_in.h"
#include "ui/app_state.h"
#include "ui/main_window.h"
#include "ui/tab_control.h"

using kestrin::ui_test::control;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.png [page]\n", argv[0]);
    return 2;
  }
  const int page = argc > 2 ? std::atoi(argv[2]) : 1;
  kestrin::test_support::StandIn& stand_in = kestrin::test_support::shared_stand_in();
  if (!stand_in.ok()) {
    std::fprintf(stderr, "the stand-in did not start: %s\n", stand_in.error().c_str());
    return 1;
  }
  kestrin::ui_test::LoopbackSite site;
  QApplication app(argc, argv);

  kestrin::AppState state;
  kestrin::init_app_state(state);
  kestrin::MainWindow window(state);
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) return 1;
  control<kestrin::TabControl>(window, u"选择夹1")->set_current_index(page);

  if (argc <= 2) {
    control<QPlainTextEdit>(window, u"编辑框2")->setPlainText(QStringLiteral(
        "网站优化的核心是内容。搜索引擎更愿意收录原创、有价值的文章，而不是简单复制粘贴的内容。\n\n"
        "坚持每天更新两到三篇高质量文章，围绕用户真正关心的问题来写，网站的收录量和关键词排名都会稳步提升。\n\n"
        "标题里放上核心关键词，正文分段清楚，适当配上图片，读者愿意看完，搜索引擎也会给出更好的评价。"));
    auto* passes = control<QLineEdit>(window, u"编辑框5");
    passes->setText(QStringLiteral("2"));
    QSignalSpy finished(&window, &kestrin::MainWindow::rewrite_finished);
    QTest::mouseClick(control<QPushButton>(window, u"按钮1"), Qt::LeftButton);
    if (!finished.wait(30000)) {
      std::fprintf(stderr, "the run did not finish\n");
      return 1;
    }
  }
  QTest::qWait(300);  // let the panes and the last paint settle
  if (!window.grab().save(QString::fromLocal8Bit(argv[1]))) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
