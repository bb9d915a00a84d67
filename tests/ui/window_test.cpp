// The main window as a user sees it: frame, pages, controls, fonts and colours, the pass
// count's typing filter, the text boundary of the edit boxes, the picture, the site button
// and the refusal of input while a rewrite runs.
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTabBar>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QTextLayout>
#include <QWebEngineView>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include "gui_support.h"
#include "text/text_ops.h"
#include "ui/app_state.h"
#include "ui/box_text.h"
#include "ui/illustration.h"
#include "ui/jpeg_decode.h"
#include "ui/main_window.h"
#include "ui/picture_box.h"
#include "ui/tab_control.h"

using kestrin::ui_test::control;

namespace {

kestrin::ui_test::LoopbackSite* site = nullptr;

QByteArray bytes_of(const kestrin::Text& text) { return QByteArray::fromStdString(text.str()); }

// What a control shows at start: its text, or the address a browser pane loads.
QString shown_text(const QWidget* widget) {
  if (const auto* box = qobject_cast<const QPlainTextEdit*>(widget)) return box->toPlainText();
  if (const auto* rich = qobject_cast<const QTextEdit*>(widget)) return rich->toPlainText();
  if (const auto* line = qobject_cast<const QLineEdit*>(widget)) return line->text();
  if (const auto* label = qobject_cast<const QLabel*>(widget)) return label->text();
  if (const auto* button = qobject_cast<const QPushButton*>(widget)) return button->text();
  if (const auto* pane = qobject_cast<const QWebEngineView*>(widget)) return pane->url().toString();
  return {};
}

// Types `keys` into `widget` one key at a time, as a keyboard would ("\b" is Backspace).
void type_keys(QWidget* widget, const QString& keys) {
  for (const QChar c : keys) {
    if (c == u'\b') {
      QTest::keyClick(widget, Qt::Key_Backspace);
      continue;
    }
    const auto key = c.unicode() < 0x80 ? static_cast<Qt::Key>(c.toUpper().unicode()) : Qt::Key_unknown;
    QTest::sendKeyEvent(QTest::Press, widget, key, QString(c), Qt::NoModifier);
    QTest::sendKeyEvent(QTest::Release, widget, key, QString(c), Qt::NoModifier);
  }
}

bool has_pixel(const QImage& image, QRgb colour) {
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if ((image.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF)) return true;
    }
  }
  return false;
}

// A rewriter that holds the run until the test lets it go.
struct HeldRun {
  std::mutex mutex;
  std::condition_variable changed;
  bool released = false;
  int calls = 0;
  kestrin::Text article;
  int passes = 0;

  kestrin::MainWindow::Rewriter rewriter() {
    return [this](const kestrin::Text& text, int count) {
      std::unique_lock lock(mutex);
      ++calls;
      article = text;
      passes = count;
      changed.notify_all();
      changed.wait(lock, [this] { return released; });
      return kestrin::RewriteResult{kestrin::Text("\xCA\xE4\xB3\xF6\r\nout"), kestrin::Text("ck 99")};
    };
  }
  int call_count() {
    std::lock_guard lock(mutex);
    return calls;
  }
  void release() {
    std::lock_guard lock(mutex);
    released = true;
    changed.notify_all();
  }
};

class PaintCounter : public QObject {
 public:
  int paints = 0;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return QObject::eventFilter(watched, event);
  }
};

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 public slots:
  void capture_url(const QUrl& url) { opened_.push_back(url); }

 private slots:
  void frame();
  void controls_data();
  void controls();
  void edit_box_looks_data();
  void edit_box_looks();
  void fonts_of_labels_and_tabs_data();
  void fonts_of_labels_and_tabs();
  void colours_reach_the_screen();
  void pages_show_their_controls_and_keep_typed_texts();
  void pass_box_typing_data();
  void pass_box_typing();
  void pass_box_paste_is_unfiltered();
  void article_box_lines_wrap_and_scroll();
  void text_boundary_data();
  void text_boundary();
  void boxes_round_trip_line_breaks();
  void picture_is_cut_off_at_its_box();
  void picture_asset_is_baseline_jfif_96_dpi();
  void undecodable_pictures_data();
  void undecodable_pictures();
  void app_state_lifecycle();
  void site_button_opens_product_site();
  void input_is_refused_while_a_run_goes_on();
  void cleanup();

 private:
  kestrin::MainWindow& open_window(kestrin::MainWindow::Rewriter rewriter = kestrin::rewrite_article_in_engine) {
    kestrin::init_app_state(state_);
    window_ = std::make_unique<kestrin::MainWindow>(state_, std::move(rewriter));
    window_->show();
    if (!QTest::qWaitForWindowExposed(window_.get())) qWarning("window not exposed");
    return *window_;
  }

  kestrin::AppState state_;
  std::unique_ptr<kestrin::MainWindow> window_;
  std::vector<QUrl> opened_;
};

void WindowTest::cleanup() { window_.reset(); }

void WindowTest::frame() {
  auto& window = open_window();
  QCOMPARE(window.windowTitle(),
           QStringLiteral("KestrinSEO—原创内容生成软件 -全网独家原创算法（非近义词伪原创）适合任何行业使用 官方网址：") +
               QString::fromStdString(site->host()));
  QCOMPARE(window.size(), QSize(864, 616));
  QCOMPARE(window.minimumSize(), QSize(864, 616));
  QCOMPARE(window.maximumSize(), QSize(864, 616));
  const Qt::WindowFlags flags = window.windowFlags();
  QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
  QVERIFY(flags & Qt::WindowMinimizeButtonHint);
  QVERIFY(flags & Qt::WindowCloseButtonHint);

  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  QCOMPARE(window.pos(), QPoint(screen.x() + (screen.width() - 867) / 2, screen.y() + (screen.height() - 643) / 2));

  auto* tabs = control<kestrin::TabControl>(window, u"选择夹1");
  QVERIFY(tabs != nullptr);
  QCOMPARE(tabs->geometry(), QRect(0, 0, 864, 616));
  QCOMPARE(tabs->count(), 4);
  const QStringList captions = {QStringLiteral("软件首页"), QStringLiteral("原创生成"), QStringLiteral("使用说明"),
                                QStringLiteral("友情链接")};
  for (int i = 0; i < 4; ++i) QCOMPARE(tabs->tab_bar()->tabText(i), captions[i]);
  QCOMPARE(tabs->current_index(), 0);
  // The tabs stay above the highest control of any page (the home pane starts at row 32).
  QVERIFY(tabs->tab_bar()->geometry().bottom() < 32);
  QVERIFY(tabs->tab_bar()->geometry().right() < 864);
}

void WindowTest::controls_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<int>("page");
  QTest::addColumn<QRect>("geometry");
  QTest::addColumn<QString>("text");

  const QString host = QString::fromStdString(site->host());
  const QString usage =
      QStringLiteral("使用说明：\n\n"
                     "您只需将互联网的文章复制到待原创处理区，然后进行原创处理（本站全网独家原创算法，并非是市面上的垃圾近义词替换的伪原创）\n"
                     "本站原创处理的内容原创率在百分之95以上，而且拥有高质量的可读性，支持批量处理！同时本站支持开发者api调用处理，\n\n"
                     "调用接口说明地址 http://") +
      host + QStringLiteral("/api/api.docx    官方网址 ") + host + QStringLiteral("\n客服QQ 12345678");
  const QString description = QStringLiteral(
      "KestrinSEO原创文章生成网是全网独家最好的原创内容生成工具，为SEO优化者免费提供高质量原创内容生成服务，快速提升搜索"
      "引擎收录和关键词排名，SEO网站优化首选的站长工具，100%原创内容生成而并非伪原创（非近义词）处理，相关性原创文章一键生"
      "成，让天下再也没有难写的原创文章！");

  auto row = [](const char16_t* name, int page, QRect where, const QString& text) {
    QTest::newRow(QString::fromUtf16(name).toUtf8().constData()) << QString::fromUtf16(name) << page << where << text;
  };
  row(u"超文本浏览框1", 0, {0, 32, 864, 584}, QStringLiteral("http://") + host + QStringLiteral("/gg/index.html"));
  row(u"标签2", 1, {8, 40, 96, 24}, QStringLiteral("待原创处理的文章"));
  row(u"编辑框2", 1, {8, 64, 416, 408}, {});
  row(u"标签3", 1, {440, 40, 104, 24}, QStringLiteral("处理后的原创文章"));
  row(u"编辑框3", 1, {432, 64, 424, 408}, {});
  row(u"标签5", 1, {16, 488, 64, 32}, QStringLiteral("处理次数"));
  row(u"编辑框5", 1, {70, 493, 72, 24}, QStringLiteral("1"));
  row(u"按钮1", 1, {152, 487, 112, 32}, QStringLiteral("开始生成"));
  row(u"按钮2", 1, {464, 495, 112, 32}, QStringLiteral("批量导入文件"));
  row(u"按钮4", 1, {600, 494, 112, 32}, QStringLiteral("选择保存目录"));
  row(u"按钮3", 1, {728, 494, 112, 32}, QStringLiteral("一键批量处理"));
  row(u"标签4", 1, {11, 536, 85, 16}, QStringLiteral("原创度检测数据"));
  row(u"标签7", 1, {480, 536, 192, 16}, QStringLiteral("在网站上面可以支持文字+图片处理"));
  row(u"按钮5", 1, {683, 532, 112, 24}, QStringLiteral("点击进入"));
  row(u"编辑框4", 1, {8, 560, 848, 48}, {});
  row(u"编辑框1", 2, {8, 40, 848, 144}, usage);
  row(u"标签1", 2, {8, 192, 840, 88}, description);
  row(u"图片框1", 2, {64, 282, 704, 326}, {});
  row(u"标签6", 3, {144, 36, 600, 32}, QStringLiteral("交换友情交换联系客服QQ 12345678"));
  row(u"超文本浏览框2", 3, {0, 72, 864, 544}, QStringLiteral("http://") + host + QStringLiteral("/gg/you.html"));
}

void WindowTest::controls() {
  QFETCH(QString, name);
  QFETCH(int, page);
  QFETCH(QRect, geometry);
  QFETCH(QString, text);

  auto& window = open_window();
  auto* tabs = control<kestrin::TabControl>(window, u"选择夹1");
  QWidget* widget = nullptr;
  QTRY_VERIFY((widget = window.findChild<QWidget*>(name)) != nullptr);  // panes come after the first paint
  QCOMPARE(tabs->page_of(widget), page);
  QCOMPARE(QRect(widget->mapTo(tabs, QPoint(0, 0)), widget->size()), geometry);
  QTRY_COMPARE(shown_text(widget), text);  // a pane's address is there once its load has begun
}

void WindowTest::edit_box_looks_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<int>("pixels");
  QTest::addColumn<bool>("bold");
  QTest::addColumn<QColor>("text");
  QTest::addColumn<QColor>("background");
  QTest::addColumn<bool>("scroll_bar");

  QTest::newRow("article") << QStringLiteral("编辑框2") << 12 << false << QColor(Qt::black) << QColor(Qt::white) << true;
  QTest::newRow("output") << QStringLiteral("编辑框3") << 12 << false << QColor(Qt::black) << QColor(Qt::white) << true;
  QTest::newRow("check data") << QStringLiteral("编辑框4") << 19 << true << QColor(255, 255, 0) << QColor(0, 0, 128)
                              << true;
  QTest::newRow("usage") << QStringLiteral("编辑框1") << 15 << true << QColor(255, 80, 128) << QColor(Qt::white)
                         << false;
  QTest::newRow("passes") << QStringLiteral("编辑框5") << 12 << false << QColor(Qt::black) << QColor(Qt::white)
                          << false;
}

void WindowTest::edit_box_looks() {
  QFETCH(QString, name);
  QFETCH(int, pixels);
  QFETCH(bool, bold);
  QFETCH(QColor, text);
  QFETCH(QColor, background);
  QFETCH(bool, scroll_bar);

  auto& window = open_window();
  auto* box = window.findChild<QWidget*>(name);
  QVERIFY(box != nullptr);
  QCOMPARE(box->font().pixelSize(), pixels);
  QCOMPARE(box->font().bold(), bold);
  for (const auto group : {QPalette::Active, QPalette::Inactive}) {
    QCOMPARE(box->palette().color(group, QPalette::Text), text);
    QCOMPARE(box->palette().color(group, QPalette::Base), background);
  }
  // Unfocused, the selection is drawn in the box's own colours: it is hidden.
  QCOMPARE(box->palette().color(QPalette::Inactive, QPalette::Highlight), background);
  QCOMPARE(box->palette().color(QPalette::Inactive, QPalette::HighlightedText), text);

  if (auto* multi = qobject_cast<QAbstractScrollArea*>(box)) {
    if (auto* plain = qobject_cast<QPlainTextEdit*>(box)) {
      QVERIFY(!plain->isReadOnly());
      QCOMPARE(plain->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    } else {
      auto* rich = qobject_cast<QTextEdit*>(box);
      QVERIFY(rich != nullptr);
      QVERIFY(!rich->isReadOnly());
      QCOMPARE(rich->lineWrapMode(), QTextEdit::WidgetWidth);
      // Every line of the usage text is in sight.
      QVERIFY(rich->document()->size().height() <= rich->viewport()->height());
    }
    QCOMPARE(multi->verticalScrollBarPolicy(), scroll_bar ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    QCOMPARE(multi->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(multi->frameShadow(), QFrame::Sunken);
  } else {
    auto* line = qobject_cast<QLineEdit*>(box);
    QVERIFY(line != nullptr);
    QVERIFY(!line->isReadOnly());
    QCOMPARE(line->maxLength(), std::numeric_limits<int>::max());
  }
}

void WindowTest::fonts_of_labels_and_tabs_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<int>("pixels");
  QTest::addColumn<bool>("bold");

  QTest::newRow("product description") << QStringLiteral("标签1") << 21 << false;
  QTest::newRow("contact line") << QStringLiteral("标签6") << 37 << false;
  QTest::newRow("plain label") << QStringLiteral("标签2") << 12 << false;
  QTest::newRow("button") << QStringLiteral("按钮1") << 12 << false;
}

void WindowTest::fonts_of_labels_and_tabs() {
  QFETCH(QString, name);
  QFETCH(int, pixels);
  QFETCH(bool, bold);

  auto& window = open_window();
  auto* widget = window.findChild<QWidget*>(name);
  QVERIFY(widget != nullptr);
  QCOMPARE(widget->font().pixelSize(), pixels);
  QCOMPARE(widget->font().bold(), bold);

  const QFont tab_font = control<kestrin::TabControl>(window, u"选择夹1")->tab_bar()->font();
  QCOMPARE(tab_font.pixelSize(), 21);
  QVERIFY(tab_font.bold());
}

void WindowTest::colours_reach_the_screen() {
  auto& window = open_window();
  control<kestrin::TabControl>(window, u"选择夹1")->set_current_index(1);
  auto* check = control<QPlainTextEdit>(window, u"编辑框4");
  check->setPlainText(QStringLiteral("原创度 97% 第1次"));
  const QImage check_shot = check->viewport()->grab().toImage();
  QVERIFY(has_pixel(check_shot, qRgb(0, 0, 128)));
  QVERIFY(has_pixel(check_shot, qRgb(255, 255, 0)));

  control<kestrin::TabControl>(window, u"选择夹1")->set_current_index(2);
  const QImage usage_shot = control<QAbstractScrollArea>(window, u"编辑框1")->viewport()->grab().toImage();
  QVERIFY(has_pixel(usage_shot, qRgb(255, 80, 128)));
  QVERIFY(has_pixel(usage_shot, qRgb(255, 255, 255)));
}

void WindowTest::pages_show_their_controls_and_keep_typed_texts() {
  auto& window = open_window();
  auto* tabs = control<kestrin::TabControl>(window, u"选择夹1");
  QTabBar* bar = tabs->tab_bar();
  auto* article = control<QPlainTextEdit>(window, u"编辑框2");
  auto* passes = control<QLineEdit>(window, u"编辑框5");
  auto* usage = control<QTextEdit>(window, u"编辑框1");

  QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(1).center());
  QCOMPARE(tabs->current_index(), 1);
  QVERIFY(article->isVisible());
  QVERIFY(!usage->isVisible());
  QTest::mouseClick(article, Qt::LeftButton);
  QTest::keyClicks(article, "first");
  QTest::keyClick(article, Qt::Key_Return);
  QTest::keyClicks(article, "second");
  passes->selectAll();
  QTest::keyClicks(passes, "3");

  for (const int page : {2, 3, 0}) {
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(page).center());
    QCOMPARE(tabs->current_index(), page);
    QVERIFY(!article->isVisible());
    QVERIFY(!passes->isVisible());
    QCOMPARE(usage->isVisible(), page == 2);
  }
  QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(1).center());
  QVERIFY(article->isVisible());
  QCOMPARE(article->toPlainText(), QStringLiteral("first\nsecond"));
  QCOMPARE(passes->text(), QStringLiteral("3"));
}

void WindowTest::pass_box_typing_data() {
  QTest::addColumn<QString>("keys");
  QTest::addColumn<QString>("expected");

  // The box starts as "1" with the cursor at its end.
  QTest::newRow("a letter is refused") << QStringLiteral("a") << QStringLiteral("1");
  QTest::newRow("a point is refused") << QStringLiteral(".") << QStringLiteral("1");
  QTest::newRow("a blank is refused") << QStringLiteral(" ") << QStringLiteral("1");
  QTest::newRow("plus is refused") << QStringLiteral("+") << QStringLiteral("1");
  QTest::newRow("a full-width digit is refused") << QStringLiteral("２") << QStringLiteral("1");
  QTest::newRow("a Chinese character is refused") << QStringLiteral("二") << QStringLiteral("1");
  QTest::newRow("digits pass") << QStringLiteral("0123456789") << QStringLiteral("10123456789");
  QTest::newRow("minus passes") << QStringLiteral("-") << QStringLiteral("1-");
  QTest::newRow("mixed keys keep the digits") << QStringLiteral("x2.y3") << QStringLiteral("123");
  QTest::newRow("backspace passes") << QStringLiteral("\b7") << QStringLiteral("7");
}

void WindowTest::pass_box_typing() {
  QFETCH(QString, keys);
  QFETCH(QString, expected);

  auto& window = open_window();
  control<kestrin::TabControl>(window, u"选择夹1")->set_current_index(1);
  auto* passes = control<QLineEdit>(window, u"编辑框5");
  passes->setFocus();
  passes->end(false);
  type_keys(passes, keys);
  QCOMPARE(passes->text(), expected);
}

void WindowTest::pass_box_paste_is_unfiltered() {
  auto& window = open_window();
  control<kestrin::TabControl>(window, u"选择夹1")->set_current_index(1);
  auto* passes = control<QLineEdit>(window, u"编辑框5");
  passes->setFocus();
  QGuiApplication::clipboard()->setText(QStringLiteral("abc.2"));
  QTest::keyClick(passes, Qt::Key_A, Qt::ControlModifier);  // select all
  QTest::keyClick(passes, Qt::Key_V, Qt::ControlModifier);  // paste
  QCOMPARE(passes->text(), QStringLiteral("abc.2"));
  // The pass count read from it is then 0.
  QCOMPARE(kestrin::text_to_int(kestrin::read_box(passes)), 0);

  // Copying passes too.
  QTest::keyClick(passes, Qt::Key_A, Qt::ControlModifier);
  QGuiApplication::clipboard()->clear();
  QTest::keyClick(passes, Qt::Key_C, Qt::ControlModifier);
  QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("abc.2"));
}

void WindowTest::article_box_lines_wrap_and_scroll() {
  auto& window = open_window();
  control<kestrin::TabControl>(window, u"选择夹1")->set_current_index(1);
  auto* article = control<QPlainTextEdit>(window, u"编辑框2");

  article->setPlainText(QString(300, u'文'));
  QVERIFY(article->document()->firstBlock().layout()->lineCount() > 1);  // wrapped, one paragraph
  QCOMPARE(article->horizontalScrollBar()->maximum(), 0);

  QStringList lines;
  for (int i = 0; i < 100; ++i) lines << QString::number(i);
  article->setPlainText(lines.join(u'\n'));
  QVERIFY(article->verticalScrollBar()->maximum() > 0);
}

void WindowTest::text_boundary_data() {
  QTest::addColumn<QString>("shown");
  QTest::addColumn<QByteArray>("gbk");
  QTest::addColumn<QString>("shown_again");

  QTest::newRow("empty") << QString() << QByteArray() << QString();
  QTest::newRow("Chinese") << QStringLiteral("中文") << QByteArray("\xD6\xD0\xCE\xC4") << QStringLiteral("中文");
  QTest::newRow("line break becomes CR LF") << QStringLiteral("a\nb") << QByteArray("a\r\nb") << QStringLiteral("a\nb");
  QTest::newRow("CR LF stays one") << QStringLiteral("a\r\nb") << QByteArray("a\r\nb") << QStringLiteral("a\nb");
  QTest::newRow("breaks at both ends") << QStringLiteral("\n中\n") << QByteArray("\r\n\xD6\xD0\r\n")
                                       << QStringLiteral("\n中\n");
  QTest::newRow("empty lines") << QStringLiteral("\n\n") << QByteArray("\r\n\r\n") << QStringLiteral("\n\n");
  QTest::newRow("outside GBK") << QStringLiteral("a😀b") << QByteArray("a?b") << QStringLiteral("a?b");
  QTest::newRow("zero character dropped") << QString::fromUtf16(u"a\0b", 3) << QByteArray("ab") << QStringLiteral("ab");
  QTest::newRow("full-width forms") << QStringLiteral("２　３") << QByteArray("\xA3\xB2\xA1\xA1\xA3\xB3")
                                    << QStringLiteral("２　３");
}

void WindowTest::text_boundary() {
  QFETCH(QString, shown);
  QFETCH(QByteArray, gbk);
  QFETCH(QString, shown_again);

  const kestrin::Text text = kestrin::text_from_qstring(shown);
  QCOMPARE(bytes_of(text), gbk);
  QCOMPARE(kestrin::qstring_from_text(text), shown_again);
}

void WindowTest::boxes_round_trip_line_breaks() {
  auto& window = open_window();
  const kestrin::Text article("\xB5\xDA\xD2\xBB\xD0\xD0\r\n\r\nline 3\r\n");  // 第一行, an empty line, line 3
  for (const char16_t* name : {u"编辑框2", u"编辑框3", u"编辑框4", u"编辑框1"}) {
    auto* box = control<QWidget>(window, name);
    kestrin::write_box(box, article);
    auto* plain = qobject_cast<QPlainTextEdit*>(box);
    QCOMPARE(plain ? plain->document()->blockCount() : qobject_cast<QTextEdit*>(box)->document()->blockCount(), 4);
    QCOMPARE(bytes_of(kestrin::read_box(box)), bytes_of(article));
    kestrin::write_box(box, kestrin::Text());
    QCOMPARE(bytes_of(kestrin::read_box(box)), QByteArray());
  }
  auto* passes = control<QLineEdit>(window, u"编辑框5");
  kestrin::write_box(passes, kestrin::Text("\xA3\xB2"));  // full-width 2
  QCOMPARE(passes->text(), QStringLiteral("２"));
  QCOMPARE(kestrin::text_to_int(kestrin::read_box(passes)), 2);
}

void WindowTest::picture_is_cut_off_at_its_box() {
  auto& window = open_window();
  control<kestrin::TabControl>(window, u"选择夹1")->set_current_index(2);
  auto* box = control<kestrin::PictureBox>(window, u"图片框1");
  QVERIFY(box != nullptr);
  QTRY_VERIFY(!box->picture().isNull());  // decoded beside the first paint, put in right after it
  const QImage picture = box->picture();
  QCOMPARE(picture.size(), QSize(700, 594));
  QCOMPARE(box->size(), QSize(704, 326));

  const QImage shot = box->grab().toImage().convertToFormat(QImage::Format_RGB32);
  QCOMPARE(shot.size(), QSize(704, 326));
  // The top 326 rows, unscaled from the corner...
  QCOMPARE(shot.copy(0, 0, 700, 326), picture.copy(0, 0, 700, 326).convertToFormat(QImage::Format_RGB32));
  // ...and the four columns beyond the picture show the background.
  const QRgb background = box->palette().color(QPalette::Window).rgb();
  for (int y = 0; y < 326; y += 25) {
    for (int x = 700; x < 704; ++x) QCOMPARE(shot.pixel(x, y), background);
  }
}

void WindowTest::picture_asset_is_baseline_jfif_96_dpi() {
  const auto jpeg = kestrin::illustration_jpeg();
  const QByteArray bytes(reinterpret_cast<const char*>(jpeg.data()), static_cast<qsizetype>(jpeg.size()));
  QVERIFY(bytes.startsWith("\xFF\xD8\xFF\xE0"));
  QCOMPARE(bytes.mid(6, 5), QByteArray("JFIF\0", 5));
  QCOMPARE(bytes.mid(11, 2), QByteArray("\x01\x01", 2));                  // version 1.01
  QCOMPARE(bytes.mid(13, 5), QByteArray("\x01\x00\x60\x00\x60", 5));      // dots per inch, 96 x 96
  const qsizetype frame = bytes.indexOf("\xFF\xC0");                        // baseline frame
  QVERIFY(frame > 0);
  QVERIFY(!bytes.contains("\xFF\xC2"));                                     // not progressive
  QCOMPARE(bytes.mid(frame + 5, 4), QByteArray("\x02\x52\x02\xBC", 4));     // 594 rows, 700 columns
  QCOMPARE(kestrin::decode_jpeg(jpeg).size(), QSize(700, 594));
}

void WindowTest::undecodable_pictures_data() {
  QTest::addColumn<QByteArray>("bytes");
  QTest::addColumn<QSize>("size");

  const auto jpeg = kestrin::illustration_jpeg();
  const QByteArray whole(reinterpret_cast<const char*>(jpeg.data()), static_cast<qsizetype>(jpeg.size()));
  QByteArray giant = whole;
  const qsizetype frame = giant.indexOf("\xFF\xC0");
  giant.replace(frame + 5, 4, QByteArray("\xFF\xFF\xFF\xFF", 4));
  QByteArray bad_marker = whole;
  bad_marker[frame + 9] = 7;  // seven colour components with only three described

  QTest::newRow("empty") << QByteArray() << QSize(0, 0);
  QTest::newRow("not a JPEG") << QByteArray("GIF89a and so on") << QSize(0, 0);
  QTest::newRow("start marker only") << QByteArray("\xFF\xD8", 2) << QSize(0, 0);
  QTest::newRow("header cut short") << whole.left(200) << QSize(0, 0);
  QTest::newRow("larger than accepted") << giant << QSize(0, 0);
  QTest::newRow("broken frame header") << bad_marker << QSize(0, 0);
  // A picture missing its second half decodes with the missing rows filled in.
  QTest::newRow("data cut in half") << whole.left(whole.size() / 2) << QSize(700, 594);
}

void WindowTest::undecodable_pictures() {
  QFETCH(QByteArray, bytes);
  QFETCH(QSize, size);
  const QImage image = kestrin::decode_jpeg(
      std::span(reinterpret_cast<const unsigned char*>(bytes.constData()), static_cast<std::size_t>(bytes.size())));
  QCOMPARE(image.size(), size);
  QCOMPARE(image.isNull(), size.isEmpty());
}

void WindowTest::app_state_lifecycle() {
  kestrin::AppState state;
  kestrin::init_app_state(state);
  QVERIFY(state.import_files.empty());
  QVERIFY(state.save_directory.empty());
  state.import_files = {"/tmp/a.txt", "/tmp/b.txt"};
  state.save_directory = "/tmp/out";
  kestrin::release_app_state(state);
  QVERIFY(state.import_files.empty());
  QCOMPARE(state.import_files.capacity(), std::size_t{0});
  QVERIFY(state.save_directory.empty());
  kestrin::release_app_state(state);  // a second release changes nothing
  QVERIFY(state.import_files.empty());

  auto& window = open_window();
  QCOMPARE(&window.app_state(), &state_);
}

void WindowTest::site_button_opens_product_site() {
  auto& window = open_window();
  auto* tabs = control<kestrin::TabControl>(window, u"选择夹1");
  tabs->set_current_index(1);
  auto* article = control<QPlainTextEdit>(window, u"编辑框2");
  article->setPlainText(QStringLiteral("kept"));

  opened_.clear();
  QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "capture_url");
  QTest::mouseClick(control<QPushButton>(window, u"按钮5"), Qt::LeftButton);
  QDesktopServices::unsetUrlHandler(QStringLiteral("http"));

  QCOMPARE(opened_.size(), std::size_t{1});
  QCOMPARE(opened_.front(), QUrl(QStringLiteral("http://") + QString::fromStdString(site->host()) + u'/'));
  QCOMPARE(tabs->current_index(), 1);
  QCOMPARE(article->toPlainText(), QStringLiteral("kept"));
  QVERIFY(window.isVisible());
}

void WindowTest::input_is_refused_while_a_run_goes_on() {
  auto held = std::make_shared<HeldRun>();
  auto& window = open_window(held->rewriter());
  auto* tabs = control<kestrin::TabControl>(window, u"选择夹1");
  tabs->set_current_index(1);
  auto* article = control<QPlainTextEdit>(window, u"编辑框2");
  auto* output = control<QPlainTextEdit>(window, u"编辑框3");
  auto* check = control<QPlainTextEdit>(window, u"编辑框4");
  auto* passes = control<QLineEdit>(window, u"编辑框5");
  auto* start = control<QPushButton>(window, u"按钮1");
  article->setPlainText(QStringLiteral("文章\n第二行"));
  output->setPlainText(QStringLiteral("old output"));
  check->setPlainText(QStringLiteral("old check"));
  passes->setText(QStringLiteral(" 2"));

  // A failing check must not leave the worker waiting: the window joins it when it goes.
  const std::unique_ptr<HeldRun, void (*)(HeldRun*)> let_go(held.get(), [](HeldRun* run) { run->release(); });
  auto writes = std::make_shared<QStringList>();
  connect(output, &QPlainTextEdit::textChanged, this, [writes] { *writes << QStringLiteral("编辑框3"); });
  connect(check, &QPlainTextEdit::textChanged, this, [writes] { *writes << QStringLiteral("编辑框4"); });
  QSignalSpy finished(&window, &kestrin::MainWindow::rewrite_finished);

  QTest::mouseClick(start, Qt::LeftButton);
  QVERIFY(window.rewrite_running());
  QTRY_COMPARE(held->call_count(), 1);
  {
    std::lock_guard lock(held->mutex);
    QCOMPARE(bytes_of(held->article), QByteArray("\xCE\xC4\xD5\xC2\r\n\xB5\xDA\xB6\xFE\xD0\xD0"));
    QCOMPARE(held->passes, 2);
  }
  // The output box is emptied at once; the check data stays until the end.
  QCOMPARE(output->toPlainText(), QString());
  QCOMPARE(check->toPlainText(), QStringLiteral("old check"));
  QVERIFY(QApplication::overrideCursor() != nullptr);
  QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);

  // Keys, clicks, a second start and closing are all refused...
  article->setFocus();
  QTest::keyClicks(article, "typed");
  QTest::keyClick(article, Qt::Key_Return);
  QTest::mouseClick(tabs->tab_bar(), Qt::LeftButton, {}, tabs->tab_bar()->tabRect(2).center());
  QTest::mouseClick(start, Qt::LeftButton);
  window.start_rewrite();
  QVERIFY(!window.close());
  QTest::qWait(50);
  QCOMPARE(article->toPlainText(), QStringLiteral("文章\n第二行"));
  QCOMPARE(tabs->current_index(), 1);
  QVERIFY(window.isVisible());
  QCOMPARE(held->call_count(), 1);
  QCOMPARE(finished.count(), 0);

  // ...while the window goes on painting.
  PaintCounter counter;
  window.installEventFilter(&counter);
  window.update();
  QTRY_VERIFY(counter.paints > 0);
  window.removeEventFilter(&counter);

  held->release();
  QTRY_COMPARE(finished.count(), 1);
  QVERIFY(!window.rewrite_running());
  QCOMPARE(output->toPlainText(), QStringLiteral("输出\nout"));
  QCOMPARE(check->toPlainText(), QStringLiteral("ck 99"));
  QCOMPARE(*writes, QStringList({QStringLiteral("编辑框3"), QStringLiteral("编辑框4"), QStringLiteral("编辑框3")}));
  QVERIFY(QApplication::overrideCursor() == nullptr);

  // Input is taken again afterwards.
  article->setFocus();
  QTest::keyClicks(article, "!");
  QCOMPARE(article->toPlainText(), QStringLiteral("!文章\n第二行"));
  QTest::mouseClick(tabs->tab_bar(), Qt::LeftButton, {}, tabs->tab_bar()->tabRect(2).center());
  QCOMPARE(tabs->current_index(), 2);
}

int main(int argc, char** argv) {
  kestrin::ui_test::LoopbackSite loopback_site;  // the panes load from here, never from the internet
  site = &loopback_site;
  QApplication app(argc, argv);
  QApplication::setAttribute(Qt::AA_Use96Dpi, true);
  WindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "window_test.moc"
