// http_request POSTs of a 10 KB form body to a loopback server that answers at once, from
// 1 and from 8 threads, each beside the floor: the same POSTs through a bare libcurl easy
// handle that each thread keeps and reuses. items_per_second is requests per second.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <memory>
#include <string>

#include "http/http_request.h"
#include "support/loopback_server.h"

namespace {

using kestrin::Text;

// A keep-alive server, one thread per connection, that records nothing.
kestrin::testing::LoopbackServer& server() {
  static kestrin::testing::LoopbackServer instance(
      [](const std::string&) {
        return kestrin::testing::ScriptedReply{kestrin::testing::http_reply("200 OK", "{\"str\":\"ok\"}")};
      },
      false);
  return instance;
}

const std::string& form_body() {
  static const std::string body = [] {
    std::string payload;
    for (int i = 0; payload.size() < 10 * 1024; ++i) payload += static_cast<char>('A' + i % 26);
    return "id=vip&user=admin&str=" + payload + "&num=1&sign=0123456789abcdef0123456789abcdef";
  }();
  return body;
}

size_t keep_reply(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

void BM_HttpPostFloor(benchmark::State& state) {
  const std::string url = server().url("/api.php");
  struct SlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
  };
  struct EasyFree {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
  };
  std::unique_ptr<curl_slist, SlistFree> headers;
  const std::string lines[] = {"Accept: */*", "Referer: " + url, "Accept-Language: zh-cn",
                               "Content-Type: application/x-www-form-urlencoded", "Expect:"};
  for (const std::string& line : lines) {
    headers.reset(curl_slist_append(headers.release(), line.c_str()));
  }
  const std::unique_ptr<CURL, EasyFree> easy(curl_easy_init());
  std::string reply;
  curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy.get(), CURLOPT_PROXY, "");
  curl_easy_setopt(easy.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy.get(), CURLOPT_USERAGENT, "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)");
  curl_easy_setopt(easy.get(), CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(easy.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(form_body().size()));
  curl_easy_setopt(easy.get(), CURLOPT_POSTFIELDS, form_body().data());
  curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, &keep_reply);
  curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &reply);
  for (auto _ : state) {
    reply.clear();
    if (curl_easy_perform(easy.get()) != CURLE_OK || reply.size() != 12) {
      state.SkipWithError("the floor's POST failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_HttpRequestPost(benchmark::State& state) {
  const Text url(server().url("/api.php"));
  const Text body(form_body());
  for (auto _ : state) {
    const kestrin::Bytes reply = kestrin::http_request(url, {.method = kestrin::kHttpPost, .text_body = body});
    if (reply.size() != 12) {
      state.SkipWithError("http_request failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_HttpPostFloor)->Threads(1)->UseRealTime();
BENCHMARK(BM_HttpRequestPost)->Threads(1)->UseRealTime();
BENCHMARK(BM_HttpPostFloor)->Threads(8)->UseRealTime();
BENCHMARK(BM_HttpRequestPost)->Threads(8)->UseRealTime();

}  // namespace
