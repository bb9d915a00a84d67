#include "cli/arguments.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <functional>
#include <string_view>

namespace kestrin::cli {
namespace {

// One option of a subcommand. `apply` gets the value (empty for a flag) and returns an
// error text, empty when the value is taken.
struct OptionRule {
  char short_name;  // 0: none
  std::string_view long_name;
  bool takes_value;
  std::function<std::string(std::string_view value)> apply;
};

std::string quoted(std::string_view s) { return "'" + std::string(s) + "'"; }

// A decimal integer in [low, high], the whole value and nothing else.
std::string read_int(std::string_view value, std::string_view option, int low, int high,
                     int& out) {
  int parsed = 0;
  const char* begin = value.data();
  const char* end = value.data() + value.size();
  if (!value.empty() && value.front() == '+') ++begin;
  const auto [ptr, ec] = std::from_chars(begin, end, parsed);
  if (value.empty() || ec != std::errc() || ptr != end || parsed < low || parsed > high) {
    return "option " + std::string(option) + " needs a whole number from " +
           std::to_string(low) + " to " + std::to_string(high) + ", not " + quoted(value);
  }
  out = parsed;
  return {};
}

std::string read_host(std::string_view value, std::string_view option,
                      std::optional<std::string>& out) {
  const bool bad = value.empty() || std::any_of(value.begin(), value.end(), [](char c) {
    return c == '/' || static_cast<unsigned char>(c) <= ' ' || c == 0x7F;
  });
  if (bad) {
    return "option " + std::string(option) + " needs a host or host:port, not " + quoted(value);
  }
  out = std::string(value);
  return {};
}

std::vector<OptionRule> host_options(HostOverrides& hosts) {
  return {
      {0, "primary-host", true,
       [&hosts](std::string_view v) { return read_host(v, "--primary-host", hosts.primary); }},
      {0, "batch-host", true,
       [&hosts](std::string_view v) { return read_host(v, "--batch-host", hosts.batch); }},
  };
}

// Walks the arguments of one command: options go to `rules`, the rest to `positional`.
// Returns an error text, empty on success; sets help on -h / --help.
std::string walk(const std::vector<std::string>& args, std::size_t from,
                 const std::vector<OptionRule>& rules, std::vector<std::string>& positional,
                 bool& help) {
  bool options_ended = false;
  for (std::size_t i = from; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      positional.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      help = true;
      continue;
    }
    const OptionRule* rule = nullptr;
    std::optional<std::string_view> inline_value;
    std::string shown;  // the option as the user wrote it, for messages
    if (arg.starts_with("--")) {
      const std::string_view body = arg.substr(2);
      const std::size_t eq = body.find('=');
      const std::string_view name = body.substr(0, eq);
      if (eq != std::string_view::npos) inline_value = body.substr(eq + 1);
      shown = "--" + std::string(name);
      for (const auto& s : rules) {
        if (s.long_name == name) rule = &s;
      }
    } else {
      shown = std::string(arg.substr(0, 2));
      for (const auto& s : rules) {
        if (s.short_name != 0 && s.short_name == arg[1]) rule = &s;
      }
      if (rule != nullptr && arg.size() > 2) {
        if (!rule->takes_value) return "option " + shown + " takes no value, in " + quoted(arg);
        inline_value = arg.substr(2);
      }
    }
    if (rule == nullptr) return "unknown option " + quoted(shown);
    std::string_view value;
    if (rule->takes_value) {
      if (inline_value) {
        value = *inline_value;
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        return "option " + shown + " needs a value";
      }
    } else if (inline_value) {
      return "option " + shown + " takes no value";
    }
    if (std::string error = rule->apply(value); !error.empty()) return error;
  }
  return {};
}

std::string parse_rewrite(const std::vector<std::string>& args, std::size_t from,
                          Invocation& inv) {
  RewriteOptions& o = inv.rewrite;
  std::vector<OptionRule> rules = host_options(inv.hosts);
  rules.push_back({'n', "passes", true, [&o](std::string_view v) {
                     return read_int(v, "-n/--passes", 1, INT_MAX, o.passes);
                   }});
  rules.push_back({0, "json", false, [&o](std::string_view) {
                     o.json = true;
                     return std::string();
                   }});
  rules.push_back({0, "similarity", false, [&o](std::string_view) {
                     o.similarity = true;
                     return std::string();
                   }});
  rules.push_back({0, "encoding", true, [&o](std::string_view v) {
                     std::string lower(v);
                     for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                     if (lower == "auto") {
                       o.encoding = Encoding::kAuto;
                     } else if (lower == "gbk" || lower == "cp936") {
                       o.encoding = Encoding::kGbk;
                     } else if (lower == "utf-8" || lower == "utf8") {
                       o.encoding = Encoding::kUtf8;
                     } else {
                       return "option --encoding needs auto, gbk or utf-8, not " + quoted(v);
                     }
                     return std::string();
                   }});
  std::vector<std::string> positional;
  if (std::string error = walk(args, from, rules, positional, inv.help); !error.empty()) {
    return error;
  }
  if (inv.help) return {};
  if (positional.size() > 1) {
    return "rewrite takes at most one FILE, got " + std::to_string(positional.size());
  }
  if (!positional.empty()) o.file = positional.front();
  return {};
}

std::string parse_batch(const std::vector<std::string>& args, std::size_t from, Invocation& inv,
                        int max_jobs) {
  BatchOptions& o = inv.batch;
  std::vector<OptionRule> rules = host_options(inv.hosts);
  rules.push_back({'o', "output", true, [&o](std::string_view v) {
                     if (v.empty()) return std::string("option -o/--output needs a folder");
                     o.output_dir = std::string(v);
                     return std::string();
                   }});
  rules.push_back({'j', "jobs", true, [&o, max_jobs](std::string_view v) {
                     return read_int(v, "-j/--jobs", 1, max_jobs, o.jobs);
                   }});
  rules.push_back({0, "retries", true, [&o](std::string_view v) {
                     return read_int(v, "--retries", 0, kMaxRetries, o.retries);
                   }});
  rules.push_back({0, "retry-pause", true, [&o](std::string_view v) {
                     return read_int(v, "--retry-pause", 0, kMaxRetryPauseMs, o.retry_pause_ms);
                   }});
  rules.push_back({0, "skip-existing", false, [&o](std::string_view) {
                     o.skip_existing = true;
                     return std::string();
                   }});
  std::vector<std::string> positional;
  if (std::string error = walk(args, from, rules, positional, inv.help); !error.empty()) {
    return error;
  }
  if (inv.help) return {};
  if (o.output_dir.empty()) return "batch needs an output folder: -o DIR";
  if (positional.empty()) return "batch needs at least one FILE";
  for (const auto& file : positional) {
    if (file == "-") return "batch reads files only, not stdin ('-')";
  }
  o.files = std::move(positional);
  return {};
}

}  // namespace

ParsedArguments parse_arguments(const std::vector<std::string>& args, int max_jobs) {
  ParsedArguments result;
  Invocation& inv = result.invocation;
  // Options before the command: the host overrides, --help and --version.
  const std::vector<OptionRule> top = host_options(inv.hosts);
  std::size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "-h" || arg == "--help") {
      inv.help = true;
      return result;
    }
    if (arg == "--version") {
      inv.version = true;
      return result;
    }
    if (arg.size() < 2 || arg[0] != '-' || arg == "--") break;
    // One host option at a time, through the same walker.
    std::vector<std::string> one{args[i]};
    if (arg.find('=') == std::string_view::npos && i + 1 < args.size()) one.push_back(args[++i]);
    std::vector<std::string> positional;
    bool help = false;
    if (std::string error = walk(one, 0, top, positional, help); !error.empty()) {
      result.error = error;
      return result;
    }
    if (!positional.empty()) {
      result.error = "unknown option " + quoted(arg);
      return result;
    }
  }
  if (i < args.size() && args[i] == "--") ++i;
  if (i >= args.size()) {
    result.error = "no command given: use rewrite or batch (see kestrinseo-cli --help)";
    return result;
  }
  const std::string& command = args[i];
  if (command == "help") {  // "help" and "help COMMAND"
    inv.help = true;
    if (i + 1 < args.size() && args[i + 1] == "rewrite") inv.command = Command::kRewrite;
    if (i + 1 < args.size() && args[i + 1] == "batch") inv.command = Command::kBatch;
    return result;
  }
  if (command == "rewrite") {
    inv.command = Command::kRewrite;
    result.error = parse_rewrite(args, i + 1, inv);
  } else if (command == "batch") {
    inv.command = Command::kBatch;
    result.error = parse_batch(args, i + 1, inv, max_jobs);
  } else {
    result.error = "unknown command " + quoted(command) + ": use rewrite or batch";
  }
  return result;
}

std::string top_level_help() {
  return R"(Usage: kestrinseo-cli [--primary-host HOST] [--batch-host HOST] COMMAND [OPTIONS]

Rewrites articles with the KestrinSEO services, from a terminal or a script.

Commands:
  rewrite   rewrite one article (a file or stdin) with the primary service
  batch     rewrite many files with the batch service, into an output folder
  help [COMMAND]
            show this help, or the help of COMMAND (same as COMMAND --help)

Options (also accepted after the command):
  --primary-host HOST[:PORT]  the primary service for this run (instead of
                              KESTRIN_PRIMARY_HOST, default api.kestrinseo.com)
  --batch-host HOST[:PORT]    the batch service for this run (instead of
                              KESTRIN_BATCH_HOST, default batch.kestrinseo.com)
  -h, --help                  show this help
  --version                   show the version

Results go to stdout, progress and messages to stderr.
Exit status: 0 all work succeeded, 1 some work failed, 2 usage error
(an unknown option, a missing argument, an unreadable input).
)";
}

std::string rewrite_help() {
  return R"(Usage: kestrinseo-cli rewrite [-n PASSES] [--json] [--similarity]
                              [--encoding auto|gbk|utf-8] [FILE]

Sends the article in FILE (stdin when FILE is missing or "-") to the primary
service PASSES times, each pass sending the previous pass's result, and writes
the last result to stdout in the input's encoding and line-break style (LF or
CR LF). The service's check data goes to stderr, in the same encoding. An
empty result from the service is a failure.

Options:
  -n, --passes PASSES    number of passes, 1 or more (default 1)
  --encoding ENCODING    auto (default): valid UTF-8 input is UTF-8, any other
                         input is GBK; gbk or utf-8 force one (utf-8 input that
                         is not valid UTF-8 is then a usage error). A UTF-8
                         byte-order mark is kept.
  --json                 write one UTF-8 JSON object to stdout instead:
                         {"output", "check_data", "passes"[, "similarity"]}
  --similarity           also give a local originality estimate (stderr, or
                         the "similarity" member with --json)
  --primary-host HOST[:PORT]
                         the primary service for this run
  -h, --help             show this help

Similarity: both texts are read as Unicode characters, leaving out white space
and punctuation (ASCII and Unicode, CJK punctuation such as 。，、；：？！“”（）
included). The estimate is the share of the output's 4-grams (runs of 4
characters, every occurrence counted) that occur nowhere in the input, as a
whole percentage rounded to nearest: identical texts give 0, texts with no
common 4-gram give 100. An output of fewer than 4 such characters is
compared character by character instead; one with none gives 0.

The pipeline works in GBK: characters that GBK cannot represent are lost, and
a warning on stderr says how many and the first line with one. An input with a
zero byte (for instance UTF-16) or larger than 16 MiB is refused.

Exit status: 0 success; 1 the service gave an empty result or the output
could not be written; 2 usage error or unreadable input.
)";
}

std::string batch_help(int max_jobs) {
  return R"(Usage: kestrinseo-cli batch -o DIR [-j JOBS] [--retries N] [--retry-pause MS]
                            [--skip-existing] FILE...

Uploads each FILE's raw bytes to the batch service and writes the answer to
DIR under the file's own name. An output is written only when the service
answered with a result, through a temporary file renamed over the target, so
a failed job leaves DIR as it was.

Options:
  -o, --output DIR     the output folder (created when missing)
  -j, --jobs JOBS      at most JOBS uploads at once, 1 to )" +
         std::to_string(max_jobs) + " (default " + std::to_string(max_jobs) + R"()
  --retries N          retry a failed upload up to N times (default 2)
  --retry-pause MS     pause before the first retry, in milliseconds (default
                       500); it doubles with every further retry
  --skip-existing      leave alone each FILE whose output already exists, to
                       resume an interrupted batch
  --batch-host HOST[:PORT]
                       the batch service for this run
  -h, --help           show this help

Every FILE must be readable before anything is uploaded, and no two FILEs may
share a name (they would share an output); otherwise nothing is uploaded and
the exit status is 2.

Progress goes to stderr: one line redrawn in place on a terminal (done, failed,
remaining, files per second, time left), one line per finished file otherwise.
A summary follows with the counts and every failed file with its reason: no
answer, an answer without str, or the output could not be written.

Exit status: 0 every file written or skipped; 1 some file failed; 2 usage
error or unreadable input.
)";
}

}  // namespace kestrin::cli
