// The main window of the tool: a fixed-size frame holding the tab control 选择夹1 with the
// pages 软件首页, 原创生成, 使用说明 and 友情链接, and the handlers of its buttons. Every
// control carries its own name as its object name (编辑框2, 按钮1, ...).
#pragma once

#include <QWidget>
#include <QImage>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include "rewrite/article.h"
#include "text/types.h"
#include "ui/app_state.h"
#include "ui/batch_dialogs.h"
#include "ui/engine.h"

class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace kestrin {

class InputGate;
class PictureBox;
class TabControl;

class MainWindow : public QWidget {
  Q_OBJECT

 public:
  // Runs an article through the rewriting service (the engine's rewrite_article unless a
  // test says otherwise). Called on a worker thread.
  using Rewriter = std::function<RewriteResult(const Text& article, int passes)>;

  // Client area of the window: exactly the tab control.
  static constexpr int kClientWidth = 864;
  static constexpr int kClientHeight = 616;
  // Outer size the window is centred by (frame included).
  static constexpr int kOuterWidth = 867;
  static constexpr int kOuterHeight = 643;

  // Creates every control with its place, texts, fonts and colours, starts decoding the
  // picture on a thread of its own and centres the window on the primary screen. The picture
  // and the browser panes arrive right after the first paint, which never waits for them.
  explicit MainWindow(AppState& state, Rewriter rewriter = rewrite_article_in_engine, QWidget* parent = nullptr);
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // The process-wide state the entry owns.
  [[nodiscard]] AppState& app_state() noexcept { return state_; }
  [[nodiscard]] TabControl* tab_control() const noexcept { return tabs_; }
  // True from the click on 按钮1 until both result boxes are written.
  [[nodiscard]] bool rewrite_running() const noexcept { return gate_ != nullptr; }

  // The dialogs the batch buttons ask (the real ones unless a test says otherwise); nullptr
  // puts the real ones back.
  void set_batch_dialogs(std::unique_ptr<BatchDialogs> dialogs);

  // Puts the decoded picture into 图片框1 and creates both browser panes, which start loading
  // their pages; runs by itself after the first paint, and later calls do nothing.
  void complete_creation();

 public slots:
  // 按钮1: empties 编辑框3, reads the article (编辑框2) and the pass count (编辑框5), runs
  // the rewriter on a worker thread while the window refuses input, then writes the check
  // data to 编辑框4 and the output to 编辑框3. Does nothing while a run is going on.
  void start_rewrite();
  // 按钮2: replaces the import list with the files picked in the open-file dialog, which
  // starts in the program's folder; an empty list when it is cancelled.
  void import_batch_files();
  // 按钮4: replaces the save folder with the one picked in the folder chooser; an empty
  // folder when it is cancelled. Nothing tests whether the folder exists.
  void choose_save_directory();
  // 按钮3: with no save folder, shows "保存目录不能为空" and does nothing else. Otherwise hands
  // copies of the import list and of the folder to the engine, one job per file, and returns
  // at once; an empty list does nothing. The state is left as it is.
  void start_batch();
  // 按钮5: opens the product web site in the user's browser; the window stays as it is.
  void open_product_site();

 signals:
  // Both result boxes of a run are written and input is accepted again.
  void rewrite_finished();
  // Both browser panes exist and have started loading.
  void browser_panes_created();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void build_home_page(QWidget* page);
  void build_rewrite_page(QWidget* page);
  void build_usage_page(QWidget* page);
  void build_links_page(QWidget* page);
  void center_on_screen();
  void create_browser_panes();
  void finish_rewrite(const RewriteResult& result);

  AppState& state_;
  Rewriter rewriter_;
  TabControl* tabs_ = nullptr;
  QWidget* home_page_ = nullptr;
  QWidget* links_page_ = nullptr;
  QPlainTextEdit* article_box_ = nullptr;  // 编辑框2
  QPlainTextEdit* output_box_ = nullptr;   // 编辑框3
  QPlainTextEdit* check_box_ = nullptr;    // 编辑框4
  QLineEdit* passes_box_ = nullptr;        // 编辑框5
  QPushButton* rewrite_button_ = nullptr;  // 按钮1
  PictureBox* picture_box_ = nullptr;      // 图片框1
  QWidget* home_pane_ = nullptr;           // 超文本浏览框1
  QWidget* links_pane_ = nullptr;          // 超文本浏览框2
  bool completion_scheduled_ = false;
  std::future<QImage> picture_;
  std::unique_ptr<InputGate> gate_;
  std::thread worker_;
  std::unique_ptr<BatchDialogs> batch_dialogs_ = std::make_unique<QtBatchDialogs>();
};

}  // namespace kestrin
