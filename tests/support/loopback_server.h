// A raw-socket HTTP server on 127.0.0.1 for tests and benchmarks.
//
// It listens on an ephemeral port, keeps every request's raw bytes (request head and body,
// exactly as received) and answers each request with a scripted raw reply: the bytes are
// written as they stand, so a reply can be malformed, cut short, set cookies or redirect.
// After a reply the connection is kept open for the next request, closed, or held open
// without another byte (a stalled server). Bytes that do not start like an HTTP request
// (a TLS handshake, say) are recorded as they are and the connection is closed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kestrin::testing {

// What the server sends for one request, and what it does with the connection afterwards.
struct ScriptedReply {
  enum class Then { keep_open, close, hang };
  std::string bytes;
  Then then = Then::keep_open;
};

// "HTTP/1.1 " + status, a Content-Length line for the body, the extra header lines (each
// given without its CR LF), the blank line and the body.
[[nodiscard]] std::string http_reply(std::string_view status, std::string_view body,
                                     const std::vector<std::string>& header_lines = {});

// One recorded request taken apart: the request line, the header lines in order (without
// CR LF) and the body (everything after the blank line).
struct ParsedRequest {
  std::string request_line;
  std::vector<std::string> header_lines;
  std::string body;
  bool complete = false;  // the head ended with a blank line
};
[[nodiscard]] ParsedRequest parse_request(std::string_view raw);

class LoopbackServer {
 public:
  // Chooses the reply for a request from its raw bytes.
  using Handler = std::function<ScriptedReply(const std::string& request)>;

  // Answers with the queued replies in order, then with "200 OK" and the body "ok".
  LoopbackServer();
  // Answers every request through `handler` (called on the connection's own thread).
  explicit LoopbackServer(Handler handler, bool record = true);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  [[nodiscard]] int port() const { return port_; }
  // "http://127.0.0.1:" + port + path.
  [[nodiscard]] std::string url(std::string_view path) const;

  // Adds a reply for the default handler's queue.
  void queue(ScriptedReply reply);
  void queue(std::string bytes, ScriptedReply::Then then = ScriptedReply::Then::keep_open);

  // Every request received so far, in arrival order.
  [[nodiscard]] std::vector<std::string> requests() const;
  // Waits until at least n requests arrived; false when the time runs out first.
  bool wait_for_requests(std::size_t n, std::chrono::milliseconds timeout) const;
  // Connections accepted so far.
  [[nodiscard]] int connections() const { return connections_.load(); }

  // Closes the listening socket and every connection, and joins the server's threads.
  void stop();

 private:
  void accept_loop();
  void serve(int fd);
  ScriptedReply next_queued(const std::string& request);
  void record(std::string request);
  void hold_open(int fd);

  Handler handler_;
  bool record_requests_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};

  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::vector<std::string> requests_;
  std::deque<ScriptedReply> queued_;
  std::vector<int> open_fds_;
  std::vector<std::thread> workers_;
  std::vector<std::thread::id> finished_;  // workers whose connection is over, to be joined
  std::thread acceptor_;
};

}  // namespace kestrin::testing
