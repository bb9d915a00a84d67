#include "support/loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace kestrin::testing {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

bool iequals_prefix(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  return std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  });
}

// The byte length of the first complete request in `buffer`, or 0 when it is not all there.
std::size_t complete_request_length(std::string_view buffer) {
  const std::size_t head_end = buffer.find("\r\n\r\n");
  if (head_end == std::string_view::npos) return 0;
  std::size_t body_length = 0;
  std::string_view head = buffer.substr(0, head_end + 2);
  std::size_t line_start = head.find("\r\n") + 2;
  while (line_start < head.size()) {
    const std::size_t line_end = head.find("\r\n", line_start);
    const std::string_view line = head.substr(line_start, line_end - line_start);
    if (iequals_prefix(line, "content-length:")) {
      body_length = std::strtoull(std::string(line.substr(15)).c_str(), nullptr, 10);
    }
    line_start = line_end + 2;
  }
  const std::size_t total = head_end + 4 + body_length;
  return buffer.size() >= total ? total : 0;
}

bool send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

}  // namespace

std::string http_reply(std::string_view status, std::string_view body, const std::vector<std::string>& header_lines) {
  std::string reply = "HTTP/1.1 ";
  reply.append(status).append("\r\nContent-Length: ").append(std::to_string(body.size())).append("\r\n");
  for (const std::string& line : header_lines) reply.append(line).append("\r\n");
  reply.append("\r\n").append(body);
  return reply;
}

ParsedRequest parse_request(std::string_view raw) {
  ParsedRequest parsed;
  const std::size_t head_end = raw.find("\r\n\r\n");
  parsed.complete = head_end != std::string_view::npos;
  const std::string_view head = raw.substr(0, parsed.complete ? head_end : raw.size());
  if (parsed.complete) parsed.body = std::string(raw.substr(head_end + 4));

  std::size_t start = 0;
  bool first = true;
  while (start <= head.size()) {
    std::size_t end = head.find("\r\n", start);
    if (end == std::string_view::npos) end = head.size();
    const std::string line(head.substr(start, end - start));
    if (first) {
      parsed.request_line = line;
      first = false;
    } else {
      parsed.header_lines.push_back(line);
    }
    start = end + 2;
  }
  return parsed;
}

LoopbackServer::LoopbackServer()
    : LoopbackServer([this](const std::string& request) { return next_queued(request); }) {}

LoopbackServer::LoopbackServer(Handler handler, bool record) : handler_(std::move(handler)), record_requests_(record) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error("loopback server: socket failed");
  const int on = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listen_fd_, 128) != 0) {
    ::close(listen_fd_);
    throw std::runtime_error("loopback server: bind or listen failed");
  }
  socklen_t length = sizeof address;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { accept_loop(); });
}

LoopbackServer::~LoopbackServer() { stop(); }

std::string LoopbackServer::url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void LoopbackServer::queue(ScriptedReply reply) {
  std::lock_guard lock(mutex_);
  queued_.push_back(std::move(reply));
}

void LoopbackServer::queue(std::string bytes, ScriptedReply::Then then) {
  queue(ScriptedReply{std::move(bytes), then});
}

std::vector<std::string> LoopbackServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

bool LoopbackServer::wait_for_requests(std::size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] { return requests_.size() >= n; });
}

void LoopbackServer::stop() {
  if (stopping_.exchange(true)) return;
  ::shutdown(listen_fd_, SHUT_RDWR);
  if (acceptor_.joinable()) acceptor_.join();
  ::close(listen_fd_);
  std::vector<std::thread> workers;
  {
    std::lock_guard lock(mutex_);
    for (int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
    workers.swap(workers_);
  }
  for (std::thread& worker : workers) worker.join();
}

void LoopbackServer::accept_loop() {
  while (!stopping_) {
    pollfd waiting{listen_fd_, POLLIN, 0};
    if (::poll(&waiting, 1, 100) <= 0) continue;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ++connections_;
    std::vector<std::thread> done;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) {
        ::close(fd);
        break;
      }
      // Threads of closed connections are joined here, so a long benchmark keeps few of them.
      for (const std::thread::id id : finished_) {
        const auto it =
            std::find_if(workers_.begin(), workers_.end(), [id](const std::thread& t) { return t.get_id() == id; });
        if (it == workers_.end()) continue;
        done.push_back(std::move(*it));
        workers_.erase(it);
      }
      finished_.clear();
      open_fds_.push_back(fd);
      workers_.emplace_back([this, fd] { serve(fd); });
    }
    for (std::thread& thread : done) thread.join();
  }
}

ScriptedReply LoopbackServer::next_queued(const std::string&) {
  std::lock_guard lock(mutex_);
  if (queued_.empty()) return {http_reply("200 OK", "ok"), ScriptedReply::Then::keep_open};
  ScriptedReply reply = std::move(queued_.front());
  queued_.pop_front();
  return reply;
}

void LoopbackServer::record(std::string request) {
  std::lock_guard lock(mutex_);
  if (!record_requests_) return;  // a benchmark's server keeps nothing
  requests_.push_back(std::move(request));
  arrived_.notify_all();
}

void LoopbackServer::hold_open(int fd) {
  char sink[4096];
  while (!stopping_) {
    const ssize_t got = ::recv(fd, sink, sizeof sink, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;  // the client went away, or stop() shut the socket down
  }
}

void LoopbackServer::serve(int fd) {
  std::string buffer;
  std::string chunk(kReadChunk, '\0');
  bool open = true;
  while (open && !stopping_) {
    const ssize_t got = ::recv(fd, chunk.data(), chunk.size(), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (!buffer.empty()) record(std::move(buffer));
      break;
    }
    buffer.append(chunk.data(), static_cast<std::size_t>(got));
    if (!std::isupper(static_cast<unsigned char>(buffer.front()))) {
      record(std::move(buffer));  // not HTTP: keep the bytes and hang up
      break;
    }
    while (open) {
      const std::size_t length = complete_request_length(buffer);
      if (length == 0) break;
      std::string request = buffer.substr(0, length);
      buffer.erase(0, length);
      const ScriptedReply reply = handler_(request);
      record(std::move(request));
      if (!send_all(fd, reply.bytes)) {
        open = false;
      } else if (reply.then == ScriptedReply::Then::close) {
        open = false;
      } else if (reply.then == ScriptedReply::Then::hang) {
        hold_open(fd);
        open = false;
      }
    }
  }
  std::lock_guard lock(mutex_);
  open_fds_.erase(std::remove(open_fds_.begin(), open_fds_.end(), fd), open_fds_.end());
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
  finished_.push_back(std::this_thread::get_id());
}

}  // namespace kestrin::testing
