// The command line of kestrinseo-cli: its subcommands, their options, and their help texts.
//
//   kestrinseo-cli [--primary-host H] [--batch-host H] COMMAND [OPTIONS] [ARGS]
//
// Options may stand before, between or after the arguments; "--" ends them; "-" is an
// argument (stdin). A value follows its option as the next argument, after "=" (--passes=2),
// or, for a one-letter option, directly (-n2).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/encoding.h"

namespace kestrin::cli {

inline constexpr const char* kProgramName = "kestrinseo-cli";
inline constexpr int kDefaultRetries = 2;
inline constexpr int kMaxRetries = 100;
inline constexpr int kDefaultRetryPauseMs = 500;
inline constexpr int kMaxRetryPauseMs = 60'000;

enum class Command { kNone, kRewrite, kBatch };

struct HostOverrides {
  std::optional<std::string> primary;  // host or host:port of the primary service
  std::optional<std::string> batch;    // host or host:port of the batch service
};

struct RewriteOptions {
  int passes = 1;
  bool json = false;
  bool similarity = false;
  Encoding encoding = Encoding::kAuto;
  std::string file;  // empty or "-": stdin
};

struct BatchOptions {
  std::string output_dir;
  int jobs = 0;  // 0: the batch cap
  int retries = kDefaultRetries;
  int retry_pause_ms = kDefaultRetryPauseMs;  // the pause before the first retry; it doubles
  bool skip_existing = false;
  std::vector<std::string> files;
};

struct Invocation {
  Command command = Command::kNone;
  bool help = false;  // show the help of `command` (the top-level help for kNone)
  bool version = false;
  HostOverrides hosts;
  RewriteOptions rewrite;
  BatchOptions batch;
};

struct ParsedArguments {
  Invocation invocation;
  std::string error;  // not empty: a usage error, as one line without the program name
};

// Reads the arguments after the program name. max_jobs is the highest value -j accepts.
// Every fault (unknown command or option, a missing or malformed value, a missing or extra
// argument) gives an error; --help anywhere gives help = true and no error.
[[nodiscard]] ParsedArguments parse_arguments(const std::vector<std::string>& args, int max_jobs);

// The help texts, ending in a line break.
[[nodiscard]] std::string top_level_help();
[[nodiscard]] std::string rewrite_help();
[[nodiscard]] std::string batch_help(int max_jobs);

}  // namespace kestrin::cli
