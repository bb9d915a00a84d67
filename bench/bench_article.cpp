// rewrite_article against the stand-in primary service: 20 passes of a 10 KB Chinese
// article, per pass. The floor, in the same iterations: the same 20 request bodies POSTed
// through one reused bare libcurl handle, each answer decoded with a bare Duktape JSON
// decode. Each iteration runs the floor and then the tool, so that both see the same load.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <duktape.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "rewrite/article.h"
#include "support/stand_in/stand_in.h"

namespace {

using kestrin::test_support::shared_stand_in;
using Clock = std::chrono::steady_clock;

constexpr int kPasses = 20;

// The stand-in must run, and the service hosts be exported, before the tool first reads them.
[[maybe_unused]] const bool kStandInStarted = shared_stand_in().ok();

// About 10 KB of GBK text, lines ending in CR LF.
const kestrin::Text& article() {
  static const kestrin::Text text = [] {
    const std::string lines[] = {
        "床前明月光，疑是地上霜。举头望明月，低头思故乡。",
        "白日依山尽，黄河入海流。欲穷千里目，更上一层楼。",
        "春眠不觉晓，处处闻啼鸟。夜来风雨声，花落知多少。",
        "红豆生南国，春来发几枝。愿君多采撷，此物最相思。",
    };
    std::string gbk;
    for (std::size_t i = 0; gbk.size() < 10 * 1024; ++i) {
      gbk += kestrin::test_support::gbk(lines[i % 4] + "\r\n");
    }
    return kestrin::Text(gbk);
  }();
  return text;
}

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct DukDeleter {
  void operator()(duk_context* ctx) const { duk_destroy_heap(ctx); }
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// JSON-decodes the string on the stack top and leaves its "str" member there.
duk_ret_t decode_str(duk_context* ctx, void*) {
  duk_json_decode(ctx, -1);
  duk_get_prop_string(ctx, -1, "str");
  return 1;
}

// The floor: a bare reused handle and a bare decode, nothing else.
class Floor {
 public:
  Floor(const std::string& url, std::vector<std::string> bodies)
      : url_(url),
        bodies_(std::move(bodies)),
        curl_(curl_easy_init()),
        headers_(curl_slist_append(nullptr, "Expect:")),
        duk_(duk_create_heap_default()) {
    curl_easy_setopt(curl_.get(), CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl_.get(), CURLOPT_HTTPHEADER, headers_.get());
    curl_easy_setopt(curl_.get(), CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl_.get(), CURLOPT_WRITEDATA, &reply_);
  }

  // All bodies once; false when an exchange failed.
  bool run(std::size_t& decoded) {
    for (const std::string& body : bodies_) {
      reply_.clear();
      curl_easy_setopt(curl_.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
      curl_easy_setopt(curl_.get(), CURLOPT_POSTFIELDS, body.data());
      if (curl_easy_perform(curl_.get()) != CURLE_OK) return false;
      duk_push_lstring(duk_.get(), reply_.data(), reply_.size());
      if (duk_safe_call(duk_.get(), decode_str, nullptr, 1, 1) == DUK_EXEC_SUCCESS) {
        duk_size_t length = 0;
        (void)duk_get_lstring(duk_.get(), -1, &length);
        decoded += length;
      }
      duk_pop(duk_.get());
    }
    return true;
  }

 private:
  std::string url_;
  std::vector<std::string> bodies_;
  std::string reply_;
  std::unique_ptr<CURL, CurlDeleter> curl_;
  std::unique_ptr<curl_slist, SlistDeleter> headers_;
  std::unique_ptr<duk_context, DukDeleter> duk_;
};

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of the calling thread, in seconds: the client's own work, whatever the load.
double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Time: the tool's 20-pass run. Counters: the tool and the floor per pass (wall time, and the
// calling thread's CPU time), and the ratio of their wall times (target: at most 1.5).
void BM_ArticleRewrite_20Passes(benchmark::State& state) {
  auto& stand_in = shared_stand_in();
  if (!stand_in.ok() || !stand_in.reset()) {
    state.SkipWithError("the stand-in is not running");
    return;
  }
  // The bodies the tool sends in a 20-pass run are the floor's bodies.
  (void)kestrin::rewrite_article(article(), kPasses);
  std::vector<std::string> bodies;
  for (const auto& r : stand_in.requests()) bodies.push_back(r.body);
  if (bodies.size() != kPasses) {
    state.SkipWithError("the tool's run did not record 20 requests");
    return;
  }
  const std::size_t body_bytes = bodies.front().size();
  Floor floor(stand_in.service_url(), std::move(bodies));

  double tool_seconds = 0;
  double floor_seconds = 0;
  double tool_cpu = 0;
  double floor_cpu = 0;
  std::size_t sink = 0;
  for (auto _ : state) {
    const auto floor_start = Clock::now();
    const double floor_cpu_start = thread_cpu_seconds();
    if (!floor.run(sink)) {
      state.SkipWithError("the bare exchange failed");
      return;
    }
    floor_cpu += thread_cpu_seconds() - floor_cpu_start;
    floor_seconds += seconds_since(floor_start);

    const auto tool_start = Clock::now();
    const double tool_cpu_start = thread_cpu_seconds();
    const kestrin::RewriteResult result = kestrin::rewrite_article(article(), kPasses);
    tool_cpu += thread_cpu_seconds() - tool_cpu_start;
    const double elapsed = seconds_since(tool_start);
    tool_seconds += elapsed;
    state.SetIterationTime(elapsed);
    if (result.output.empty()) {
      state.SkipWithError("the rewrite came back empty");
      return;
    }
    sink += result.output.size();
  }
  benchmark::DoNotOptimize(sink);
  const double passes = static_cast<double>(state.iterations()) * kPasses;
  state.counters["tool_us_per_pass"] = tool_seconds / passes * 1e6;
  state.counters["floor_us_per_pass"] = floor_seconds / passes * 1e6;
  state.counters["x_floor"] = floor_seconds > 0 ? tool_seconds / floor_seconds : 0;
  state.counters["tool_cpu_us_per_pass"] = tool_cpu / passes * 1e6;
  state.counters["floor_cpu_us_per_pass"] = floor_cpu / passes * 1e6;
  state.counters["body_bytes"] = static_cast<double>(body_bytes);
}

BENCHMARK(BM_ArticleRewrite_20Passes)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace
