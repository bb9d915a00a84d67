#include "ui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabBar>
#include <QTextBlockFormat>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>
#include <QUrl>
#include <limits>
#include <system_error>
#include <utility>

#include "text/text_ops.h"
#include "ui/box_text.h"
#include "ui/browser_pane.h"
#include "ui/digit_filter.h"
#include "ui/illustration.h"
#include "ui/input_gate.h"
#include "ui/jpeg_decode.h"
#include "ui/picture_box.h"
#include "ui/pitched_label.h"
#include "ui/site.h"
#include "ui/tab_control.h"

namespace kestrin {
namespace {

// Character height of the platform's default GUI font, which every control without a font
// of its own uses.
constexpr int kDefaultFontPixels = 12;
// Character height of the usage text.
constexpr int kUsagePixels = 15;
// Character height of the product description, and the pitch of its lines (four of them
// fill its label).
constexpr int kDescriptionPixels = 21;
constexpr int kDescriptionPitch = 22;

// A font of the default face at `pixels` character height.
QFont sized_font(int pixels, bool bold) {
  QFont font = QApplication::font();
  font.setPixelSize(pixels);
  font.setBold(bold);
  return font;
}

// Text colour on background for an edit box. The selection disappears when the box loses
// the focus: unfocused, it is drawn in the box's own colours.
void paint_box(QWidget* box, const QColor& text, const QColor& background) {
  QPalette palette = box->palette();
  for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    palette.setColor(group, QPalette::Text, text);
    palette.setColor(group, QPalette::Base, background);
  }
  palette.setColor(QPalette::Inactive, QPalette::Highlight, background);
  palette.setColor(QPalette::Inactive, QPalette::HighlightedText, text);
  box->setPalette(palette);
}

template <typename Widget>
Widget* place(Widget* widget, const char16_t* name, QRect where) {
  widget->setObjectName(QString::fromUtf16(name));
  widget->setGeometry(where);
  return widget;
}

// A multi-line edit box: Enter starts a new line, long lines wrap at the right edge, the
// text scrolls vertically; the vertical scroll bar is there when asked for.
QPlainTextEdit* multi_line_box(QWidget* page, const char16_t* name, QRect where, bool scroll_bar) {
  auto* box = place(new QPlainTextEdit(page), name, where);
  box->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  box->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  box->setVerticalScrollBarPolicy(scroll_bar ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
  box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  paint_box(box, Qt::black, Qt::white);
  return box;
}

QLabel* label(QWidget* page, const char16_t* name, QRect where, const QString& text) {
  auto* shown = place(new QLabel(text, page), name, where);
  shown->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  shown->setWordWrap(true);
  return shown;
}

QPushButton* button(QWidget* page, const char16_t* name, QRect where, const QString& text) {
  auto* pressed = place(new QPushButton(text, page), name, where);
  pressed->setAutoDefault(false);
  return pressed;
}

QWidget* browser_pane(QWidget* page, const char16_t* name, QRect where, const QString& path) {
  auto* pane = place(create_browser_pane(page, product_site_url(path)), name, where);
  pane->show();  // shown with its page
  return pane;
}

}  // namespace

MainWindow::MainWindow(AppState& state, Rewriter rewriter, QWidget* parent)
    : QWidget(parent,
              Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                  Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      state_(state),
      rewriter_(std::move(rewriter)) {
  setWindowTitle(main_window_title());
  setFont(sized_font(kDefaultFontPixels, false));
  setFixedSize(kClientWidth, kClientHeight);

  tabs_ = place(new TabControl(this), u"选择夹1", {0, 0, kClientWidth, kClientHeight});
  tabs_->tab_bar()->setFont(sized_font(21, true));
  build_home_page(tabs_->add_page(QStringLiteral("软件首页")));
  build_rewrite_page(tabs_->add_page(QStringLiteral("原创生成")));
  build_usage_page(tabs_->add_page(QStringLiteral("使用说明")));
  build_links_page(tabs_->add_page(QStringLiteral("友情链接")));
  tabs_->set_current_index(0);

  center_on_screen();
}

MainWindow::~MainWindow() {
  // A run still going on ends before the window does: the worker posts its result to us.
  if (worker_.joinable()) worker_.join();
}

void MainWindow::build_home_page(QWidget* page) {
  home_page_ = page;  // 超文本浏览框1 comes after the first paint
}

void MainWindow::build_rewrite_page(QWidget* page) {
  label(page, u"标签2", {8, 40, 96, 24}, QStringLiteral("待原创处理的文章"));
  article_box_ = multi_line_box(page, u"编辑框2", {8, 64, 416, 408}, true);
  label(page, u"标签3", {440, 40, 104, 24}, QStringLiteral("处理后的原创文章"));
  output_box_ = multi_line_box(page, u"编辑框3", {432, 64, 424, 408}, true);
  label(page, u"标签5", {16, 488, 64, 32}, QStringLiteral("处理次数"));

  passes_box_ = place(new QLineEdit(QStringLiteral("1"), page), u"编辑框5", {70, 493, 72, 24});
  passes_box_->setMaxLength(std::numeric_limits<int>::max());
  passes_box_->installEventFilter(new DigitKeyFilter(passes_box_));
  paint_box(passes_box_, Qt::black, Qt::white);

  rewrite_button_ = button(page, u"按钮1", {152, 487, 112, 32}, QStringLiteral("开始生成"));
  auto* import_button = button(page, u"按钮2", {464, 495, 112, 32}, QStringLiteral("批量导入文件"));
  auto* folder_button = button(page, u"按钮4", {600, 494, 112, 32}, QStringLiteral("选择保存目录"));
  auto* batch_button = button(page, u"按钮3", {728, 494, 112, 32}, QStringLiteral("一键批量处理"));
  label(page, u"标签4", {11, 536, 85, 16}, QStringLiteral("原创度检测数据"));
  label(page, u"标签7", {480, 536, 192, 16}, QStringLiteral("在网站上面可以支持文字+图片处理"));
  auto* site_button = button(page, u"按钮5", {683, 532, 112, 24}, QStringLiteral("点击进入"));

  check_box_ = multi_line_box(page, u"编辑框4", {8, 560, 848, 48}, true);
  check_box_->setFont(sized_font(19, true));
  paint_box(check_box_, QColor(255, 255, 0), QColor(0, 0, 128));

  connect(rewrite_button_, &QPushButton::clicked, this, &MainWindow::start_rewrite);
  connect(import_button, &QPushButton::clicked, this, &MainWindow::import_batch_files);
  connect(folder_button, &QPushButton::clicked, this, &MainWindow::choose_save_directory);
  connect(batch_button, &QPushButton::clicked, this, &MainWindow::start_batch);
  connect(site_button, &QPushButton::clicked, this, &MainWindow::open_product_site);
}

void MainWindow::build_usage_page(QWidget* page) {
  // The usage text's lines follow each other at a fixed pitch, so that all of them fit the
  // box whatever face the font falls back to for Chinese.
  auto* usage = place(new QTextEdit(page), u"编辑框1", {8, 40, 848, 144});
  usage->setAcceptRichText(false);
  usage->setLineWrapMode(QTextEdit::WidgetWidth);
  usage->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  usage->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  usage->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  usage->setFont(sized_font(kUsagePixels, true));
  paint_box(usage, QColor(255, 80, 128), Qt::white);
  usage->setPlainText(usage_text());
  QTextCursor whole(usage->document());
  whole.select(QTextCursor::Document);
  QTextBlockFormat pitch;
  pitch.setLineHeight(kUsagePixels + 1, QTextBlockFormat::FixedHeight);
  whole.mergeBlockFormat(pitch);

  auto* description =
      place(new PitchedLabel(product_description(), kDescriptionPitch, page), u"标签1", {8, 192, 840, 88});
  description->setFont(sized_font(kDescriptionPixels, false));

  picture_box_ = place(new PictureBox(page), u"图片框1", {64, 282, 704, 326});
  try {
    picture_ = std::async(std::launch::async, [] { return decode_jpeg(illustration_jpeg()); });
  } catch (const std::system_error&) {
    picture_box_->set_picture(decode_jpeg(illustration_jpeg()));  // no thread to spare: decode here
  }
}

void MainWindow::build_links_page(QWidget* page) {
  label(page, u"标签6", {144, 36, 600, 32}, contact_line())->setFont(sized_font(37, false));
  links_page_ = page;  // 超文本浏览框2 comes after the first paint
}

void MainWindow::complete_creation() {
  if (picture_.valid()) picture_box_->set_picture(picture_.get());
  create_browser_panes();
}

void MainWindow::create_browser_panes() {
  if (home_pane_ != nullptr) return;
  home_pane_ = browser_pane(home_page_, u"超文本浏览框1", {0, 32, 864, 584}, QStringLiteral("/gg/index.html"));
  links_pane_ = browser_pane(links_page_, u"超文本浏览框2", {0, 72, 864, 544}, QStringLiteral("/gg/you.html"));
  emit browser_panes_created();
}

void MainWindow::center_on_screen() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->geometry();
  move(area.x() + (area.width() - kOuterWidth) / 2, area.y() + (area.height() - kOuterHeight) / 2);
}

void MainWindow::paintEvent(QPaintEvent* event) {
  QWidget::paintEvent(event);
  if (!completion_scheduled_) {
    completion_scheduled_ = true;
    QTimer::singleShot(0, this, &MainWindow::complete_creation);
  }
}

void MainWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // A window that is shown but never painted (minimised at once) is completed all the same.
  QTimer::singleShot(1000, this, &MainWindow::complete_creation);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (rewrite_running()) {
    event->ignore();
    return;
  }
  QWidget::closeEvent(event);
}

void MainWindow::start_rewrite() {
  if (rewrite_running()) return;
  write_box(output_box_, Text());
  Text article = read_box(article_box_);
  const int passes = text_to_int(read_box(passes_box_));

  gate_ = std::make_unique<InputGate>();
  try {
    worker_ = std::thread([this, article = std::move(article), passes, rewriter = rewriter_] {
      RewriteResult result;
      try {
        result = rewriter(article, passes);
      } catch (...) {
        result = {};  // nothing but empty boxes on failure
      }
      QMetaObject::invokeMethod(
          this, [this, result = std::move(result)] { finish_rewrite(result); }, Qt::QueuedConnection);
    });
  } catch (const std::system_error&) {
    finish_rewrite({});  // no thread to run on: the run ends as a failed one
  }
}

void MainWindow::finish_rewrite(const RewriteResult& result) {
  if (worker_.joinable()) worker_.join();
  write_box(check_box_, result.check_data);
  write_box(output_box_, result.output);
  gate_.reset();
  emit rewrite_finished();
}

void MainWindow::set_batch_dialogs(std::unique_ptr<BatchDialogs> dialogs) {
  batch_dialogs_ = dialogs != nullptr ? std::move(dialogs) : std::make_unique<QtBatchDialogs>();
}

void MainWindow::import_batch_files() {
  auto chosen = batch_dialogs_->open_files(this, QStringLiteral("请输入欲打开的文件："),
                                           QCoreApplication::applicationDirPath());
  // Every import starts afresh: the old list goes, whatever the dialog gave.
  state_.import_files = chosen.has_value() ? std::move(*chosen) : std::vector<std::filesystem::path>();
}

void MainWindow::choose_save_directory() {
  auto chosen = batch_dialogs_->choose_folder(this, QStringLiteral("请选择路径"));
  state_.save_directory = chosen.has_value() ? std::move(*chosen) : std::filesystem::path();
}

void MainWindow::start_batch() {
  if (state_.save_directory.empty()) {
    batch_dialogs_->show_message(QStringLiteral("信息："), QStringLiteral("保存目录不能为空"));
    return;
  }
  if (state_.import_files.empty()) return;
  // The engine takes its own copies; the jobs never see AppState. When the engine cannot be
  // loaded nothing is sent, as with an unreachable service.
  if (!start_batch_in_engine(state_.import_files, state_.save_directory)) {
    qWarning("the batch could not be started");
  }
}

void MainWindow::open_product_site() { QDesktopServices::openUrl(QUrl(product_site_url(QStringLiteral("/")))); }

}  // namespace kestrin
