// Progress and the closing summary of a batch run, written to stderr.
//
// On a terminal one line is redrawn in place: done, failed, remaining, files per second and
// the time left. Anywhere else (a pipe, a log file) one line is written per finished file.
// Either way the summary gives the counts and every failed file with its reason.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "rewrite/batch.h"

namespace kestrin::cli {

struct BatchCounts {
  std::size_t total = 0;
  std::size_t written = 0;
  std::size_t skipped = 0;
  std::size_t failed = 0;
  [[nodiscard]] std::size_t remaining() const { return total - written - skipped - failed; }
};

// The reason a job failed, as the summary gives it: "no answer", "an answer without str",
// "the output could not be written"; empty for `written`.
[[nodiscard]] std::string_view outcome_reason(BatchOutcome outcome);

// A duration in whole seconds for people: "7 s", "4 min 05 s", "2 h 03 min".
[[nodiscard]] std::string format_duration(double seconds);

// The redrawn line. Files per second counts the files sent (written or failed, not skipped)
// over `elapsed_seconds`; before the first of them, rate and time left show as "--".
[[nodiscard]] std::string format_progress_line(const BatchCounts& counts, double elapsed_seconds);

// Thread-safe reporter; the workers call it as their files end.
class BatchReporter {
 public:
  // Reports to `err`, redrawing one line in place when `terminal`, for `total` files.
  BatchReporter(std::FILE* err, bool terminal, std::size_t total);

  // Counts `file` as skipped because its output exists already.
  void skipped(std::string_view file);
  // Says that `file` is sent again (attempt `next_attempt` of `attempts`) after `pause_ms`;
  // changes no count.
  void retrying(std::string_view file, BatchOutcome outcome, int next_attempt, int attempts,
                int pause_ms);
  // Counts `file` as written, or as failed with `outcome` after `attempts` uploads (kept for
  // the summary).
  void finished(std::string_view file, BatchOutcome outcome, int attempts);
  // Ends the progress line and writes the summary.
  void summary();

  // The counts so far.
  [[nodiscard]] BatchCounts counts() const;

 private:
  void message_locked(const std::string& line);  // a line of its own, then the redraw
  void event_locked(const std::string& line);    // a per-file line, or the redraw
  void redraw_locked();

  struct Failure {
    std::string file;
    BatchOutcome outcome;
    int attempts;
  };

  std::FILE* err_;
  bool terminal_;
  std::chrono::steady_clock::time_point start_;
  mutable std::mutex mutex_;
  BatchCounts counts_;
  std::vector<Failure> failures_;
};

}  // namespace kestrin::cli
