// kestrinseo-cli run as a child process against the stand-in services: exit statuses, both
// encodings from stdin and from a file, line breaks, --json, the similarity estimate, the
// lost-character warning, and batches with failures, retries and --skip-existing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cli/child_process.h"
#include "support/files.h"
#include "support/stand_in/stand_in.h"
#include "support/stand_in/wire.h"

namespace kestrin::cli_test {
namespace {

namespace fs = std::filesystem;
using test_support::gbk;
using test_support::kBatchMarkGbk;
using test_support::kPrimaryMarkUtf8;
using test_support::primary_check_utf8;
using test_support::read_bytes;
using test_support::StandIn;
using test_support::StandInSettings;
using test_support::write_bytes;

constexpr const char* kCli = KESTRIN_CLI_PATH;
constexpr const char* kDeadHost = "127.0.0.1:1";  // nothing listens on port 1


std::size_t count_lines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

class CliEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { stand_in_ = new StandIn(); }
  static void TearDownTestSuite() {
    delete stand_in_;
    stand_in_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(stand_in_->ok()) << stand_in_->error();
    ASSERT_TRUE(stand_in_->reset());
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           ("kestrin-cli-" + std::to_string(::getpid()) + "-" + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "in");
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs the tool with both services pointed at the stand-in.
  ChildResult cli(const std::vector<std::string>& args, const std::string& input = {}) {
    return checked(run_child(kCli, args, input,
                             {{"KESTRIN_PRIMARY_HOST", stand_in_->host()},
                              {"KESTRIN_BATCH_HOST", stand_in_->host()}}));
  }

  // In a sanitizer build the tool reports there; its exit status alone would not tell.
  static ChildResult checked(ChildResult r) {
    EXPECT_EQ(r.spawn_error, "");
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("runtime error:"), std::string::npos) << r.err;
    return r;
  }

  void configure(const StandInSettings& settings) { ASSERT_TRUE(stand_in_->configure(settings)); }
  long long service_requests() { return stand_in_->stats().value().service_requests; }

  fs::path in(const std::string& name) { return dir_ / "in" / name; }

  static StandIn* stand_in_;
  fs::path dir_;
};

StandIn* CliEndToEnd::stand_in_ = nullptr;

// ----- exit statuses -----

TEST_F(CliEndToEnd, UsageErrorsExitTwoWithOneLineAndSendNothing) {
  write_bytes(in("a.txt"), "text");
  write_bytes(dir_ / "plain-file", "x");
  struct Case {
    std::vector<std::string> args;
    std::string input;
    std::string message_part;
  };
  const Case cases[] = {
      {{}, "", "no command given"},
      {{"--frob"}, "", "unknown option '--frob'"},
      {{"rewrite", "--frob"}, "", "unknown option '--frob'"},
      {{"rewrite", "-n"}, "", "needs a value"},
      {{"rewrite", "-n", "0"}, "", "whole number"},
      {{"rewrite", (dir_ / "missing.txt").string()}, "", "cannot read"},
      {{"rewrite", dir_.string()}, "", "it is a folder"},
      {{"rewrite"}, std::string("a\0b", 3), "zero byte at offset 1"},
      {{"rewrite", "--encoding", "utf-8"}, "\xD6\xD0", "not valid UTF-8"},
      {{"rewrite"}, std::string((16u << 20) + 1, 'a'), "larger than 16 MiB"},
      {{"batch", in("a.txt").string()}, "", "-o DIR"},
      {{"batch", "-o", (dir_ / "out").string()}, "", "at least one FILE"},
      {{"batch", "-o", (dir_ / "out").string(), in("a.txt").string(), (dir_ / "nope").string()},
       "", "cannot read"},
      {{"batch", "-o", (dir_ / "out").string(), in("a.txt").string(), dir_.string() + "/in"},
       "", "it is a folder"},
      {{"batch", "-o", (dir_ / "plain-file").string(), in("a.txt").string()}, "",
       "is not a folder"},
      {{"batch", "-o", (dir_ / "out").string(), in("a.txt").string(), in("a.txt").string()}, "",
       "would both be written"},
  };
  for (const Case& c : cases) {
    const ChildResult r = cli(c.args, c.input);
    EXPECT_EQ(r.exit_code, 2) << r.err;
    EXPECT_NE(r.err.find(c.message_part), std::string::npos) << r.err;
    EXPECT_EQ(count_lines(r.err), 1u) << r.err;
    EXPECT_TRUE(r.err.starts_with("kestrinseo-cli")) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(service_requests(), 0);
  EXPECT_FALSE(fs::exists(dir_ / "out" / "a.txt"));
}

TEST_F(CliEndToEnd, HelpOnEveryCommand) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"rewrite", "--help"}, {"batch", "--help"}, {"help", "rewrite"}}) {
    const ChildResult r = cli(args);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(r.out.starts_with("Usage: kestrinseo-cli")) << r.out;
    EXPECT_EQ(r.err, "");
  }
  EXPECT_NE(cli({"rewrite", "-h"}).out.find("Similarity:"), std::string::npos);
  EXPECT_NE(cli({"batch", "-h"}).out.find("--skip-existing"), std::string::npos);
}

TEST_F(CliEndToEnd, FailedServiceWorkExitsOne) {
  struct Case {
    std::string fault;
    std::vector<std::string> extra;
  };
  const Case cases[] = {
      {"no_str", {}},                                // an answer without str
      {"drop", {}},                                  // no answer
      {"none", {"--primary-host", kDeadHost}},       // nothing listening
      {"html", {}},                                  // not JSON
  };
  for (const Case& c : cases) {
    StandInSettings settings;
    settings.fault = c.fault;
    configure(settings);
    std::vector<std::string> args{"rewrite", "-n", "2"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const ChildResult r = cli(args, "正文\n");
    EXPECT_EQ(r.exit_code, 1) << c.fault << ": " << r.err;
    EXPECT_NE(r.err.find("the service gave an empty result"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

// ----- rewrite: encodings, line breaks, stdin and file -----

TEST_F(CliEndToEnd, RewriteKeepsEncodingAndLineBreaksFromStdinAndFile) {
  struct Case {
    std::string name;
    std::string article;  // as the user has it
    bool gbk_input;
    bool from_file;
    std::vector<std::string> options;
  };
  const std::string utf8_lf = "第一行\n第二行，标点。\n";
  const std::string utf8_crlf = "第一行\r\n第二行，标点。\r\n";
  const Case cases[] = {
      {"utf8 lf stdin", utf8_lf, false, false, {}},
      {"utf8 crlf file", utf8_crlf, false, true, {}},
      {"utf8 lf file dash", utf8_lf, false, false, {"-"}},
      {"gbk crlf stdin", gbk(utf8_crlf), true, false, {}},
      {"gbk lf file", gbk(utf8_lf), true, true, {}},
      {"gbk forced", gbk(utf8_lf), true, false, {"--encoding", "gbk"}},
      {"utf8 bom", "\xEF\xBB\xBF" + utf8_lf, false, true, {"--encoding=utf-8"}},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(stand_in_->reset());
    std::vector<std::string> args{"rewrite", "-n", "2"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    std::string stdin_bytes = c.article;
    if (c.from_file) {
      write_bytes(in("article.txt"), c.article);
      args.push_back(in("article.txt").string());
      stdin_bytes.clear();
    }
    const ChildResult r = cli(args, stdin_bytes);
    ASSERT_EQ(r.exit_code, 0) << c.name << ": " << r.err;

    // Two passes: the stand-in put its mark in front twice and changed nothing else.
    const std::string marks = std::string(kPrimaryMarkUtf8) + std::string(kPrimaryMarkUtf8);
    std::string expected = c.gbk_input ? gbk(marks) + c.article : marks + c.article;
    if (c.article.starts_with("\xEF\xBB\xBF")) expected = "\xEF\xBB\xBF" + marks + utf8_lf;
    EXPECT_EQ(r.out, expected) << c.name;
    const std::string check = "check data: " + primary_check_utf8(2) + "\n";
    EXPECT_EQ(r.err, c.gbk_input ? gbk(check) : check) << c.name;

    // The service got the article with CR LF folded into backslash-n, whatever came in.
    const auto requests = stand_in_->requests();
    ASSERT_EQ(requests.size(), 2u) << c.name;
    EXPECT_EQ(requests[0].text, "第一行\\n第二行，标点。\\n") << c.name;
  }
}

TEST_F(CliEndToEnd, JsonIsOneUtf8ObjectWithTheInputsLineBreaks) {
  struct Case {
    std::string article;
    std::vector<std::string> options;
    std::string output;
    bool with_similarity;
  };
  const std::string mark(kPrimaryMarkUtf8);
  const Case cases[] = {
      {"甲乙丙丁\n戊己\n", {"--json"}, mark + "甲乙丙丁\n戊己\n", false},
      {gbk("甲乙丙丁\r\n戊己"), {"--json", "--similarity"}, mark + "甲乙丙丁\r\n戊己", true},
      {"abcdefgh", {"--similarity", "--json"}, mark + "abcdefgh", true},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"rewrite"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const ChildResult r = cli(args, c.article);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ASSERT_TRUE(r.out.ends_with("}\n"));
    EXPECT_EQ(count_lines(r.out), 1u);
    EXPECT_TRUE(test_support::wire::valid_utf8(r.out));
    const auto json = test_support::wire::json_read(r.out);
    ASSERT_TRUE(json.has_value()) << r.out;
    EXPECT_EQ(json->text("output"), c.output);
    EXPECT_EQ(json->text("check_data"), primary_check_utf8(1));
    EXPECT_EQ(json->integer("passes"), 1);
    EXPECT_EQ(json->find("similarity") != nullptr, c.with_similarity) << r.out;
  }
}

TEST_F(CliEndToEnd, SimilarityOfKnownTexts) {
  // The stand-in adds 【改】 per pass; the brackets are punctuation, 改 counts.
  struct Case {
    std::string article;
    int passes;
    int expected;
  };
  const Case cases[] = {
      {"abcdefgh", 1, 17},       // 改abc is new, 5 of 6 4-grams are old
      {"abcdefgh", 2, 29},       // 改改ab, 改abc new: 2 of 7
      {"今天天气很好，我们去公园散步。", 1, 9},  // 改今天天 new: 1 of 11
      {"ab", 1, 33},             // output 改ab: under 4 characters, by characters: 1 of 3
  };
  for (const Case& c : cases) {
    const ChildResult r =
        cli({"rewrite", "--json", "--similarity", "-n", std::to_string(c.passes)}, c.article);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto json = test_support::wire::json_read(r.out);
    ASSERT_TRUE(json.has_value());
    EXPECT_EQ(json->integer("similarity", -1), c.expected) << c.article << " x" << c.passes;
  }
  const ChildResult plain = cli({"rewrite", "--similarity"}, "abcdefgh");
  EXPECT_NE(plain.err.find("similarity: 17% of the output is new"), std::string::npos) << plain.err;
}

TEST_F(CliEndToEnd, WarnsAboutCharactersGbkCannotHold) {
  const ChildResult r = cli({"rewrite"}, "第一行\n表情 \xF0\x9F\x98\x80 和 \xF0\x9F\x98\x81\n");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("warning: 2 characters cannot be represented in GBK and will be lost, "
                       "the first on line 2"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out, std::string(kPrimaryMarkUtf8) + "第一行\n表情 ? 和 ?\n");

  const ChildResult bad_gbk = cli({"rewrite"}, gbk("甲") + "\xFF\n" + gbk("乙"));
  ASSERT_EQ(bad_gbk.exit_code, 0) << bad_gbk.err;
  EXPECT_NE(bad_gbk.err.find("1 byte sequence is not valid GBK and will be lost, the first on line 1"),
            std::string::npos)
      << bad_gbk.err;

  const ChildResult clean = cli({"rewrite"}, "没有问题?\n");
  EXPECT_EQ(clean.err.find("warning"), std::string::npos) << clean.err;
}

TEST_F(CliEndToEnd, HostOptionOverridesTheEnvironment) {
  const ChildResult r = checked(run_child(kCli, {"--primary-host", stand_in_->host(), "rewrite"}, "x",
                                  {{"KESTRIN_PRIMARY_HOST", kDeadHost}}));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, std::string(kPrimaryMarkUtf8) + "x");

  fs::create_directories(dir_ / "out");
  write_bytes(in("a.txt"), "a");
  const ChildResult b = checked(run_child(kCli,
                                  {"batch", "--batch-host=" + stand_in_->host(), "-o",
                                   (dir_ / "out").string(), in("a.txt").string()},
                                  {}, {{"KESTRIN_BATCH_HOST", kDeadHost}}));
  EXPECT_EQ(b.exit_code, 0) << b.err;
  EXPECT_EQ(read_bytes(dir_ / "out" / "a.txt"), std::string(kBatchMarkGbk) + "a");
}

// ----- batch -----

TEST_F(CliEndToEnd, BatchSucceedsAfterRetriesOfInjectedFailures) {
  struct Case {
    std::string fault;
    std::string reason;
  };
  const Case cases[] = {{"drop", "no answer"}, {"no_str", "an answer without str"}};
  for (const Case& c : cases) {
    ASSERT_TRUE(stand_in_->reset());
    fs::remove_all(dir_ / "out");
    std::vector<std::string> args{"batch", "-o", (dir_ / "out").string(), "-j", "3",
                                  "--retries", "4", "--retry-pause", "5"};
    std::vector<std::string> names{"一.txt", "b.txt", "c.txt"};
    for (const auto& name : names) {
      write_bytes(in(name), "内容 " + name);
      args.push_back(in(name).string());
    }
    // The first four uploads fail, whichever files they carry; with five attempts each, no
    // file can run out of them, so every file ends written after seven uploads in all.
    StandInSettings settings;
    settings.fault = c.fault;
    settings.fault_next = 4;
    configure(settings);

    const ChildResult r = cli(args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    for (const auto& name : names) {
      EXPECT_EQ(read_bytes(dir_ / "out" / name),
                std::string(kBatchMarkGbk) + gbk("内容 " + name))
          << name;
    }
    EXPECT_EQ(service_requests(), 7);
    const std::regex retry_line("retry .* \\(attempt [2-5] of 5\\) in 0\\.0 s: " + c.reason);
    std::size_t retries = 0;
    std::istringstream lines(r.err);
    for (std::string line; std::getline(lines, line);) retries += std::regex_match(line, retry_line);
    EXPECT_EQ(retries, 4u) << r.err;
    EXPECT_NE(r.err.find("summary: 3 files, 3 written, 0 skipped, 0 failed\n"), std::string::npos)
        << r.err;
  }
}

TEST_F(CliEndToEnd, BatchReportsEveryFailureWithItsReason) {
  fs::create_directories(dir_ / "out");
  write_bytes(in("keep.txt"), "new");
  write_bytes(dir_ / "out" / "keep.txt", "old result");
  write_bytes(in("folder.txt"), "x");
  fs::create_directories(dir_ / "out" / "folder.txt");  // the output cannot be written there
  StandInSettings settings;
  settings.fault = "drop";
  settings.fault_at = {1, 2};  // -j 1: keep.txt's two attempts; folder.txt goes through
  configure(settings);

  const ChildResult r = cli({"batch", "-o", (dir_ / "out").string(), "-j", "1", "--retries", "1",
                             "--retry-pause", "1", in("keep.txt").string(),
                             in("folder.txt").string()});
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_EQ(read_bytes(dir_ / "out" / "keep.txt"), "old result");  // untouched
  EXPECT_EQ(service_requests(), 3);  // a write failure is not retried
  EXPECT_NE(r.err.find("summary: 2 files, 0 written, 0 skipped, 2 failed\n"
                       "failed: " + in("keep.txt").string() + ": no answer\n"
                       "failed: " + in("folder.txt").string() +
                       ": the output could not be written\n"),
            std::string::npos)
      << r.err;
}

TEST_F(CliEndToEnd, BatchSkipExistingResumes) {
  fs::create_directories(dir_ / "out");
  write_bytes(in("done.txt"), "input");
  write_bytes(in("todo.txt"), "todo");
  write_bytes(dir_ / "out" / "done.txt", "earlier result");
  const std::vector<std::string> files{in("done.txt").string(), in("todo.txt").string()};

  std::vector<std::string> args{"batch", "--skip-existing", "-o", (dir_ / "out").string()};
  args.insert(args.end(), files.begin(), files.end());
  const ChildResult r = cli(args);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(read_bytes(dir_ / "out" / "done.txt"), "earlier result");
  EXPECT_EQ(read_bytes(dir_ / "out" / "todo.txt"), std::string(kBatchMarkGbk) + "todo");
  const auto requests = stand_in_->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].file_name, "todo.txt");
  EXPECT_NE(r.err.find("skipped " + files[0] + ": output exists"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("summary: 2 files, 1 written, 1 skipped, 0 failed"), std::string::npos);

  // A skipped file need not be readable any more; without the option it is rewritten.
  fs::remove(in("done.txt"));
  EXPECT_EQ(cli(args).exit_code, 0);
  write_bytes(in("done.txt"), "input");
  args.erase(args.begin() + 1);
  EXPECT_EQ(cli(args).exit_code, 0);
  EXPECT_EQ(read_bytes(dir_ / "out" / "done.txt"), std::string(kBatchMarkGbk) + "input");
}

TEST_F(CliEndToEnd, BatchProgressIsOneLinePerFileWhenStderrIsNoTerminal) {
  std::vector<std::string> args{"batch", "-o", (dir_ / "new" / "out").string()};
  for (int i = 0; i < 5; ++i) {
    const std::string name = "f" + std::to_string(i) + ".txt";
    write_bytes(in(name), "text " + std::to_string(i));
    args.push_back(in(name).string());
  }
  const ChildResult r = cli(args);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.find('\r'), std::string::npos);
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
  std::istringstream lines(r.err);
  std::vector<std::string> all;
  for (std::string line; std::getline(lines, line);) all.push_back(line);
  ASSERT_EQ(all.size(), 6u) << r.err;
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(std::regex_match(all[i], std::regex("\\[" + std::to_string(i + 1) +
                                                    "/5\\] ok .*/in/f[0-4]\\.txt")))
        << all[i];
  }
  EXPECT_EQ(all[5], "summary: 5 files, 5 written, 0 skipped, 0 failed");
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(read_bytes(dir_ / "new" / "out" / ("f" + std::to_string(i) + ".txt")),
              std::string(kBatchMarkGbk) + "text " + std::to_string(i));
  }
}

TEST_F(CliEndToEnd, BatchHonoursTheJobLimit) {
  StandInSettings settings;
  settings.delay_ms = 100;
  configure(settings);
  std::vector<std::string> args{"batch", "-o", (dir_ / "out").string(), "-j", "2"};
  for (int i = 0; i < 6; ++i) {
    write_bytes(in(std::to_string(i)), "x");
    args.push_back(in(std::to_string(i)).string());
  }
  EXPECT_EQ(cli(args).exit_code, 0);
  const auto stats = stand_in_->stats().value();
  EXPECT_EQ(stats.batch_requests, 6);
  EXPECT_LE(stats.max_in_flight, 2);
}

}  // namespace
}  // namespace kestrin::cli_test
