// The batch buttons 按钮2, 按钮4 and 按钮3: what each does to the state with pre-answered
// dialogs, the message of a missing save folder, a whole batch against the stand-in batch
// service, the settings of the real dialogs, and closing the window while jobs are in flight.
#include <QApplication>
#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSocketNotifier>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gui_support.h"
#include "rewrite/batch.h"
#include "support/files.h"
#include "support/stand_in/stand_in.h"
#include "ui/app_state.h"
#include "ui/batch_dialogs.h"
#include "ui/engine.h"
#include "ui/main_window.h"
#include "ui/tab_control.h"

using kestrin::ui_test::control;
namespace fs = std::filesystem;
namespace support = kestrin::test_support;

namespace {

support::StandIn* stand_in = nullptr;
constexpr int kRunTimeoutMs = 60000;

using FileList = std::vector<fs::path>;

// What the pre-answered dialogs answer, in turn, and what they were asked. A dialog with no
// answer left is cancelled.
struct Answers {
  struct OpenAsked {
    QString title;
    QString start_folder;
  };
  std::deque<std::optional<FileList>> files;
  std::deque<std::optional<fs::path>> folders;
  std::vector<OpenAsked> open_asked;
  std::vector<QString> folder_asked;
  std::vector<std::pair<QString, QString>> messages;  // title, text
};

class PreAnswered final : public kestrin::BatchDialogs {
 public:
  explicit PreAnswered(Answers& answers) : answers_(answers) {}

  std::optional<FileList> open_files(QWidget*, const QString& title, const QString& start_folder) override {
    answers_.open_asked.push_back({title, start_folder});
    return next(answers_.files);
  }
  std::optional<fs::path> choose_folder(QWidget*, const QString& instruction) override {
    answers_.folder_asked.push_back(instruction);
    return next(answers_.folders);
  }
  void show_message(const QString& title, const QString& text) override {
    answers_.messages.emplace_back(title, text);
  }

 private:
  template <typename Answer>
  static std::optional<Answer> next(std::deque<std::optional<Answer>>& queue) {
    if (queue.empty()) return std::nullopt;
    auto answer = std::move(queue.front());
    queue.pop_front();
    return answer;
  }

  Answers& answers_;
};

// The main window on its page 原创生成, with the state it works on and, unless asked for the
// real ones, pre-answered dialogs.
struct Window {
  explicit Window(bool real_dialogs = false) : window(state) {
    kestrin::init_app_state(state);
    if (!real_dialogs) window.set_batch_dialogs(std::make_unique<PreAnswered>(answers));
    window.show();
    control<kestrin::TabControl>(window, u"选择夹1")->set_current_index(1);
  }
  void click(const char16_t* name) { QTest::mouseClick(control<QPushButton>(window, name), Qt::LeftButton); }

  Answers answers;
  kestrin::AppState state;
  kestrin::MainWindow window;
};

fs::path path_of(const QString& name) { return fs::path(name.toStdString()); }

FileList paths_of(const QStringList& names) {
  FileList paths;
  for (const QString& name : names) paths.push_back(path_of(name));
  return paths;
}

using support::read_bytes;
using support::write_bytes;

// Readable forms for failure messages.
QString describe(const FileList& paths) {
  QStringList names;
  for (const auto& path : paths) names << QString::fromStdString(path.native());
  return "[" + names.join(", ") + "]";
}
QString describe(const std::map<std::string, std::string>& files) {
  QStringList entries;
  for (const auto& [name, content] : files) {
    entries << QString::fromStdString(name) + "=" + QString::fromLatin1(QByteArray::fromStdString(content).toHex());
  }
  return "{" + entries.join(", ") + "}";
}

// QCOMPARE for the values above.
#define COMPARE_VALUES(actual, expected)                                                          \
  QVERIFY2((actual) == (expected),                                                                \
           qPrintable(QStringLiteral("got ") + describe(actual) + QStringLiteral(", wanted ") + \
                      describe(expected)))

// Every file under `folder` with its content.
std::map<std::string, std::string> snapshot(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(folder)) {
    files[entry.path().filename().native()] = read_bytes(entry.path()).value_or("<unreadable>");
  }
  return files;
}

// Runs `act` on the next modal dialog of type Dialog once it is open; a dialog that never
// opens is given up after a while, and one that `act` left open is then closed, so that a
// failing test cannot hang in it.
template <typename Dialog>
void answer_next_dialog(std::function<void(Dialog*)> act) {
  auto* timer = new QTimer(qApp);
  auto elapsed = std::make_shared<QElapsedTimer>();
  elapsed->start();
  QObject::connect(timer, &QTimer::timeout, [timer, elapsed, act = std::move(act)] {
    if (auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      act(dialog);
      if (dialog->isVisible()) dialog->reject();
    } else if (elapsed->elapsed() > 20000) {
      timer->stop();
      timer->deleteLater();
    }
  });
  timer->start(20);
}

// The child mode of this program (see closing_with_jobs_in_flight_ends_the_process): the
// program's own start and way out around a window that imports every file of argv[2],
// chooses argv[3] and starts the batch, says "started", and closes when "close" arrives on
// standard input. Ends with 0 through the batch exit; 3 when that returned.
int run_exit_child(int argc, char** argv) {
  QApplication app(argc, argv);
  kestrin::AppState state;
  kestrin::init_app_state(state);
  Answers answers;
  FileList files;
  for (const auto& entry : fs::directory_iterator(argv[2])) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  answers.files.emplace_back(files);
  answers.folders.emplace_back(fs::path(argv[3]));

  kestrin::MainWindow window(state);
  window.set_batch_dialogs(std::make_unique<PreAnswered>(answers));
  window.show();
  QTimer::singleShot(0, &window, [&window] {
    control<kestrin::TabControl>(window, u"选择夹1")->set_current_index(1);
    for (const char16_t* name : {u"按钮2", u"按钮4", u"按钮3"}) {
      QTest::mouseClick(control<QPushButton>(window, name), Qt::LeftButton);
    }
    std::fputs("started\n", stdout);
    std::fflush(stdout);
  });
  QSocketNotifier input(0, QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, &window, [&window, &input] {
    char line[64] = {};
    if (std::fgets(line, sizeof line, stdin) == nullptr || std::string_view(line).starts_with("close")) {
      input.setEnabled(false);
      window.close();
    }
  });

  const int status = QApplication::exec();
  kestrin::release_app_state(state);
  kestrin::end_process_if_batch_started(status);
  return 3;
}

}  // namespace

class BatchTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void import_replaces_the_list_data();
  void import_replaces_the_list();
  void choosing_replaces_the_folder_data();
  void choosing_replaces_the_folder();
  void start_without_work_starts_nothing_data();
  void start_without_work_starts_nothing();
  void start_writes_every_file_into_the_folder();
  void real_dialogs_have_their_settings();
  void closing_with_jobs_in_flight_ends_the_process();
};

void BatchTest::initTestCase() { QVERIFY2(stand_in->ok(), stand_in->error().c_str()); }

void BatchTest::import_replaces_the_list_data() {
  QTest::addColumn<QStringList>("earlier");
  QTest::addColumn<bool>("cancelled");
  QTest::addColumn<QStringList>("answer");

  const QStringList three = {"/in/a.txt", "/in/文章.txt", "/in/c"};
  QTest::newRow("OK replaces an earlier list") << three << false << QStringList{"/in/d.txt", "/其他/e.txt"};
  QTest::newRow("OK with a file already listed") << three << false << QStringList{"/in/a.txt"};
  QTest::newRow("OK with no earlier list") << QStringList() << false << QStringList{"/in/a.txt"};
  QTest::newRow("Cancel empties the list") << three << true << QStringList();
  QTest::newRow("Cancel with no earlier list") << QStringList() << true << QStringList();
}

void BatchTest::import_replaces_the_list() {
  QFETCH(QStringList, earlier);
  QFETCH(bool, cancelled);
  QFETCH(QStringList, answer);

  Window w;
  w.state.import_files = paths_of(earlier);
  w.state.save_directory = "/kept";
  w.answers.files.emplace_back(cancelled ? std::nullopt : std::optional(paths_of(answer)));
  w.click(u"按钮2");

  COMPARE_VALUES(w.state.import_files, paths_of(answer));
  QCOMPARE(w.state.save_directory, fs::path("/kept"));
  QCOMPARE(w.answers.open_asked.size(), std::size_t{1});
  QCOMPARE(w.answers.open_asked[0].title, QStringLiteral("请输入欲打开的文件："));
  QCOMPARE(w.answers.open_asked[0].start_folder, QCoreApplication::applicationDirPath());
  QVERIFY(w.answers.folder_asked.empty() && w.answers.messages.empty());
}

void BatchTest::choosing_replaces_the_folder_data() {
  QTest::addColumn<QString>("earlier");
  QTest::addColumn<bool>("cancelled");
  QTest::addColumn<QString>("answer");

  QTest::newRow("OK replaces the folder") << "/old" << false << "/new/输出";
  QTest::newRow("a folder that does not exist is taken as it is") << "" << false << "/no/such/folder";
  QTest::newRow("Cancel empties the folder") << "/old" << true << "";
  QTest::newRow("Cancel with no folder") << "" << true << "";
}

void BatchTest::choosing_replaces_the_folder() {
  QFETCH(QString, earlier);
  QFETCH(bool, cancelled);
  QFETCH(QString, answer);

  Window w;
  const FileList imported = {"/in/a.txt", "/in/b.txt"};
  w.state.import_files = imported;
  w.state.save_directory = path_of(earlier);
  w.answers.folders.emplace_back(cancelled ? std::nullopt : std::optional(path_of(answer)));
  w.click(u"按钮4");

  QCOMPARE(w.state.save_directory, path_of(answer));
  COMPARE_VALUES(w.state.import_files, imported);
  QCOMPARE(w.answers.folder_asked, std::vector<QString>{QStringLiteral("请选择路径")});
  QVERIFY(w.answers.open_asked.empty() && w.answers.messages.empty());
}

// Steps taken before the click on 按钮3: "import" (OK with two files), "no import"
// (Cancel), "folder" (OK), "no folder" (Cancel), in the order given.
void BatchTest::start_without_work_starts_nothing_data() {
  QTest::addColumn<QStringList>("steps");
  QTest::addColumn<bool>("message");

  QTest::newRow("files but no folder ever chosen") << QStringList{"import"} << true;
  QTest::newRow("files, the folder cancelled after a choice") << QStringList{"import", "folder", "no folder"} << true;
  QTest::newRow("neither files nor folder") << QStringList() << true;
  QTest::newRow("a folder, the import cancelled after an import")
      << QStringList{"folder", "import", "no import"} << false;
}

void BatchTest::start_without_work_starts_nothing() {
  QFETCH(QStringList, steps);
  QFETCH(bool, message);
  QVERIFY(stand_in->reset());
  // A job started by mistake would still be at the service when the counts are taken.
  QVERIFY(stand_in->configure({.delay_ms = 3000}));

  QTemporaryDir dir;
  const fs::path root = path_of(dir.path());
  write_bytes(root / "一.txt", "one");
  write_bytes(root / "二.txt", "two");
  Window w;
  for (const QString& step : steps) {
    if (step == "import") {
      w.answers.files.emplace_back(FileList{root / "一.txt", root / "二.txt"});
      w.click(u"按钮2");
    } else if (step == "no import") {
      w.click(u"按钮2");
    } else if (step == "folder") {
      w.answers.folders.emplace_back(root);
      w.click(u"按钮4");
    } else {
      w.click(u"按钮4");
    }
  }
  const FileList files = w.state.import_files;
  const fs::path folder = w.state.save_directory;

  w.click(u"按钮3");
  if (message) {
    QCOMPARE(w.answers.messages.size(), std::size_t{1});
    QCOMPARE(w.answers.messages[0].first, QStringLiteral("信息："));
    QCOMPARE(w.answers.messages[0].second, QStringLiteral("保存目录不能为空"));
  } else {
    QVERIFY(w.answers.messages.empty());
  }
  COMPARE_VALUES(w.state.import_files, files);
  QCOMPARE(w.state.save_directory, folder);
  QCOMPARE(kestrin::batch_jobs_in_engine(), std::size_t{0});
  const auto stats = stand_in->stats();
  QVERIFY(stats.has_value());
  QCOMPARE(stats->batch_requests, 0LL);
  COMPARE_VALUES(snapshot(root), (std::map<std::string, std::string>{{"一.txt", "one"}, {"二.txt", "two"}}));
}

// The click returns with the jobs handed over; each file's result lands in the folder under
// the file's own name, and each upload carried that name in GBK and the file's bytes.
void BatchTest::start_writes_every_file_into_the_folder() {
  QVERIFY(stand_in->reset());
  QTemporaryDir dir;
  const fs::path in = path_of(dir.path()) / "输入";
  const fs::path out = path_of(dir.path()) / "输出";
  fs::create_directories(in);
  fs::create_directories(out);
  // 乗 is 0x81 0x5C in GBK: its second byte is a backslash.
  const std::map<std::string, std::string> inputs = {{"原创文章.txt", "第一段。\r\n第二段。"},
                                                     {"乗 notes.txt", "plain ASCII text"}};
  FileList files;
  for (const auto& [name, content] : inputs) {
    write_bytes(in / name, content);
    files.push_back(in / name);
  }

  Window w;
  w.answers.files.emplace_back(files);
  w.answers.folders.emplace_back(out);
  w.click(u"按钮2");
  w.click(u"按钮4");
  w.click(u"按钮3");
  COMPARE_VALUES(w.state.import_files, files);
  QCOMPARE(w.state.save_directory, out);
  QVERIFY(w.answers.messages.empty());

  QTRY_VERIFY_WITH_TIMEOUT(kestrin::batch_jobs_in_engine() == 0 && snapshot(out).size() == inputs.size(),
                           kRunTimeoutMs);
  std::map<std::string, std::string> expected;
  for (const auto& [name, content] : inputs) {
    expected[name] = std::string(support::kBatchMarkGbk) + support::gbk(content);
  }
  COMPARE_VALUES(snapshot(out), expected);
  COMPARE_VALUES(snapshot(in), inputs);

  std::map<std::string, std::string> uploaded;  // GBK name, content
  for (const auto& request : stand_in->requests()) {
    QCOMPARE(request.num, std::string("1"));
    uploaded[request.file_name] = request.content;
  }
  std::map<std::string, std::string> sent;
  for (const auto& [name, content] : inputs) sent[support::gbk(name)] = content;
  COMPARE_VALUES(uploaded, sent);
  QCOMPARE(stand_in->stats()->batch_requests, static_cast<long long>(inputs.size()));
}

// The real dialogs behind the buttons, opened non-natively: their titles, modes and folders,
// and the paths they give back, Chinese names included.
void BatchTest::real_dialogs_have_their_settings() {
  QTemporaryDir dir;
  const QString root = dir.path();
  const fs::path root_path = path_of(root);
  write_bytes(root_path / "甲.txt", "a");
  write_bytes(root_path / "乙 b.txt", "b");
  fs::create_directories(root_path / "输出");
  Window w(true);

  struct Seen {
    QString title;
    QString folder;
    QFileDialog::FileMode mode = QFileDialog::AnyFile;
    QFileDialog::AcceptMode accept = QFileDialog::AcceptSave;
    QStringList filters;
    bool dirs_only = false;
    bool modal = false;
  };
  auto look = [](QFileDialog* dialog, Seen& seen) {
    seen = {dialog->windowTitle(),
            dialog->directory().absolutePath(),
            dialog->fileMode(),
            dialog->acceptMode(),
            dialog->nameFilters(),
            dialog->testOption(QFileDialog::ShowDirsOnly),
            dialog->isModal()};
  };
  auto type_names = [root](QFileDialog* dialog, const QString& names) {
    dialog->setDirectory(root);
    dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(names);
    static_cast<QDialog*>(dialog)->accept();  // the dialog checks the typed names
  };

  // 按钮2: two files typed into the name box, then OK.
  Seen files;
  answer_next_dialog<QFileDialog>([&](QFileDialog* dialog) {
    look(dialog, files);
    type_names(dialog, QStringLiteral("\"甲.txt\" \"乙 b.txt\""));
  });
  w.click(u"按钮2");
  QCOMPARE(files.title, QStringLiteral("请输入欲打开的文件："));
  QCOMPARE(files.folder, QDir(QCoreApplication::applicationDirPath()).absolutePath());
  QCOMPARE(files.mode, QFileDialog::ExistingFiles);
  QCOMPARE(files.accept, QFileDialog::AcceptOpen);
  QVERIFY2(files.filters.size() <= 1 && (files.filters.isEmpty() || files.filters[0].contains("(*)")),
           qPrintable(files.filters.join(';')));
  QVERIFY(files.modal);
  FileList got = w.state.import_files;
  std::sort(got.begin(), got.end());
  COMPARE_VALUES(got, (FileList{root_path / "乙 b.txt", root_path / "甲.txt"}));

  // 按钮4: a folder name typed into the name box, then OK.
  Seen folder;
  answer_next_dialog<QFileDialog>([&](QFileDialog* dialog) {
    look(dialog, folder);
    type_names(dialog, QStringLiteral("输出"));
  });
  w.click(u"按钮4");
  QCOMPARE(folder.title, QStringLiteral("请选择路径"));
  QCOMPARE(folder.mode, QFileDialog::Directory);
  QVERIFY(folder.dirs_only);
  QVERIFY(folder.modal);
  QCOMPARE(w.state.save_directory, root_path / "输出");

  // Cancelling either dialog empties what it chose.
  answer_next_dialog<QFileDialog>([](QFileDialog* dialog) { dialog->reject(); });
  w.click(u"按钮2");
  QVERIFY(w.state.import_files.empty());
  answer_next_dialog<QFileDialog>([](QFileDialog* dialog) { dialog->reject(); });
  w.click(u"按钮4");
  QVERIFY(w.state.save_directory.empty());

  // 按钮3 with no folder: the message box, closed with its one button.
  struct Box {
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::Information;
    QMessageBox::StandardButtons buttons;
    Qt::WindowModality modality = Qt::NonModal;
    bool owned = true;
  } box;
  answer_next_dialog<QMessageBox>([&box](QMessageBox* shown) {
    box = {shown->windowTitle(), shown->text(), shown->icon(), shown->standardButtons(), shown->windowModality(),
           shown->parentWidget() != nullptr};
    QTest::mouseClick(shown->button(QMessageBox::Ok), Qt::LeftButton);
  });
  w.click(u"按钮3");
  QCOMPARE(box.title, QStringLiteral("信息："));
  QCOMPARE(box.text, QStringLiteral("保存目录不能为空"));
  QCOMPARE(box.icon, QMessageBox::NoIcon);
  QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
  QCOMPARE(box.modality, Qt::ApplicationModal);
  QVERIFY(!box.owned);
}

// The program's way out, in a child process of its own: with a slow service, 40 files (more
// than run at once), the jobs at the service, the window closed. The process ends at once and
// cleanly, and the interrupted jobs leave the output folder and the inputs as they were.
void BatchTest::closing_with_jobs_in_flight_ends_the_process() {
  QVERIFY(stand_in->reset());
  QVERIFY(stand_in->configure({.delay_ms = 120000}));
  QTemporaryDir dir;
  const fs::path in = path_of(dir.path()) / "in";
  const fs::path out = path_of(dir.path()) / "out";
  fs::create_directories(in);
  fs::create_directories(out);
  for (int i = 0; i < 40; ++i) write_bytes(in / ("文件" + std::to_string(i) + ".txt"), "content " + std::to_string(i));
  const auto inputs = snapshot(in);

  QProcess child;
  child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  child.start(QCoreApplication::applicationFilePath(),
              {QStringLiteral("--exit-child"), QString::fromStdString(in.native()), QString::fromStdString(out.native())});
  QVERIFY2(child.waitForStarted(), qPrintable(child.errorString()));
  QElapsedTimer waited;
  waited.start();
  bool started = false;
  while (!started && child.state() == QProcess::Running && waited.elapsed() < kRunTimeoutMs) {
    if (!child.canReadLine()) {
      child.waitForReadyRead(100);
      continue;
    }
    started = child.readLine().trimmed() == "started";
  }
  QVERIFY2(started, "the child did not start its batch");

  // Until every running job is at the service.
  QTRY_COMPARE_WITH_TIMEOUT(stand_in->stats().value_or(support::StandInStats{}).in_flight,
                            static_cast<long long>(kestrin::kMaxBatchJobs), kRunTimeoutMs);
  child.write("close\n");
  // Far less than the service's delay: a process that waited for its jobs would still run.
  const bool ended = child.waitForFinished(30000);
  if (!ended) child.kill();
  QVERIFY2(ended, "the program did not end after its window was closed");
  QCOMPARE(child.exitStatus(), QProcess::NormalExit);
  QCOMPARE(child.exitCode(), 0);
  QVERIFY(snapshot(out).empty());
  COMPARE_VALUES(snapshot(in), inputs);
}

int main(int argc, char** argv) {
  // Qt's own dialogs, which a test can look into, wherever the platform has native ones.
  QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
  if (argc == 4 && std::string_view(argv[1]) == "--exit-child") return run_exit_child(argc, argv);

  support::StandIn& shared = support::shared_stand_in();  // before the tool reads its hosts
  stand_in = &shared;
  kestrin::ui_test::LoopbackSite loopback_site;
  QApplication app(argc, argv);
  BatchTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "batch_test.moc"
