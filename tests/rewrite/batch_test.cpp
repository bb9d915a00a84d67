// The batch jobs and their runner, against the stand-in batch service on loopback: what each
// job writes (and leaves alone) for every kind of answer, the folders it cannot write, the
// cap on jobs at once, and what ending a runner or the process does with jobs in flight.
#include "rewrite/batch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "support/files.h"
#include "support/stand_in/stand_in.h"
#include "support/stand_in/stand_in_environment.h"
#include "support/stand_in/wire.h"

namespace kestrin {

std::ostream& operator<<(std::ostream& out, BatchOutcome outcome) {
  switch (outcome) {
    case BatchOutcome::written: return out << "written";
    case BatchOutcome::no_answer: return out << "no_answer";
    case BatchOutcome::no_str: return out << "no_str";
    case BatchOutcome::write_failed: return out << "write_failed";
    case BatchOutcome::read_failed: return out << "read_failed";
  }
  return out << "BatchOutcome(" << static_cast<int>(outcome) << ")";
}

namespace {

namespace fs = std::filesystem;
using test_support::gbk;
using test_support::kBatchMarkGbk;
using test_support::RecordedRequest;
using test_support::shared_stand_in;
using test_support::StandIn;
using test_support::StandInSettings;

using test_support::read_bytes;

void write_bytes(const fs::path& path, std::string_view bytes) {
  ASSERT_TRUE(test_support::write_bytes(path, bytes)) << path;
}

// Every entry under `root` (relative path, then the content, or "<dir>" for a folder).
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).native();
    entries[name] = entry.is_directory()      ? "<dir>"
                    : !entry.is_regular_file() ? "<special>"  // a pipe would block the read
                                               : read_bytes(entry.path()).value_or("<unreadable>");
  }
  return entries;
}

// What the stand-in answers for a file, as the tool writes it: its mark and the text, in GBK.
// The content is read as UTF-8 when it is valid UTF-8, otherwise it is GBK already.
std::string expected_output(std::string_view content) {
  return std::string(kBatchMarkGbk) +
         (test_support::wire::valid_utf8(content) ? gbk(content) : std::string(content));
}

// The outcomes a runner reported, from any number of worker threads.
struct Reports {
  std::mutex mutex;
  std::map<fs::path, std::vector<BatchOutcome>> by_file;
  std::size_t count = 0;
  std::chrono::milliseconds pause{0};  // a slow reader of the reports

  BatchRunner::JobDone callback() {
    return [this](const fs::path& file, BatchOutcome outcome) {
      std::this_thread::sleep_for(pause);
      std::lock_guard lock(mutex);
      by_file[file].push_back(outcome);
      ++count;
    };
  }
  std::size_t total() {
    std::lock_guard lock(mutex);
    return count;
  }
};

class BatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(stand_in().reset());
    // Named after the process that runs the tests, which a death test's child inherits, so
    // that parent and child share one folder.
    if (std::getenv("KESTRIN_BATCH_TEST_OWNER") == nullptr) {
      ::setenv("KESTRIN_BATCH_TEST_OWNER", std::to_string(::getpid()).c_str(), 1);
    }
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::temp_directory_path() /
            ("kestrin-batch-" + std::string(std::getenv("KESTRIN_BATCH_TEST_OWNER")) + "-" + info->name());
    fs::remove_all(root_);
    fs::create_directories(in_dir());
    fs::create_directories(out_dir());
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(root_, ignored);
  }

  static StandIn& stand_in() { return shared_stand_in(); }
  static void configure(const StandInSettings& settings) { ASSERT_TRUE(stand_in().configure(settings)); }
  static std::vector<RecordedRequest> uploads() { return stand_in().requests(); }

  fs::path in_dir() const { return root_ / "in"; }
  fs::path out_dir() const { return root_ / "out"; }

  // An input file with this name (UTF-8) and content.
  fs::path input(const std::string& name, std::string_view content) {
    const fs::path path = in_dir() / name;
    write_bytes(path, content);
    return path;
  }

  fs::path root_;
};

TEST_F(BatchTest, UploadNameIsTheLastComponentInGbk) {
  struct Case {
    fs::path path;
    std::string upload;
  };
  const std::vector<Case> cases = {
      {"/data/in/a.txt", "a.txt"},
      {"/data/in/文章 一.txt", gbk("文章 一.txt")},
      {"relative/名.md", gbk("名.md")},
      {"bare", "bare"},
      {"/data/in/smile😀.txt", "smile?.txt"},  // GBK has no emoji
      {"/data/in/bad\xFF.txt", "bad?.txt"},     // not UTF-8
      {"/data/in/", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(upload_file_name(c.path).str(), c.upload) << c.path;
}

// 200 files with names in Chinese, with blanks and with characters GBK lacks; a fifth of the
// exchanges fail. Every success holds exactly its own result; every failure leaves the old
// file, or none; every upload carried its own name and content.
TEST_F(BatchTest, ManyFilesWithFailuresEachGetTheirOwnResultOrNothing) {
  constexpr int kFiles = 200;
  struct File {
    fs::path path;
    std::string content;
    std::optional<std::string> old_output;
  };
  std::vector<File> files;
  for (int i = 0; i < kFiles; ++i) {
    const std::string n = std::to_string(i);
    const std::string name = i % 4 == 0   ? "文章" + n + ".txt"
                             : i % 4 == 1 ? "note " + n + ".txt"
                             : i % 4 == 2 ? "名字 带 空格 " + n
                                          : "emoji😀" + n + ".txt";
    const std::string content = i == 7        ? std::string()
                                : i % 2 == 0  ? "第" + n + "篇文章\r\n正文 line " + n + "\n"
                                              : gbk("第" + n + "号 GBK 文本\r\n");
    std::optional<std::string> old;
    if (i % 5 == 0) {
      old = "old output " + n;
      write_bytes(out_dir() / name, *old);
    }
    files.push_back({input(name, content), content, old});
  }
  configure({.delay_ms = 5, .fault = "drop", .fault_share = 0.2, .fault_seed = 11});

  Reports reports;
  {
    BatchRunner runner(reports.callback());
    std::vector<fs::path> paths;
    for (const auto& f : files) paths.push_back(f.path);
    runner.start(paths, out_dir());
    runner.wait();
    EXPECT_EQ(runner.unfinished(), 0u);
  }

  const auto records = uploads();
  ASSERT_EQ(records.size(), static_cast<std::size_t>(kFiles));
  std::map<std::string, const RecordedRequest*> by_name;
  for (const auto& r : records) by_name[r.file_name] = &r;
  ASSERT_EQ(by_name.size(), records.size()) << "a file was uploaded twice";

  std::set<std::string> expected_entries;
  int failures = 0;
  for (const auto& f : files) {
    const std::string name = f.path.filename().native();
    SCOPED_TRACE(name);
    const auto found = by_name.find(gbk(name));
    ASSERT_NE(found, by_name.end());
    const RecordedRequest& upload = *found->second;
    EXPECT_EQ(upload.service, "batch");
    EXPECT_EQ(upload.num, "1");
    EXPECT_EQ(upload.content, f.content);

    ASSERT_EQ(reports.by_file[f.path].size(), 1u);
    const BatchOutcome outcome = reports.by_file[f.path].front();
    const auto output = read_bytes(out_dir() / name);
    if (upload.fault == "none") {
      EXPECT_EQ(outcome, BatchOutcome::written);
      EXPECT_EQ(output, expected_output(f.content));
      expected_entries.insert(name);
    } else {
      ++failures;
      EXPECT_EQ(outcome, BatchOutcome::no_answer);
      EXPECT_EQ(output, f.old_output);
      if (f.old_output) expected_entries.insert(name);
    }
  }
  EXPECT_GT(failures, 0);
  EXPECT_LT(failures, kFiles);

  std::set<std::string> entries;  // no temporary file is left behind
  for (const auto& entry : fs::directory_iterator(out_dir())) entries.insert(entry.path().filename().native());
  EXPECT_EQ(entries, expected_entries);
  EXPECT_LE(stand_in().stats().value().max_in_flight, static_cast<long long>(kMaxBatchJobs));
}

// Output folder = input folder: a failed or unusable answer must leave the input file as it
// was; a usable one replaces it by its result.
TEST_F(BatchTest, EachKindOfAnswerWritesOnlyAStrMember) {
  struct Case {
    std::string fault;
    BatchOutcome outcome;
    std::string written_after_mark;  // with outcome written: what follows the mark
  };
  const std::string content = "原文 text\r\n";
  const std::vector<Case> cases = {
      {"none", BatchOutcome::written, gbk(content)},
      {"nul_after", BatchOutcome::written, gbk(content)},
      {"non_gbk", BatchOutcome::written, gbk(content) + "?"},
      {"drop", BatchOutcome::no_answer, ""},
      {"cut", BatchOutcome::no_str, ""},  // the half body that arrived is no JSON
      {"empty", BatchOutcome::no_answer, ""},
      {"http500", BatchOutcome::no_str, ""},
      {"html", BatchOutcome::no_str, ""},
      {"truncated", BatchOutcome::no_str, ""},
      {"nul", BatchOutcome::no_str, ""},
      {"no_str", BatchOutcome::no_str, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    ASSERT_TRUE(stand_in().reset());
    configure({.fault = c.fault});
    const fs::path path = input("同名 " + c.fault + ".txt", content);
    const auto before = snapshot(in_dir());

    EXPECT_EQ(rewrite_file(path, in_dir()), c.outcome);

    auto expected = before;
    if (c.outcome == BatchOutcome::written) {
      expected[path.filename().native()] = std::string(kBatchMarkGbk) + c.written_after_mark;
    }
    EXPECT_EQ(snapshot(in_dir()), expected);
  }

  // A str that is a number is a member like any other.
  ASSERT_TRUE(stand_in().reset());
  configure({.fault = "str_number"});
  EXPECT_EQ(rewrite_file(input("n.txt", "x"), out_dir()), BatchOutcome::written);
  EXPECT_EQ(read_bytes(out_dir() / "n.txt"), "85");
}

// The service down with the input folder as output folder: every input file stays as it was.
TEST_F(BatchTest, ServiceDownLeavesTheInputFolderUntouched) {
  std::vector<fs::path> paths;
  for (int i = 0; i < 40; ++i) paths.push_back(input("输入" + std::to_string(i) + ".txt", "内容 " + std::to_string(i)));
  const auto before = snapshot(in_dir());
  configure({.fault = "drop"});

  Reports reports;
  BatchRunner runner(reports.callback());
  runner.start(paths, in_dir());
  runner.wait();

  EXPECT_EQ(snapshot(in_dir()), before);
  ASSERT_EQ(reports.total(), paths.size());
  for (const auto& path : paths) EXPECT_EQ(reports.by_file[path], std::vector{BatchOutcome::no_answer}) << path;
}

// Folders that cannot be written: the exchange runs, nothing is written anywhere, no
// temporary file stays behind.
TEST_F(BatchTest, UnwritableFolderWritesNothing) {
  const fs::path source = input("文件.txt", "text");
  write_bytes(root_ / "plain.txt", "a regular file");
  fs::create_directories(root_ / "taken" / "文件.txt");  // the target name is a folder
  write_bytes(root_ / "taken" / "文件.txt" / "inside", "keep");

  const std::vector<std::pair<std::string, fs::path>> folders = {
      {"missing folder", root_ / "missing" / "deeper"},
      {"parent is a regular file", root_ / "plain.txt" / "sub"},
      {"folder is a regular file", root_ / "plain.txt"},
      {"target is a folder", root_ / "taken"},
      {"no folder at all", fs::path()},
  };
  for (const auto& [what, folder] : folders) {
    SCOPED_TRACE(what);
    const auto before = snapshot(root_);
    EXPECT_EQ(rewrite_file(source, folder), BatchOutcome::write_failed);
    EXPECT_EQ(snapshot(root_), before);
  }
  EXPECT_EQ(uploads().size(), folders.size());

  if (::geteuid() != 0) {  // permissions do not bind the superuser
    const fs::path locked = root_ / "locked";
    fs::create_directories(locked);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(rewrite_file(source, locked), BatchOutcome::write_failed);
    fs::permissions(locked, fs::perms::owner_all);
    EXPECT_TRUE(fs::is_empty(locked));
  }
}

// An input that cannot be read is neither uploaded nor written: an older output of the same
// name, or the input itself when the output folder is the input folder, stays as it was.
// An empty file is read fine and uploaded as empty content.
TEST_F(BatchTest, UnreadableInputIsNeitherUploadedNorWritten) {
  const fs::path pipe = in_dir() / "管道";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);  // reading it would block for ever
  write_bytes(out_dir() / "不存在.txt", "older output");
  const struct {
    fs::path path;
    fs::path folder;
  } cases[] = {{in_dir() / "不存在.txt", out_dir()}, {pipe, out_dir()}, {pipe, in_dir()}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    ASSERT_TRUE(stand_in().reset());
    const auto before = snapshot(c.folder);
    EXPECT_EQ(rewrite_file(c.path, c.folder), BatchOutcome::read_failed);
    EXPECT_EQ(snapshot(c.folder), before);
    EXPECT_TRUE(uploads().empty());
  }
  ASSERT_TRUE(stand_in().reset());
  EXPECT_EQ(rewrite_file(input("空.txt", ""), out_dir()), BatchOutcome::written);
  EXPECT_EQ(read_bytes(out_dir() / "空.txt"), std::string(kBatchMarkGbk));
  const auto records = uploads();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].content, "");
}

// A replaced output keeps the permissions of the file it replaces.
TEST_F(BatchTest, ReplacedOutputKeepsItsPermissions) {
  const fs::path target = out_dir() / "a.txt";
  write_bytes(target, "old");
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(rewrite_file(input("a.txt", "new"), out_dir()), BatchOutcome::written);
  EXPECT_EQ(read_bytes(target), expected_output("new"));
  EXPECT_EQ(fs::status(target).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

// Starting twice queues a second full set; a small cap holds however many files wait; wait()
// returns once every job has been reported, however slow the reports.
TEST_F(BatchTest, RunnerQueuesEveryFileAndKeepsToItsCap) {
  constexpr std::size_t kCap = 3;
  std::vector<fs::path> paths;
  for (int i = 0; i < 12; ++i) paths.push_back(input("f" + std::to_string(i) + ".txt", "c" + std::to_string(i)));
  configure({.delay_ms = 20});

  Reports reports;
  reports.pause = std::chrono::milliseconds(30);
  BatchRunner runner(reports.callback(), kCap);
  runner.start(paths, out_dir());
  runner.start(paths, out_dir());
  runner.start({}, out_dir());
  EXPECT_GT(runner.unfinished(), 0u);  // start returned before the jobs ended
  runner.wait();

  EXPECT_EQ(runner.unfinished(), 0u);
  EXPECT_EQ(reports.total(), 2 * paths.size());
  std::map<std::string, int> sent;
  for (const auto& r : uploads()) ++sent[r.file_name];
  for (const auto& path : paths) {
    EXPECT_EQ(sent[path.filename().native()], 2) << path;
    EXPECT_EQ(reports.by_file[path], std::vector(2, BatchOutcome::written)) << path;
    EXPECT_EQ(read_bytes(out_dir() / path.filename()), expected_output(read_bytes(path).value())) << path;
  }
  const auto stats = stand_in().stats().value();
  EXPECT_LE(stats.max_in_flight, static_cast<long long>(kCap));
  EXPECT_EQ(snapshot(out_dir()).size(), paths.size());
}

// Destroying a runner drops the jobs still queued and returns without waiting for the
// exchanges in flight, which finish on their own and report to nobody.
TEST_F(BatchTest, DestroyedRunnerDropsQueuedJobsAndLetsRunningOnesFinish) {
  constexpr std::size_t kCap = 2;
  std::vector<fs::path> paths;
  for (int i = 0; i < 10; ++i) paths.push_back(input("d" + std::to_string(i) + ".txt", "c"));
  configure({.delay_ms = 1500});

  Reports reports;
  {
    BatchRunner runner(reports.callback(), kCap);
    runner.start(paths, out_dir());
    // Until both running jobs are at the service.
    for (int i = 0; i < 3000 && stand_in().stats().value().in_flight < static_cast<long long>(kCap); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(stand_in().stats().value().in_flight, static_cast<long long>(kCap));
  }
  EXPECT_FALSE(fs::exists(out_dir() / "d0.txt"));  // the exchange is still under way

  // The two running jobs complete their work; the eight queued ones never start.
  for (int i = 0; i < 3000 && !(fs::exists(out_dir() / "d0.txt") && fs::exists(out_dir() / "d1.txt")); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(snapshot(out_dir()), (std::map<std::string, std::string>{{"d0.txt", expected_output("c")},
                                                                     {"d1.txt", expected_output("c")}}));
  EXPECT_EQ(stand_in().stats().value().batch_requests, static_cast<long long>(kCap));
  EXPECT_EQ(reports.total(), 0u);
}

// The window's way out while jobs are in flight: the process ends at once, cleanly, and the
// interrupted jobs leave nothing in the output folder.
TEST_F(BatchTest, QuickExitWithJobsInFlightEndsAtOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::vector<fs::path> paths;
  for (int i = 0; i < 40; ++i) paths.push_back(input("q" + std::to_string(i) + ".txt", "c"));
  EXPECT_EXIT(
      {
        if (!stand_in().configure({.delay_ms = 60000})) std::_Exit(3);
        shared_batch_runner().start(paths, out_dir());
        for (int i = 0; stand_in().stats().value_or(test_support::StandInStats{}).in_flight <
                        static_cast<long long>(kMaxBatchJobs);
             ++i) {
          if (i == 12000) std::_Exit(4);  // the jobs never reached the service
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::quick_exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_TRUE(fs::is_empty(out_dir()));
}

}  // namespace
}  // namespace kestrin
