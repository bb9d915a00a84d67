#include "support/stand_in/stand_in.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <iconv.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "support/stand_in/wire.h"

#ifndef KESTRIN_STAND_IN_PATH
#define KESTRIN_STAND_IN_PATH "kestrin-stand-in"
#endif

namespace kestrin::test_support {

namespace {

constexpr int kStartTimeoutMs = 15'000;
constexpr int kExchangeTimeoutMs = 30'000;

struct IconvCloser {
  void operator()(void* cd) const { ::iconv_close(static_cast<iconv_t>(cd)); }
};

// Converts between two iconv charsets one character at a time; what fails becomes "?".
std::string convert(std::string_view in, const char* to, const char* from) {
  std::unique_ptr<void, IconvCloser> cd(::iconv_open(to, from));
  if (cd.get() == reinterpret_cast<void*>(-1)) {
    (void)cd.release();
    return {};
  }
  std::string out;
  std::string buf(in.size() * 4 + 16, '\0');
  char* in_ptr = const_cast<char*>(in.data());
  std::size_t in_left = in.size();
  while (in_left > 0) {
    char* out_ptr = buf.data();
    std::size_t out_left = buf.size();
    const std::size_t r = ::iconv(static_cast<iconv_t>(cd.get()), &in_ptr, &in_left, &out_ptr, &out_left);
    out.append(buf.data(), static_cast<std::size_t>(out_ptr - buf.data()));
    if (r == static_cast<std::size_t>(-1)) {
      if (errno == E2BIG) continue;
      out += '?';
      // Skip one whole UTF-8 sequence, or one byte of anything else.
      std::size_t skip = 1;
      if (std::string_view(from) == "UTF-8") {
        const auto lead = static_cast<unsigned char>(*in_ptr);
        skip = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (skip > in_left) skip = in_left;
        for (std::size_t k = 1; k < skip; ++k) {
          if ((static_cast<unsigned char>(in_ptr[k]) & 0xC0) != 0x80) {
            skip = k;
            break;
          }
        }
      }
      in_ptr += skip;
      in_left -= skip;
      ::iconv(static_cast<iconv_t>(cd.get()), nullptr, nullptr, nullptr, nullptr);
    }
  }
  return out;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string settings_form(const StandInSettings& k) {
  std::string at;
  for (std::size_t i = 0; i < k.fault_at.size(); ++i) at += (i ? "," : "") + std::to_string(k.fault_at[i]);
  char share[32];
  std::snprintf(share, sizeof share, "%.17g", k.fault_share);
  return "delay_ms=" + std::to_string(k.delay_ms) + "&fault=" + k.fault + "&fault_at=" + at +
         "&fault_every=" + std::to_string(k.fault_every) + "&fault_next=" + std::to_string(k.fault_next) +
         "&fault_share=" + share + "&fault_seed=" + std::to_string(k.fault_seed) +
         "&huge_bytes=" + std::to_string(k.huge_bytes);
}

std::string from_b64(const wire::JsonValue& v, std::string_view name) {
  return wire::base64_decode(v.text(name)).value_or(std::string());
}

}  // namespace

std::string primary_check_utf8(int marks) { return "原创度 97% 第" + std::to_string(marks) + "次"; }

std::string gbk(std::string_view utf8_text) { return convert(utf8_text, "GBK", "UTF-8"); }
std::string utf8(std::string_view gbk_bytes) { return convert(gbk_bytes, "UTF-8", "GBK"); }

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  const std::string wanted = lower(name);
  std::size_t pos = head.find("\r\n");
  while (pos != std::string::npos && pos + 2 < head.size()) {
    const std::size_t start = pos + 2;
    const std::size_t end = head.find("\r\n", start);
    const std::string_view line = std::string_view(head).substr(start, end - start);
    pos = end;
    const auto colon = line.find(':');
    if (colon == std::string_view::npos || lower(line.substr(0, colon)) != wanted) continue;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    return std::string(value);
  }
  return std::nullopt;
}

StandIn::StandIn() {
  const char* override_path = std::getenv("KESTRIN_STAND_IN_PROGRAM");
  const std::string program = override_path && *override_path ? override_path : KESTRIN_STAND_IN_PATH;
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    error_ = "pipe failed";
    return;
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    error_ = "fork failed";
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    return;
  }
  if (pid == 0) {
    // Child: only async-signal-safe calls until exec.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(1);
    ::dup2(pipe_fds[1], STDOUT_FILENO);
    ::execl(program.c_str(), program.c_str(), "0", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  pid_ = pid;
  ::close(pipe_fds[1]);

  // The program prints "... listening on 127.0.0.1:PORT" once it accepts connections.
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  while (line.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{pipe_fds[0], POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    char buf[256];
    const ssize_t n = ::read(pipe_fds[0], buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<std::size_t>(n));
  }
  ::close(pipe_fds[0]);
  const auto colon = line.rfind(':');
  if (line.find("listening on 127.0.0.1:") == std::string::npos || colon == std::string::npos) {
    error_ = "the stand-in (" + program + ") did not start: \"" + line + "\"";
    stop();
    return;
  }
  port_ = std::atoi(line.c_str() + colon + 1);
  if (port_ <= 0) {
    error_ = "the stand-in printed no port: \"" + line + "\"";
    stop();
  }
}

StandIn::~StandIn() { stop(); }

void StandIn::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  for (int i = 0; i < 200; ++i) {  // up to 2 s for a clean end
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::string StandIn::host() const { return "127.0.0.1:" + std::to_string(port_); }

std::string StandIn::service_url() const { return "http://" + host() + "/api.php"; }

void StandIn::export_hosts() const {
  ::setenv("KESTRIN_PRIMARY_HOST", host().c_str(), 1);
  ::setenv("KESTRIN_BATCH_HOST", host().c_str(), 1);
}

std::optional<std::pair<int, std::string>> StandIn::exchange(std::string_view method, std::string_view target,
                                                             std::string_view body,
                                                             std::string_view extra_headers) {
  if (!ok()) return std::nullopt;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port_));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return std::nullopt;
  std::string request = std::string(method) + " " + std::string(target) + " HTTP/1.1\r\nHost: " + host() +
                        "\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
                        std::string(extra_headers) + "\r\n" + std::string(body);
  std::string_view rest(request);
  while (!rest.empty()) {
    const ssize_t n = ::send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  std::string reply;
  while (true) {
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, kExchangeTimeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return std::nullopt;
    char buf[64 * 1024];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    reply.append(buf, static_cast<std::size_t>(n));
  }
  const auto head_end = reply.find("\r\n\r\n");
  if (!reply.starts_with("HTTP/1.1 ") || head_end == std::string::npos) return std::nullopt;
  return std::make_pair(std::atoi(reply.c_str() + 9), reply.substr(head_end + 4));
}

bool StandIn::configure(const StandInSettings& settings) {
  const auto r = exchange("POST", "/_control", settings_form(settings));
  return r && r->first == 200;
}

bool StandIn::reset() {
  const auto r = exchange("POST", "/_reset");
  return r && r->first == 200;
}

std::optional<StandInStats> StandIn::stats() {
  const auto r = exchange("GET", "/_stats");
  if (!r || r->first != 200) return std::nullopt;
  const auto v = wire::json_read(r->second);
  if (!v) return std::nullopt;
  StandInStats s;
  s.service_requests = v->integer("service_requests");
  s.primary_requests = v->integer("primary_requests");
  s.batch_requests = v->integer("batch_requests");
  s.rejected = v->integer("rejected");
  s.cookie_returned = v->integer("cookie_returned");
  s.faults = v->integer("faults");
  s.in_flight = v->integer("in_flight");
  s.max_in_flight = v->integer("max_in_flight");
  s.max_connections_open = v->integer("max_connections_open");
  s.connections_total = v->integer("connections_total");
  s.records = v->integer("records");
  s.cookie = v->text("cookie");
  return s;
}

std::vector<RecordedRequest> StandIn::requests(long long from_seq) {
  std::vector<RecordedRequest> out;
  const auto r = exchange("GET", "/_requests?from=" + std::to_string(from_seq));
  if (!r || r->first != 200) return out;
  const auto v = wire::json_read(r->second);
  if (!v) return out;
  for (const wire::JsonValue& item : v->items) {
    RecordedRequest rec;
    rec.seq = item.integer("seq");
    rec.service = item.text("service");
    rec.method = item.text("method");
    rec.target = from_b64(item, "target_b64");
    rec.head = from_b64(item, "head_b64");
    rec.body = from_b64(item, "body_b64");
    rec.cookie = from_b64(item, "cookie_b64");
    rec.cookie_returned = item.flag("cookie_returned");
    rec.fault = item.text("fault");
    rec.outcome = item.text("outcome");
    rec.payload = from_b64(item, "payload_b64");
    rec.signature = from_b64(item, "signature_b64");
    rec.text = from_b64(item, "text_b64");
    rec.num = from_b64(item, "num_b64");
    rec.file_name = from_b64(item, "file_name_b64");
    rec.content = from_b64(item, "content_b64");
    rec.reply_str = from_b64(item, "reply_str_b64");
    out.push_back(std::move(rec));
  }
  return out;
}

StandIn& shared_stand_in() {
  static StandIn instance;
  if (instance.ok()) instance.export_hosts();
  return instance;
}

}  // namespace kestrin::test_support
