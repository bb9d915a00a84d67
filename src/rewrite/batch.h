// The batch jobs: one upload to the batch service per file, its result written into the
// output folder under the file's own name, with at most kMaxBatchJobs jobs running at once.
//
// Paths are the file system's own (std::filesystem::path, UTF-8 on this platform), so every
// file can be read and written whatever its name. An output file is written only when the
// service answered with a `str` member, and always through a temporary file in the output
// folder that is renamed over the target: a failed or interrupted job leaves the folder as it
// was, and no half-written file ever stands where a complete one was.
//
// Shutdown. An exchange in flight cannot be cut short and may block up to the stall time-out
// of http_request, so nothing here waits for one at exit. Worker threads are detached and
// share ownership of the runner's state, so destroying a runner never pulls anything from
// under a running job: it drops the queued jobs, waits only for a completion callback that is
// running at that moment, and returns; the jobs in flight finish on their own and report to
// nobody. A program that ends while jobs may still be in flight ends the process with
// std::quick_exit (or _exit) rather than returning from main, so that no global of another
// library is destroyed under a running exchange; an interrupted job then leaves at most a
// temporary ".kestrin-batch-*" file beside its target, never a damaged target.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "text/types.h"

namespace kestrin {

// How one job ended.
enum class BatchOutcome {
  written,       // the reply's `str` member now stands in the output folder
  no_answer,     // nothing came back (no connection, reset, empty body); nothing written
  no_str,        // the reply (or the part of it that arrived before the exchange broke)
                 // was not JSON, or had no `str` member or a null one; nothing written
  write_failed,  // the output could not be written (missing or read-only folder, target is a
                 // folder, disk full); the target and the folder are as they were
  read_failed,   // the input could not be read (missing, no right to read, not a regular
                 // file); nothing was uploaded and nothing written
};

// The largest number of jobs that run at the same time; further jobs wait for a free slot.
inline constexpr std::size_t kMaxBatchJobs = 32;

// The file name the upload carries: the path's last component in GBK ("?" for characters
// GBK lacks, and for bytes that are not UTF-8). A path ending in a separator gives empty text.
[[nodiscard]] Text upload_file_name(const std::filesystem::path& path);

// One job, on the calling thread: reads `path` whole (an unreadable or non-regular file ends
// the job with read_failed, so it never replaces an output, or itself, with the rewrite of
// nothing), uploads it to the batch service and, when the reply holds a `str` member, writes
// its GBK bytes (no terminator, no BOM) to folder / path.filename(). An empty file is uploaded.
// A replaced file keeps its permissions. Throws nothing.
[[nodiscard]] BatchOutcome rewrite_file(const std::filesystem::path& path,
                                        const std::filesystem::path& folder);

// Runs one rewrite_file job per file on detached worker threads, at most max_jobs at once,
// in the order the files were given. Thread-safe: any thread may start or wait.
class BatchRunner {
 public:
  // Called on the worker thread once a job has ended; calls may come from several threads at
  // the same time. It must not throw, nor destroy the runner.
  using JobDone = std::function<void(const std::filesystem::path& file, BatchOutcome outcome)>;

  // max_jobs 0 is taken as 1.
  explicit BatchRunner(JobDone on_job_done = {}, std::size_t max_jobs = kMaxBatchJobs);
  // Drops the queued jobs and returns without waiting for the jobs in flight (see above);
  // once it has returned no callback runs any more.
  ~BatchRunner();
  BatchRunner(const BatchRunner&) = delete;
  BatchRunner& operator=(const BatchRunner&) = delete;

  // Queues one job per file, each with its own copy of its path and of `folder`, and returns
  // at once; every file gets its job. A second call queues a second full set behind the first.
  // An empty list does nothing.
  void start(std::vector<std::filesystem::path> files, std::filesystem::path folder);

  // Blocks until every job queued so far, and any queued while waiting, has ended and its
  // callback has returned.
  void wait();

  // Jobs queued or running.
  [[nodiscard]] std::size_t unfinished() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// The process's own runner, for the window: created on first use, never destroyed, no
// callback. The window's start button hands it the import list and the save folder.
[[nodiscard]] BatchRunner& shared_batch_runner();

}  // namespace kestrin
