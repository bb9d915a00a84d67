// The batch runner against the stand-in batch service: 1,000 files of 4 KB, the service
// answering each request after 20 ms. Figures: wall time, files per second and peak RSS.
// Floor in the same run: the same 1,000 upload bodies POSTed by a bare libcurl multi loop
// with kMaxBatchJobs transfers at once (no file reading, no reply parsing, no writing), and
// the disk's share alone. The files live under TMPDIR (or /tmp).
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "rewrite/batch.h"
#include "rewrite/protocol.h"
#include "support/stand_in/stand_in.h"

namespace {

namespace fs = std::filesystem;
using kestrin::test_support::shared_stand_in;

constexpr int kFiles = 1000;
constexpr std::size_t kFileBytes = 4096;
constexpr int kDelayMs = 20;

// The stand-in must run, and the service hosts be exported, before the tool first reads them.
[[maybe_unused]] const bool kStandInStarted = shared_stand_in().ok();

// 1,000 input files of 4 KB of UTF-8 Chinese text, and an output folder; removed at exit.
struct Corpus {
  fs::path root;
  std::vector<fs::path> files;

  Corpus() {
    root = fs::temp_directory_path() / ("kestrin-bench-batch-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "in");
    fs::create_directories(root / "out");
    const std::string line = "春眠不觉晓，处处闻啼鸟。夜来风雨声，花落知多少。\r\n";
    std::string content;
    while (content.size() + line.size() <= kFileBytes) content += line;
    content.resize(kFileBytes, '.');
    for (int i = 0; i < kFiles; ++i) {
      files.push_back(root / "in" / ("文章" + std::to_string(i) + ".txt"));
      std::ofstream(files.back(), std::ios::binary) << content;
    }
  }
  ~Corpus() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }
  fs::path out() const { return root / "out"; }
};

const Corpus& corpus() {
  static const Corpus c;
  return c;
}

// A field of /proc/self/status in MiB (VmHWM: peak resident set; VmRSS: current).
double status_mib(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stod(line.substr(field.size() + 1)) / 1024.0;
  }
  return 0;
}

// Starts a new peak-RSS measurement at the current RSS; false when the kernel refuses.
bool reset_peak_rss() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return clear.good();
}

bool prepare_stand_in() {
  auto& stand_in = shared_stand_in();
  return stand_in.ok() && stand_in.reset() && stand_in.configure({.delay_ms = kDelayMs});
}

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct MultiDeleter {
  void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// The floor's files per second, for the runner's benchmark to set its own beside.
double g_floor_files_per_second = 0;

void BM_BatchFloor_CurlMulti(benchmark::State& state) {
  if (!prepare_stand_in()) {
    state.SkipWithError("the stand-in is not running");
    return;
  }
  // The bodies the tool uploads for the corpus, built before the clock runs.
  std::vector<std::string> bodies;
  for (const auto& file : corpus().files) {
    std::ifstream in(file, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), {});
    bodies.push_back(kestrin::build_upload_body(kestrin::upload_file_name(file), kestrin::Bytes(content)).str());
  }
  const std::string url = shared_stand_in().service_url();
  std::unique_ptr<curl_slist, SlistDeleter> headers(curl_slist_append(
      nullptr, "Content-Type: multipart/form-data; boundary=----WebKitFormBoundaryB7BfOcAAFtzC33eK"));
  headers.reset(curl_slist_append(headers.release(), "Expect:"));

  struct Transfer {
    std::unique_ptr<CURL, CurlDeleter> easy{curl_easy_init()};
    std::string reply;
  };
  std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
  std::vector<Transfer> transfers(kestrin::kMaxBatchJobs);
  for (auto& t : transfers) {
    curl_easy_setopt(t.easy.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(t.easy.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(t.easy.get(), CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(t.easy.get(), CURLOPT_WRITEDATA, &t.reply);
    curl_easy_setopt(t.easy.get(), CURLOPT_PRIVATE, &t);
  }

  double seconds = 0;
  std::size_t failed = 0;
  std::size_t reply_bytes = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    std::size_t next = 0;
    auto launch = [&](Transfer& t) {
      const std::string& body = bodies[next++];
      t.reply.clear();
      curl_easy_setopt(t.easy.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
      curl_easy_setopt(t.easy.get(), CURLOPT_POSTFIELDS, body.data());
      curl_multi_add_handle(multi.get(), t.easy.get());
    };
    for (auto& t : transfers) {
      if (next < bodies.size()) launch(t);
    }
    int running = 1;
    while (running > 0) {
      curl_multi_perform(multi.get(), &running);
      int left = 0;
      while (CURLMsg* message = curl_multi_info_read(multi.get(), &left)) {
        if (message->msg != CURLMSG_DONE) continue;
        Transfer* t = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &t);
        if (message->data.result != CURLE_OK || t->reply.empty()) ++failed;
        reply_bytes += t->reply.size();
        curl_multi_remove_handle(multi.get(), t->easy.get());
        if (next < bodies.size()) {
          launch(*t);
          running = 1;
        }
      }
      if (running > 0) curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr);
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(elapsed.count());
    seconds += elapsed.count();
  }
  benchmark::DoNotOptimize(reply_bytes);
  if (failed > 0) state.SkipWithError("bare uploads failed");
  g_floor_files_per_second = static_cast<double>(kFiles) * static_cast<double>(state.iterations()) / seconds;
  state.counters["files_per_s"] = g_floor_files_per_second;
}

// The disk's share, for reading the runner's figure on a slow file system: the 1,000 outputs
// written by kMaxBatchJobs bare threads the way a job writes them (a temporary file renamed
// over the target, flushed first when it replaces one), with no exchange at all.
void BM_BatchFloor_WriteOutputs(benchmark::State& state) {
  const fs::path folder = corpus().root / "out-floor";
  fs::create_directories(folder);
  const std::string content(kFileBytes, 'x');
  double seconds = 0;
  std::atomic<int> failed{0};
  for (auto _ : state) {
    std::atomic<int> next{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < kestrin::kMaxBatchJobs; ++t) {
      threads.emplace_back([&] {
        for (int i; (i = next.fetch_add(1)) < kFiles;) {
          const fs::path target = folder / corpus().files[static_cast<std::size_t>(i)].filename();
          const fs::path temporary = folder / (".floor-" + std::to_string(i));
          const bool replacing = fs::exists(target);
          const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
          const bool ok = fd >= 0 && ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) &&
                          (!replacing || ::fsync(fd) == 0);
          if (fd >= 0) ::close(fd);
          if (!ok || ::rename(temporary.c_str(), target.c_str()) != 0) failed.fetch_add(1);
        }
      });
    }
    for (auto& t : threads) t.join();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(elapsed.count());
    seconds += elapsed.count();
  }
  if (failed.load() > 0) state.SkipWithError("bare writes failed");
  state.counters["files_per_s"] = static_cast<double>(kFiles) * static_cast<double>(state.iterations()) / seconds;
}

void BM_BatchRunner_1000Files(benchmark::State& state) {
  if (!prepare_stand_in()) {
    state.SkipWithError("the stand-in is not running");
    return;
  }
  const Corpus& files = corpus();
  const double rss_before = status_mib("VmRSS");
  const bool peak_reset = reset_peak_rss();
  const double rss_base = status_mib("VmRSS");

  std::atomic<std::size_t> written{0};
  std::atomic<std::size_t> failed{0};
  double seconds = 0;
  for (auto _ : state) {
    kestrin::BatchRunner runner([&](const fs::path&, kestrin::BatchOutcome outcome) {
      (outcome == kestrin::BatchOutcome::written ? written : failed).fetch_add(1, std::memory_order_relaxed);
    });
    const auto start = std::chrono::steady_clock::now();
    runner.start(files.files, files.out());
    runner.wait();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(elapsed.count());
    seconds += elapsed.count();
  }
  if (failed.load() > 0) state.SkipWithError("jobs failed");
  const double files_per_second = static_cast<double>(written.load()) / seconds;
  state.counters["files_per_s"] = files_per_second;
  state.counters["wall_ms"] = 1000.0 * seconds / static_cast<double>(state.iterations());
  // Peak RSS of the process during the runs (or since it started, when the kernel did not let
  // the mark be reset), and the RSS the runs started from.
  state.counters["peak_rss_mib"] = status_mib("VmHWM");  // target < 150
  state.counters["rss_start_mib"] = peak_reset ? rss_base : rss_before;
  if (g_floor_files_per_second > 0) {
    state.counters["x_floor"] = files_per_second / g_floor_files_per_second;  // target >= 0.7
  }
}

// The floor first, so that both figures stand next to each other.
BENCHMARK(BM_BatchFloor_CurlMulti)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_BatchFloor_WriteOutputs)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_BatchRunner_1000Files)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

}  // namespace
