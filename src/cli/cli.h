// The commands of kestrinseo-cli: `rewrite` (one article through the primary service) and
// `batch` (files through the batch service into a folder).
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "cli/arguments.h"

namespace kestrin::cli {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;  // some work failed
inline constexpr int kExitUsage = 2;    // bad arguments or unreadable input

// The largest article `rewrite` reads.
inline constexpr std::size_t kMaxArticleBytes = 16u << 20;

struct CliStreams {
  std::FILE* in = stdin;
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  bool in_is_terminal = false;   // then `rewrite` says that it reads stdin
  bool err_is_terminal = false;  // then `batch` redraws one progress line
};

// Parses the arguments after the program name, applies the host overrides to the process
// environment and runs the command. Returns the exit status; every failure has written one
// line to io.err.
[[nodiscard]] int run_cli(const std::vector<std::string>& args, const CliStreams& io);

// An article ready for the pipeline, or the reason it is refused.
struct PreparedInput {
  std::string error;           // not empty: a usage error (the input cannot be used)
  Encoding encoding = Encoding::kUtf8;  // kGbk or kUtf8, never kAuto
  LineBreaks line_breaks = LineBreaks::kLf;
  bool bom = false;            // a UTF-8 byte-order mark was taken off
  std::string gbk;             // the article in GBK with CR LF line breaks
  std::string utf8;            // the article as read, in UTF-8, without the mark
  Losses losses;               // characters the conversion to GBK loses
};

// Decides the encoding and the line-break style of raw input and converts it for
// rewrite_article. A zero byte, or invalid UTF-8 under Encoding::kUtf8, is an error.
[[nodiscard]] PreparedInput prepare_input(std::string_view raw, Encoding requested);

// The pipeline's GBK CR LF result in the input's encoding and line-break style (and with the
// byte-order mark when the input had one and `with_bom`).
[[nodiscard]] std::string restore_output(std::string_view gbk_crlf, const PreparedInput& input,
                                         bool with_bom);

}  // namespace kestrin::cli
