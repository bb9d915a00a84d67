#include "cli/progress.h"

#include <cmath>
#include <cstdint>

namespace kestrin::cli {
namespace {

constexpr const char* kClearLine = "\r\x1b[K";

std::string two_digits(std::int64_t n) { return (n < 10 ? "0" : "") + std::to_string(n); }

}  // namespace

std::string_view outcome_reason(BatchOutcome outcome) {
  switch (outcome) {
    case BatchOutcome::written: return "";
    case BatchOutcome::no_answer: return "no answer";
    case BatchOutcome::no_str: return "an answer without str";
    case BatchOutcome::write_failed: return "the output could not be written";
    case BatchOutcome::read_failed: return "the input could not be read";
  }
  return "unknown failure";
}

std::string format_duration(double seconds) {
  const auto s = static_cast<std::int64_t>(std::llround(std::max(seconds, 0.0)));
  if (s < 60) return std::to_string(s) + " s";
  if (s < 3600) return std::to_string(s / 60) + " min " + two_digits(s % 60) + " s";
  return std::to_string(s / 3600) + " h " + two_digits(s % 3600 / 60) + " min";
}

std::string format_progress_line(const BatchCounts& counts, double elapsed_seconds) {
  std::string line = "done " + std::to_string(counts.written) + ", failed " +
                     std::to_string(counts.failed) + ", remaining " +
                     std::to_string(counts.remaining()) + ", ";
  const std::size_t sent = counts.written + counts.failed;
  if (sent == 0 || elapsed_seconds <= 0) return line + "-- files/s, -- left";
  const double rate = static_cast<double>(sent) / elapsed_seconds;
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f files/s, ", rate);
  return line + buffer + format_duration(static_cast<double>(counts.remaining()) / rate) + " left";
}

BatchReporter::BatchReporter(std::FILE* err, bool terminal, std::size_t total)
    : err_(err), terminal_(terminal), start_(std::chrono::steady_clock::now()) {
  counts_.total = total;
  if (terminal_) {
    std::lock_guard lock(mutex_);
    redraw_locked();
  }
}

void BatchReporter::skipped(std::string_view file) {
  std::lock_guard lock(mutex_);
  ++counts_.skipped;
  event_locked("skipped " + std::string(file) + ": output exists");
}

void BatchReporter::retrying(std::string_view file, BatchOutcome outcome, int next_attempt,
                             int attempts, int pause_ms) {
  std::lock_guard lock(mutex_);
  char pause[32];
  std::snprintf(pause, sizeof pause, "%.1f s", pause_ms / 1000.0);
  message_locked("retry " + std::string(file) + " (attempt " + std::to_string(next_attempt) +
                 " of " + std::to_string(attempts) + ") in " + pause + ": " +
                 std::string(outcome_reason(outcome)));
}

void BatchReporter::finished(std::string_view file, BatchOutcome outcome, int attempts) {
  std::lock_guard lock(mutex_);
  if (outcome == BatchOutcome::written) {
    ++counts_.written;
    event_locked("ok " + std::string(file));
    return;
  }
  ++counts_.failed;
  failures_.push_back({std::string(file), outcome, attempts});
  event_locked("failed " + std::string(file) + ": " + std::string(outcome_reason(outcome)) +
               (attempts > 1 ? " (" + std::to_string(attempts) + " attempts)" : ""));
}

void BatchReporter::summary() {
  std::lock_guard lock(mutex_);
  std::string text;
  if (terminal_) {
    redraw_locked();
    text += "\n";
  }
  text += "summary: " + std::to_string(counts_.total) + " files, " +
          std::to_string(counts_.written) + " written, " + std::to_string(counts_.skipped) +
          " skipped, " + std::to_string(counts_.failed) + " failed\n";
  for (const Failure& f : failures_) {
    text += "failed: " + f.file + ": " + std::string(outcome_reason(f.outcome)) + "\n";
  }
  std::fputs(text.c_str(), err_);
  std::fflush(err_);
}

BatchCounts BatchReporter::counts() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

void BatchReporter::message_locked(const std::string& line) {
  if (terminal_) {
    std::fprintf(err_, "%s%s\n", kClearLine, line.c_str());
    redraw_locked();
  } else {
    std::fprintf(err_, "%s\n", line.c_str());
    std::fflush(err_);
  }
}

void BatchReporter::event_locked(const std::string& line) {
  if (terminal_) {
    redraw_locked();
    return;
  }
  const std::size_t ended = counts_.written + counts_.skipped + counts_.failed;
  std::fprintf(err_, "[%zu/%zu] %s\n", ended, counts_.total, line.c_str());
  std::fflush(err_);
}

void BatchReporter::redraw_locked() {
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::fprintf(err_, "%s%s", kClearLine, format_progress_line(counts_, elapsed).c_str());
  std::fflush(err_);
}

}  // namespace kestrin::cli
