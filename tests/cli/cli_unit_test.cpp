// The pure pieces of kestrinseo-cli: encodings and line breaks, lost characters, the
// similarity estimate, JSON strings, the command line and the progress texts.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/cli.h"
#include "cli/encoding.h"
#include "cli/json_text.h"
#include "cli/progress.h"
#include "cli/similarity.h"

namespace kestrin::cli {
namespace {

constexpr std::size_t npos = std::string_view::npos;

// ----- UTF-8 -----

TEST(Utf8, FirstInvalidSequence) {
  struct Case {
    std::string bytes;
    std::size_t expected;
  };
  const Case cases[] = {
      {"", npos},
      {"plain ascii", npos},
      {"中文，标点。", npos},
      {"\xF0\x9F\x98\x80", npos},           // U+1F600, four bytes
      {"\xF4\x8F\xBF\xBF", npos},           // U+10FFFF, the last code point
      {"\xC0\x80", 0},                      // overlong NUL
      {"\xE0\x80\xAF", 0},                  // overlong slash
      {"a\xED\xA0\x80", 1},                 // a surrogate
      {"\xF4\x90\x80\x80", 0},              // above U+10FFFF
      {"ab\xE4\xB8", 2},                    // cut off at the end
      {"\x80", 0},                          // a lone continuation byte
      {"ok\xFF", 2},
      {"\xD6\xD0\xCE\xC4", 0},              // 中文 in GBK
  };
  for (const Case& c : cases) {
    EXPECT_EQ(first_invalid_utf8(c.bytes), c.expected) << c.bytes;
  }
}

TEST(Utf8, DecodeReplacesEachBadByteAndEncodeRoundTrips) {
  EXPECT_EQ(decode_utf8("a\xFF\xFE" "b"), std::u32string(U"a\uFFFD\uFFFDb"));
  EXPECT_EQ(decode_utf8("\xE4\xB8"), std::u32string(U"\uFFFD\uFFFD"));
  for (char32_t c : {U'a', U'\u00E9', U'\u4E2D', U'\U0001F600', U'\U0010FFFF'}) {
    EXPECT_EQ(decode_utf8(encode_utf8(c)), std::u32string(1, c));
  }
  EXPECT_EQ(encode_utf8(0xD800), "\xEF\xBF\xBD");
  EXPECT_EQ(encode_utf8(0x110000), "\xEF\xBF\xBD");
}

// ----- line breaks -----

TEST(LineBreaks, StyleOfInput) {
  struct Case {
    std::string text;
    LineBreaks expected;
  };
  const Case cases[] = {
      {"", LineBreaks::kLf},           {"no break", LineBreaks::kLf},
      {"a\nb\n", LineBreaks::kLf},     {"a\r\nb\r\n", LineBreaks::kCrLf},
      {"a\r\n", LineBreaks::kCrLf},    {"a\r\nb\n", LineBreaks::kLf},  // mixed: LF
      {"\nb\r\n", LineBreaks::kLf},    {"a\rb", LineBreaks::kLf},      // lone CR: no break
  };
  for (const Case& c : cases) EXPECT_EQ(detect_line_breaks(c.text), c.expected) << c.text;
}

TEST(LineBreaks, ConversionsTouchOnlyTheirPairs) {
  EXPECT_EQ(lf_to_crlf("a\nb\r\nc\rd\n\n"), "a\r\nb\r\nc\rd\r\n\r\n");
  EXPECT_EQ(lf_to_crlf("\n"), "\r\n");
  EXPECT_EQ(crlf_to_lf("a\r\nb\nc\r\r\n\r"), "a\nb\nc\r\n\r");
  EXPECT_EQ(crlf_to_lf(lf_to_crlf("x\ny\n")), "x\ny\n");
}

// ----- characters lost on the way to GBK -----

TEST(Losses, Utf8CharactersGbkLacks) {
  struct Case {
    std::string utf8;
    Losses expected;
  };
  const Case cases[] = {
      {"", {}},
      {"中文，英文 ASCII?", {}},                             // a real "?" is no loss
      {"a\xF0\x9F\x98\x80" "b", {1, 1}},                      // an emoji
      {"第一行\n第二行 \xF0\x9F\x98\x80 x \xF0\x9F\x98\x80\n第三行\xF0\x9F\x98\x81", {3, 2}},
      {"ok\n\nbad \xFF", {1, 3}},                             // an ill-formed byte
      {"\xE0\xB8\x81", {1, 1}},                               // Thai ko kai
  };
  for (const Case& c : cases) {
    EXPECT_EQ(gbk_losses_of_utf8(c.utf8), c.expected) << c.utf8;
  }
}

TEST(Losses, GbkSequencesThatDoNotDecode) {
  struct Case {
    std::string gbk;
    Losses expected;
  };
  const Case cases[] = {
      {"", {}},
      {"\xD6\xD0\xCE\xC4\r\n\xA1\xA3?", {}},  // 中文 CR LF 。 and a real "?"
      {"a\n\xFF", {1, 2}},                    // 0xFF is never GBK
      {"abc\xD6", {1, 1}},                    // a lead byte cut off at the end
      {"\xD6\n\xD6\n", {2, 1}},               // lead bytes before a line break
  };
  for (const Case& c : cases) {
    EXPECT_EQ(undecodable_gbk(c.gbk), c.expected) << c.gbk;
  }
}

// ----- preparing the input and restoring the output -----

TEST(PrepareInput, EncodingAndLineBreaksSurviveTheRoundTrip) {
  struct Case {
    std::string raw;
    Encoding requested;
    Encoding encoding;
    LineBreaks breaks;
    std::string gbk;  // what the pipeline gets
  };
  const Case cases[] = {
      {"第一行\n第二行\n", Encoding::kAuto, Encoding::kUtf8, LineBreaks::kLf,
       "\xB5\xDA\xD2\xBB\xD0\xD0\r\n\xB5\xDA\xB6\xFE\xD0\xD0\r\n"},
      {"第一行\r\n第二行", Encoding::kUtf8, Encoding::kUtf8, LineBreaks::kCrLf,
       "\xB5\xDA\xD2\xBB\xD0\xD0\r\n\xB5\xDA\xB6\xFE\xD0\xD0"},
      {"\xB5\xDA\xD2\xBB\xD0\xD0\n", Encoding::kAuto, Encoding::kGbk, LineBreaks::kLf,
       "\xB5\xDA\xD2\xBB\xD0\xD0\r\n"},
      {"\xB5\xDA\xD2\xBB\xD0\xD0\r\n", Encoding::kGbk, Encoding::kGbk, LineBreaks::kCrLf,
       "\xB5\xDA\xD2\xBB\xD0\xD0\r\n"},
      {"plain\n", Encoding::kAuto, Encoding::kUtf8, LineBreaks::kLf, "plain\r\n"},
      {"\xEF\xBB\xBF" "bom\n", Encoding::kAuto, Encoding::kUtf8, LineBreaks::kLf, "bom\r\n"},
      {"", Encoding::kAuto, Encoding::kUtf8, LineBreaks::kLf, ""},
  };
  for (const Case& c : cases) {
    const PreparedInput p = prepare_input(c.raw, c.requested);
    ASSERT_EQ(p.error, "") << c.raw;
    EXPECT_EQ(p.encoding, c.encoding) << c.raw;
    EXPECT_EQ(p.line_breaks, c.breaks) << c.raw;
    EXPECT_EQ(p.gbk, c.gbk) << c.raw;
    EXPECT_EQ(p.losses, Losses{}) << c.raw;
    EXPECT_EQ(restore_output(p.gbk, p, true), c.raw) << "round trip of " << c.raw;
  }
}

TEST(PrepareInput, MixedBreaksComeBackAsLfAndGbkIsForcedByRequest) {
  const PreparedInput mixed = prepare_input("a\r\nb\nc", Encoding::kAuto);
  EXPECT_EQ(mixed.gbk, "a\r\nb\r\nc");
  EXPECT_EQ(restore_output(mixed.gbk, mixed, true), "a\nb\nc");

  // UTF-8 bytes taken as GBK when asked: passed through unchanged.
  const PreparedInput forced = prepare_input("中", Encoding::kGbk);
  EXPECT_EQ(forced.encoding, Encoding::kGbk);
  EXPECT_EQ(forced.gbk, "中");
}

TEST(PrepareInput, RefusesWhatWouldBeLostSilently) {
  struct Case {
    std::string raw;
    Encoding requested;
    std::string error_part;
  };
  const Case cases[] = {
      {std::string("ab\0cd", 5), Encoding::kAuto, "zero byte at offset 2"},
      {std::string("\xFF\xFEh\0i\0", 6), Encoding::kAuto, "zero byte at offset 3"},  // UTF-16
      {"\xD6\xD0\xCE\xC4", Encoding::kUtf8, "not valid UTF-8 (at byte offset 0)"},
  };
  for (const Case& c : cases) {
    EXPECT_NE(prepare_input(c.raw, c.requested).error.find(c.error_part), std::string::npos)
        << prepare_input(c.raw, c.requested).error;
  }
  const PreparedInput lossy = prepare_input("x\n\xF0\x9F\x98\x80", Encoding::kAuto);
  EXPECT_EQ(lossy.error, "");
  EXPECT_EQ(lossy.losses, (Losses{1, 2}));
}

// ----- similarity -----

TEST(Similarity, IgnoredCharacters) {
  for (char32_t c : {U' ', U'\t', U'\n', U'\r', U'.', U',', U'-', U'"', U'$', U'\u3000',
                     U'\u00A0', U'\u3002', U'\uFF0C', U'\u3001', U'\uFF1B', U'\uFF1A',
                     U'\uFF1F', U'\uFF01', U'\u201C', U'\u201D', U'\uFF08', U'\uFF09',
                     U'\u300A', U'\u300B', U'\u3010', U'\u3011', U'\u2014', U'\u2026'}) {
    EXPECT_TRUE(is_ignored_for_similarity(c)) << static_cast<unsigned>(c);
  }
  for (char32_t c : {U'a', U'Z', U'0', U'\u4E2D', U'\u00E9', U'\uFF21', U'\U0001F600'}) {
    EXPECT_FALSE(is_ignored_for_similarity(c)) << static_cast<unsigned>(c);
  }
}

TEST(Similarity, KnownTexts) {
  struct Case {
    std::string input;
    std::string output;
    int expected;
  };
  const Case cases[] = {
      {"今天天气很好，我们去公园散步。", "今天天气很好，我们去公园散步。", 0},  // identical
      {"今天天气很好", "明日有雨无风", 100},                                  // nothing shared
      {"今天天气很好", "今天，天气 很好。\n", 0},  // punctuation and white space left out
      {"abcdefgh", "abcdefgXYZ", 43},              // 3 of 7 new: 42.9
      {"abcdefghij", "abcdefghijZ", 13},           // 1 of 8 new: 12.5 rounds up
      {"abcdefgh", "\xE3\x80\x90\xE6\x94\xB9\xE3\x80\x91" "abcdefgh", 17},  // 【改】: 1 of 6
      {"ABCD", "abcd", 100},                       // case counts
      {"一二三四", "一二三", 0},                    // short output: by characters
      {"abc", "aZ", 50},
      {"ab", "abcd", 100},                         // the input has no 4-gram at all
      {"任何文字", "，。！？", 0},                    // nothing counted in the output
      {"", "", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(novelty_percent(c.input, c.output), c.expected) << c.input << " -> " << c.output;
  }
}

TEST(Similarity, CountsCodePointsNotBytes) {
  // As bytes, these share 4-byte runs (both are CJK in the same block); as code points
  // they share no 4-gram.
  EXPECT_EQ(novelty_percent("一二三四五", "二三四六"), 100);
  EXPECT_EQ(novelty_percent("一二三四五", "二三四五"), 0);
}

// ----- JSON strings -----

TEST(JsonString, EscapesAndStaysValidUtf8) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"", R"("")"},
      {"a\"b\\c/d", R"("a\"b\\c/d")"},
      {"\r\n\t\b\f", R"("\r\n\t\b\f")"},
      {std::string("\x01\x1F\x7F\0", 4), R"("\u0001\u001F\u007F\u0000")"},
      {"中文“引号”", "\"中文“引号”\""},
      {"\xFF", "\"\xEF\xBF\xBD\""},
  };
  for (const Case& c : cases) EXPECT_EQ(json_string(c.in), c.out);
}

// ----- the command line -----

ParsedArguments parse(std::vector<std::string> args) { return parse_arguments(args, 32); }

TEST(Arguments, RewriteForms) {
  struct Case {
    std::vector<std::string> args;
    int passes;
    std::string file;
    bool json;
    bool similarity;
    Encoding encoding;
  };
  const Case cases[] = {
      {{"rewrite"}, 1, "", false, false, Encoding::kAuto},
      {{"rewrite", "-n", "3", "a.txt"}, 3, "a.txt", false, false, Encoding::kAuto},
      {{"rewrite", "a.txt", "-n3"}, 3, "a.txt", false, false, Encoding::kAuto},
      {{"rewrite", "--passes=12", "-"}, 12, "-", false, false, Encoding::kAuto},
      {{"rewrite", "--json", "--similarity", "x"}, 1, "x", true, true, Encoding::kAuto},
      {{"rewrite", "--encoding", "GBK"}, 1, "", false, false, Encoding::kGbk},
      {{"rewrite", "--encoding=utf8"}, 1, "", false, false, Encoding::kUtf8},
      {{"rewrite", "--encoding", "utf-8"}, 1, "", false, false, Encoding::kUtf8},
      {{"rewrite", "--", "-n"}, 1, "-n", false, false, Encoding::kAuto},
  };
  for (const Case& c : cases) {
    const ParsedArguments p = parse(c.args);
    ASSERT_EQ(p.error, "") << c.args.back();
    EXPECT_EQ(p.invocation.command, Command::kRewrite);
    EXPECT_EQ(p.invocation.rewrite.passes, c.passes);
    EXPECT_EQ(p.invocation.rewrite.file, c.file);
    EXPECT_EQ(p.invocation.rewrite.json, c.json);
    EXPECT_EQ(p.invocation.rewrite.similarity, c.similarity);
    EXPECT_EQ(p.invocation.rewrite.encoding, c.encoding);
  }
}

TEST(Arguments, BatchFormsAndHostsAnywhere) {
  ParsedArguments p = parse({"--batch-host", "h:1", "batch", "-o", "out", "a", "b"});
  ASSERT_EQ(p.error, "");
  EXPECT_EQ(p.invocation.command, Command::kBatch);
  EXPECT_EQ(p.invocation.batch.output_dir, "out");
  EXPECT_EQ(p.invocation.batch.files, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(p.invocation.batch.jobs, 0);
  EXPECT_EQ(p.invocation.batch.retries, 2);
  EXPECT_EQ(p.invocation.batch.retry_pause_ms, 500);
  EXPECT_FALSE(p.invocation.batch.skip_existing);
  EXPECT_EQ(p.invocation.hosts.batch, "h:1");
  EXPECT_FALSE(p.invocation.hosts.primary.has_value());

  p = parse({"batch", "a", "--output=o", "-j4", "--retries", "0", "--retry-pause", "10",
             "--skip-existing", "--primary-host=127.0.0.1:9"});
  ASSERT_EQ(p.error, "");
  EXPECT_EQ(p.invocation.batch.output_dir, "o");
  EXPECT_EQ(p.invocation.batch.jobs, 4);
  EXPECT_EQ(p.invocation.batch.retries, 0);
  EXPECT_EQ(p.invocation.batch.retry_pause_ms, 10);
  EXPECT_TRUE(p.invocation.batch.skip_existing);
  EXPECT_EQ(p.invocation.hosts.primary, "127.0.0.1:9");
}

TEST(Arguments, UsageErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string error_part;
  };
  const Case cases[] = {
      {{}, "no command given"},
      {{"frob"}, "unknown command 'frob'"},
      {{"--frob", "rewrite"}, "unknown option '--frob'"},
      {{"rewrite", "--frob"}, "unknown option '--frob'"},
      {{"rewrite", "-x"}, "unknown option '-x'"},
      {{"rewrite", "-n"}, "option -n needs a value"},
      {{"rewrite", "-n", "0"}, "whole number from 1"},
      {{"rewrite", "-n", "-1"}, "whole number from 1"},
      {{"rewrite", "-n", "two"}, "not 'two'"},
      {{"rewrite", "-n", "2x"}, "not '2x'"},
      {{"rewrite", "-n", "99999999999"}, "whole number"},
      {{"rewrite", "--encoding", "latin1"}, "auto, gbk or utf-8"},
      {{"rewrite", "a", "b"}, "at most one FILE"},
      {{"rewrite", "--json=yes"}, "takes no value"},
      {{"batch", "a"}, "-o DIR"},
      {{"batch", "-o", "out"}, "at least one FILE"},
      {{"batch", "-o", "out", "-j", "33", "a"}, "from 1 to 32"},
      {{"batch", "-o", "out", "-j", "0", "a"}, "from 1 to 32"},
      {{"batch", "-o", "out", "--retries", "101", "a"}, "from 0 to 100"},
      {{"batch", "-o", "out", "-"}, "not stdin"},
      {{"--primary-host", "", "rewrite"}, "needs a host"},
      {{"rewrite", "--batch-host=a/b"}, "needs a host"},
      {{"--primary-host"}, "needs a value"},
  };
  for (const Case& c : cases) {
    const ParsedArguments p = parse(c.args);
    EXPECT_NE(p.error.find(c.error_part), std::string::npos)
        << "error: '" << p.error << "', wanted: " << c.error_part;
    EXPECT_EQ(p.error.find('\n'), std::string::npos);
  }
}

TEST(Arguments, HelpEverywhere) {
  struct Case {
    std::vector<std::string> args;
    Command command;
  };
  const Case cases[] = {
      {{"--help"}, Command::kNone},           {{"-h", "rewrite"}, Command::kNone},
      {{"help"}, Command::kNone},             {{"help", "batch"}, Command::kBatch},
      {{"rewrite", "--help"}, Command::kRewrite},
      {{"rewrite", "-n", "2", "-h"}, Command::kRewrite},
      {{"batch", "--help"}, Command::kBatch},  // no -o needed for help
  };
  for (const Case& c : cases) {
    const ParsedArguments p = parse(c.args);
    EXPECT_EQ(p.error, "");
    EXPECT_TRUE(p.invocation.help);
    EXPECT_EQ(p.invocation.command, c.command);
  }
  EXPECT_NE(rewrite_help().find("share of the output's 4-grams"), std::string::npos);
  EXPECT_NE(batch_help(32).find("1 to 32 (default 32)"), std::string::npos);
}

// ----- progress -----

TEST(Progress, Durations) {
  struct Case {
    double seconds;
    std::string text;
  };
  const Case cases[] = {{0, "0 s"},          {59.4, "59 s"},         {60, "1 min 00 s"},
                        {3599, "59 min 59 s"}, {3600, "1 h 00 min"}, {7380, "2 h 03 min"},
                        {-3, "0 s"}};
  for (const Case& c : cases) EXPECT_EQ(format_duration(c.seconds), c.text);
}

TEST(Progress, RedrawnLine) {
  EXPECT_EQ(format_progress_line({10, 2, 1, 1}, 3.0),
            "done 2, failed 1, remaining 6, 1.0 files/s, 6 s left");
  EXPECT_EQ(format_progress_line({10, 0, 4, 0}, 3.0),
            "done 0, failed 0, remaining 6, -- files/s, -- left");
  EXPECT_EQ(format_progress_line({200, 50, 0, 0}, 10.0),
            "done 50, failed 0, remaining 150, 5.0 files/s, 30 s left");
}

std::string captured(bool terminal) {
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* stream = open_memstream(&buffer, &size);
  {
    BatchReporter reporter(stream, terminal, 4);
    reporter.skipped("in/a.txt");
    reporter.finished("in/b.txt", BatchOutcome::written, 1);
    reporter.retrying("in/c.txt", BatchOutcome::no_answer, 2, 3, 500);
    reporter.finished("in/c.txt", BatchOutcome::no_str, 3);
    reporter.finished("in/d.txt", BatchOutcome::write_failed, 1);
    reporter.summary();
    EXPECT_EQ(reporter.counts().remaining(), 0u);
  }
  std::fclose(stream);
  std::string text(buffer, size);
  std::free(buffer);
  return text;
}

TEST(Progress, OneLinePerFileWhenNotATerminal) {
  EXPECT_EQ(captured(false),
            "[1/4] skipped in/a.txt: output exists\n"
            "[2/4] ok in/b.txt\n"
            "retry in/c.txt (attempt 2 of 3) in 0.5 s: no answer\n"
            "[3/4] failed in/c.txt: an answer without str (3 attempts)\n"
            "[4/4] failed in/d.txt: the output could not be written\n"
            "summary: 4 files, 1 written, 1 skipped, 2 failed\n"
            "failed: in/c.txt: an answer without str\n"
            "failed: in/d.txt: the output could not be written\n");
}

TEST(Progress, RedrawnInPlaceOnATerminal) {
  const std::string text = captured(true);
  EXPECT_EQ(text.find("[1/4]"), std::string::npos);
  EXPECT_NE(text.find("\r\x1b[Kdone 0, failed 0, remaining 4, -- files/s, -- left"),
            std::string::npos);
  EXPECT_NE(text.find("\r\x1b[Kretry in/c.txt (attempt 2 of 3) in 0.5 s: no answer\n"),
            std::string::npos);
  EXPECT_NE(text.find("\r\x1b[Kdone 1, failed 2, remaining 0, "), std::string::npos);
  const std::string tail =
      "\nsummary: 4 files, 1 written, 1 skipped, 2 failed\n"
      "failed: in/c.txt: an answer without str\n"
      "failed: in/d.txt: the output could not be written\n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

}  // namespace
}  // namespace kestrin::cli
