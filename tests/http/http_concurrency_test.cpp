// Concurrent calls share the cookie store and nothing else; each gets its own reply.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "http/http_request.h"
#include "support/loopback_server.h"

namespace kestrin {
namespace {

using testing::http_reply;
using testing::LoopbackServer;
using testing::ScriptedReply;

TEST(HttpConcurrencyTest, ParallelCallsKeepTheirRepliesAndShareCookies) {
  constexpr int kThreads = 8;
  constexpr int kCalls = 12;
  // The cookie store lives as long as the process: each run of the test uses paths of its own.
  static int run = 0;
  const std::string run_tag = std::to_string(++run) + "-";
  // Echoes the request line's path as the body; /mt/<n>/set sets a cookie for /mt/<n>.
  LoopbackServer server([](const std::string& raw) {
    const std::size_t start = raw.find(' ') + 1;
    const std::string path = raw.substr(start, raw.find(' ', start) - start);
    std::vector<std::string> lines;
    if (path.size() > 4 && path.compare(path.size() - 4, 4, "/set") == 0) {
      lines.push_back("Set-Cookie: c=" + path.substr(4, path.size() - 8) + "; Path=" + path.substr(0, path.size() - 4));
    }
    return ScriptedReply{http_reply("200 OK", path, lines)};
  });

  std::vector<std::vector<std::string>> bodies(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string base = "/mt/" + run_tag + std::to_string(t);
      for (int i = 0; i < kCalls; ++i) {
        const std::string path = base + (i == 0 ? "/set" : "/" + std::to_string(i));
        bodies[t].push_back(http_request(Text(server.url(path)), {.method = kHttpPost, .text_body = "x"}).str());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  for (int t = 0; t < kThreads; ++t) {
    const std::string base = "/mt/" + run_tag + std::to_string(t);
    ASSERT_EQ(bodies[t].size(), static_cast<std::size_t>(kCalls));
    for (int i = 0; i < kCalls; ++i) {
      EXPECT_EQ(bodies[t][i], base + (i == 0 ? "/set" : "/" + std::to_string(i)));
    }
  }
  // Every later call of a thread sent back the cookie its first call received, and only it.
  for (const std::string& raw : server.requests()) {
    const std::size_t start = raw.find(' ') + 1;
    const std::string path = raw.substr(start, raw.find(' ', start) - start);
    const std::string thread = path.substr(4, path.find('/', 4) - 4);
    const bool first = path.compare(path.size() - 4, 4, "/set") == 0;
    EXPECT_EQ(raw.find("\r\nCookie: c=" + thread + "\r\n") != std::string::npos, !first) << raw;
  }
}

}  // namespace
}  // namespace kestrin
