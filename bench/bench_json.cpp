// A primary-service reply read as the pipelines read it: a new JsonDocument, parse of a
// 10 KB reply (about 3,000 Chinese characters in "str", plus "ck"), then get_text of "str"
// and "ck". Baseline in the same run: a bare Duktape heap created, the same reply (UTF-8)
// decoded with duk_json_decode, the two members read, the heap destroyed.
#include <benchmark/benchmark.h>
#include <duktape.h>

#include <memory>
#include <string>

#include "json/json_document.h"
#include "text/codecs.h"

namespace {

// The reply in UTF-8, as the service sends it: "str" holds 330 lines of ten Chinese
// characters and some ASCII, "ck" the check data.
const std::string& reply_utf8() {
  static const std::string reply = [] {
    const std::string line = "床前明月光疑是地上霜 abc 123\\n";
    std::string json = "{\"str\":\"";
    for (int i = 0; i < 330; ++i) json += line;
    json += "\",\"ck\":\"原创度：85%，相似句子：3，已检测段落：12\"}";
    return json;
  }();
  return reply;
}

// The same reply converted to GBK, as the pipelines hand it to parse.
const kestrin::Text& reply_gbk() {
  static const kestrin::Text reply = kestrin::utf8_to_gbk(kestrin::Text(reply_utf8()));
  return reply;
}

void BM_json_parse_reply(benchmark::State& state) {
  const kestrin::Text& reply = reply_gbk();
  for (auto _ : state) {
    kestrin::JsonDocument document;
    benchmark::DoNotOptimize(document.parse(reply));
    kestrin::Text str = document.get_text(kestrin::Text("str"));
    kestrin::Text ck = document.get_text(kestrin::Text("ck"));
    benchmark::DoNotOptimize(str);
    benchmark::DoNotOptimize(ck);
  }
  state.counters["reply_bytes"] = static_cast<double>(reply.size());
}
BENCHMARK(BM_json_parse_reply)->Unit(benchmark::kMicrosecond);

struct HeapDeleter {
  void operator()(duk_context* ctx) const { duk_destroy_heap(ctx); }
};

std::string read_member(duk_context* ctx, const char* name) {
  duk_get_prop_string(ctx, -1, name);
  duk_size_t size = 0;
  const char* data = duk_get_lstring(ctx, -1, &size);
  std::string value = data != nullptr ? std::string(data, size) : std::string();
  duk_pop(ctx);
  return value;
}

void BM_baseline_duktape_decode_reply(benchmark::State& state) {
  const std::string& reply = reply_utf8();
  for (auto _ : state) {
    std::unique_ptr<duk_context, HeapDeleter> heap(duk_create_heap_default());
    duk_context* ctx = heap.get();
    duk_push_lstring(ctx, reply.data(), reply.size());
    duk_json_decode(ctx, -1);
    std::string str = read_member(ctx, "str");
    std::string ck = read_member(ctx, "ck");
    benchmark::DoNotOptimize(str);
    benchmark::DoNotOptimize(ck);
  }
  state.counters["reply_bytes"] = static_cast<double>(reply.size());
}
BENCHMARK(BM_baseline_duktape_decode_reply)->Unit(benchmark::kMicrosecond);

}  // namespace
