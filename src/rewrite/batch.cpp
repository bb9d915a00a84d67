// The batch jobs and their runner.
#include "rewrite/batch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <optional>
#include <thread>
#include <utility>

#include "http/http_request.h"
#include "json/json_document.h"
#include "rewrite/protocol.h"
#include "text/codecs.h"

namespace kestrin {
namespace fs = std::filesystem;

namespace {

// Owns one file descriptor and closes it on every path.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] bool valid() const { return fd_ >= 0; }
  // Closes now; false when the close reported an error (a write that did not reach the file).
  [[nodiscard]] bool close() {
    const int fd = std::exchange(fd_, -1);
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

// The whole content of a regular file; nothing when it cannot be opened or read, or is not a
// regular file (a pipe or a device would block or never end).
std::optional<Bytes> read_whole_file(const fs::path& path) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!file.valid()) return std::nullopt;
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  try {
    std::string content;
    content.reserve(static_cast<std::size_t>(info.st_size));
    char chunk[1 << 16];
    for (;;) {
      const ssize_t got = ::read(file.get(), chunk, sizeof chunk);
      if (got == 0) break;
      if (got < 0) {
        if (errno == EINTR) continue;
        return std::nullopt;
      }
      content.append(chunk, static_cast<std::size_t>(got));
    }
    return Bytes(std::move(content));
  } catch (const std::exception&) {  // too large to hold: counts as unreadable
    return std::nullopt;
  }
}

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t put = ::write(fd, bytes.data(), bytes.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

// A temporary name in the output folder that no other job of any process uses at this moment.
fs::path temporary_name(const fs::path& folder) {
  static std::atomic<unsigned long long> counter{0};
  return folder / (".kestrin-batch-" + std::to_string(::getpid()) + "-" +
                   std::to_string(counter.fetch_add(1, std::memory_order_relaxed)));
}

// Writes `bytes` to folder / name through a temporary file in the folder that is renamed over
// the target. On any failure the temporary is removed and the target is untouched.
bool replace_file(const fs::path& folder, const fs::path& name, std::string_view bytes) {
  if (folder.empty() || name.empty() || name == "." || name == "..") return false;
  const fs::path target = folder / name;

  fs::path temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    temporary = temporary_name(folder);
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  FileDescriptor file(fd);
  if (!file.valid()) return false;

  // A replaced file keeps its permissions, as it would when written in place. Its content
  // may be the only copy of something (the output folder can be the input folder), so the
  // new content is on the disk before the old goes; a new file risks nothing and skips that.
  struct stat old {};
  const bool replacing = ::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  if (replacing) (void)::fchmod(file.get(), old.st_mode & 0777);

  const bool complete = write_all(file.get(), bytes) && (!replacing || ::fsync(file.get()) == 0);
  if (!file.close() || !complete || ::rename(temporary.c_str(), target.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace

Text upload_file_name(const fs::path& path) { return utf8_to_gbk(Text(path.filename().native())); }

BatchOutcome rewrite_file(const fs::path& path, const fs::path& folder) {
  Text result;
  try {
    Bytes reply;
    {
      const std::optional<Bytes> content = read_whole_file(path);
      if (!content) return BatchOutcome::read_failed;
      reply = http_request(batch_service_url(),
                           {.method = kHttpPost,
                            .header_text = upload_header_text(),
                            .byte_body = build_upload_body(upload_file_name(path), *content)});
    }
    if (reply.empty()) return BatchOutcome::no_answer;

    JsonDocument document;
    (void)document.parse(decode_reply(reply));
    if (!document.has_member("str")) return BatchOutcome::no_str;
    result = document.get_text("str");
  } catch (const std::exception&) {  // out of memory on the way: nothing usable came back
    return BatchOutcome::no_answer;
  }
  try {
    return replace_file(folder, path.filename(), result.view()) ? BatchOutcome::written
                                                                : BatchOutcome::write_failed;
  } catch (const std::exception&) {
    return BatchOutcome::write_failed;
  }
}

// Shared by the runner and its worker threads; the last owner destroys it.
struct BatchRunner::State {
  struct Job {
    fs::path file;
    std::shared_ptr<const fs::path> folder;
  };

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Job> queue;
  std::size_t max_jobs = kMaxBatchJobs;
  std::size_t workers = 0;    // live worker threads
  std::size_t running = 0;    // jobs taken from the queue and not yet ended
  std::size_t reporting = 0;  // callbacks in progress
  bool stopped = false;       // the runner is gone: take no job, call nobody
  JobDone on_job_done;

  // Runs one job taken from the queue, then reports it; called with the lock held, returns
  // with it held.
  void run(std::unique_lock<std::mutex>& lock) {
    Job job = std::move(queue.front());
    queue.pop_front();
    ++running;
    lock.unlock();
    const BatchOutcome outcome = rewrite_file(job.file, *job.folder);
    lock.lock();
    if (!stopped && on_job_done) {
      ++reporting;
      lock.unlock();
      on_job_done(job.file, outcome);
      lock.lock();
      --reporting;
    }
    --running;  // a job has ended once it has been reported
    changed.notify_all();
  }

  static void work(std::shared_ptr<State> state) {
    std::unique_lock lock(state->mutex);
    while (!state->stopped && !state->queue.empty()) state->run(lock);
    --state->workers;
    state->changed.notify_all();
  }
};

BatchRunner::BatchRunner(JobDone on_job_done, std::size_t max_jobs) : state_(std::make_shared<State>()) {
  state_->max_jobs = max_jobs == 0 ? 1 : max_jobs;
  state_->on_job_done = std::move(on_job_done);
}

BatchRunner::~BatchRunner() {
  JobDone callback;
  std::deque<State::Job> dropped;
  {
    std::unique_lock lock(state_->mutex);
    state_->stopped = true;
    dropped.swap(state_->queue);
    state_->changed.wait(lock, [&] { return state_->reporting == 0; });
    callback = std::move(state_->on_job_done);
  }
  // The callback and the dropped jobs are released here, on the caller's thread.
}

void BatchRunner::start(std::vector<fs::path> files, fs::path folder) {
  if (files.empty()) return;
  const auto shared_folder = std::make_shared<const fs::path>(std::move(folder));
  std::size_t wanted = 0;
  {
    std::lock_guard lock(state_->mutex);
    for (auto& file : files) state_->queue.push_back({std::move(file), shared_folder});
    const std::size_t free_slots = state_->max_jobs - state_->workers;
    wanted = std::min(free_slots, state_->queue.size());
    state_->workers += wanted;
  }
  for (std::size_t i = 0; i < wanted; ++i) {
    try {
      std::thread(&State::work, state_).detach();
    } catch (const std::exception&) {
      // No thread now: the jobs stay queued for the workers that run, or for wait().
      std::lock_guard lock(state_->mutex);
      state_->workers -= wanted - i;
      state_->changed.notify_all();
      break;
    }
  }
}

void BatchRunner::wait() {
  std::unique_lock lock(state_->mutex);
  for (;;) {
    if (state_->queue.empty() && state_->running == 0) return;
    if (state_->workers == 0 && !state_->queue.empty()) {
      state_->run(lock);  // no worker could be started: the waiting thread does the work
    } else {
      state_->changed.wait(lock);
    }
  }
}

std::size_t BatchRunner::unfinished() const {
  std::lock_guard lock(state_->mutex);
  return state_->queue.size() + state_->running;
}

BatchRunner& shared_batch_runner() {
  // Never destroyed: jobs still in flight at exit must not find it gone.
  static BatchRunner* const runner = new BatchRunner();
  return *runner;
}

}  // namespace kestrin
