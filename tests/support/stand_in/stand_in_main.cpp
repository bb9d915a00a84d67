// kestrin-stand-in: the primary and the batch rewriting services on one loopback port, for
// tests, benchmarks and trying the tool out. A fixture, never part of the tool.
//
// Usage: kestrin-stand-in [PORT]   (0 or nothing: any free port)
// Prints "kestrin-stand-in listening on 127.0.0.1:PORT" on stdout once it accepts
// connections. What it answers, its knobs and its control endpoints are described in
// stand_in.h next to this file.

#include <arpa/inet.h>
#include <iconv.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "support/stand_in/wire.h"

namespace {

namespace wire = kestrin::test_support::wire;

constexpr std::string_view kSigningKey = "c60f1a2b7d8e09f";
constexpr std::string_view kPrimaryMark = "【改】";
constexpr std::string_view kBatchMark = "【批】";
constexpr std::string_view kCookieName = "kestrin_session";

constexpr std::size_t kMaxHeadBytes = 64 * 1024;
constexpr std::size_t kMaxBodyBytes = std::size_t{512} << 20;
constexpr int kIdleTimeoutMs = 60'000;   // a keep-alive connection idle this long is closed
constexpr int kReadTimeoutMs = 30'000;   // a request that stalls this long is dropped
constexpr std::size_t kMaxRecords = 20'000;
constexpr std::size_t kMaxRecordBytes = std::size_t{256} << 20;  // past either cap, requests are only counted
constexpr int kMaxConnections = 4'000;

// ---------------------------------------------------------------------------------------
// Knobs, counters and recorded requests.

enum class Fault {
  kNone, kDrop, kCut, kHttp500, kHtml, kEmpty, kTruncated, kNul, kNulAfter, kInvalidUtf8,
  kNonGbk, kCrLf, kNoStr, kNoCk, kCkNumber, kCkTrue, kStrNumber, kHuge,
};

constexpr std::pair<Fault, std::string_view> kFaultNames[] = {
    {Fault::kNone, "none"},           {Fault::kDrop, "drop"},
    {Fault::kCut, "cut"},             {Fault::kHttp500, "http500"},
    {Fault::kHtml, "html"},           {Fault::kEmpty, "empty"},
    {Fault::kTruncated, "truncated"}, {Fault::kNul, "nul"},
    {Fault::kNulAfter, "nul_after"},  {Fault::kInvalidUtf8, "invalid_utf8"},
    {Fault::kNonGbk, "non_gbk"},      {Fault::kCrLf, "crlf"},
    {Fault::kNoStr, "no_str"},        {Fault::kNoCk, "no_ck"},
    {Fault::kCkNumber, "ck_number"},  {Fault::kCkTrue, "ck_true"},
    {Fault::kStrNumber, "str_number"}, {Fault::kHuge, "huge"},
};

std::string_view fault_name(Fault f) {
  for (const auto& [fault, name] : kFaultNames) {
    if (fault == f) return name;
  }
  return "none";
}

std::optional<Fault> fault_from(std::string_view name) {
  for (const auto& [fault, text] : kFaultNames) {
    if (text == name) return fault;
  }
  return std::nullopt;
}

struct Settings {
  int delay_ms = 0;
  Fault fault = Fault::kNone;
  std::vector<long long> fault_at;  // service request numbers (1-based since reset)
  long long fault_every = 0;
  long long fault_next = 0;
  double fault_share = 0;
  std::uint64_t fault_seed = 1;
  std::size_t huge_bytes = std::size_t{8} << 20;
};

struct Record {
  long long seq = 0;
  std::string service;  // "primary", "batch" or "other"
  std::string method, target, head, body;
  std::string cookie;          // the Cookie header as sent
  bool cookie_returned = false;
  std::string fault;
  std::string outcome;         // "ok" or the error the answer names
  std::string payload, signature, text;   // primary
  std::string num, file_name, content;    // batch
  std::string reply_str;       // the str member answered (before any fault)
};

struct Counters {
  long long service_requests = 0, primary = 0, batch = 0, rejected = 0, cookie_returned = 0,
            faults = 0, dropped_records = 0;
  int in_flight = 0, max_in_flight = 0;
};

struct State {
  std::mutex mu;
  Settings settings;
  Counters counters;
  std::uint64_t rng = 1;
  long long fault_next_left = 0;
  long long generation = 1;
  bool cookie_set = false;
  std::vector<Record> records;
  std::size_t record_bytes = 0;
};

State& state() {
  static State s;
  return s;
}

std::atomic<int> g_connections_open{0};

// Connections that wait for their next request. Changing the knobs closes them, so that the
// client's next request starts on a fresh connection: a client retries a request whose
// reused connection dies without an answer, which would hide a dropped request.
struct IdleConnections {
  std::mutex mu;
  std::set<int> fds;
};

IdleConnections& idle_connections() {
  static IdleConnections idle;
  return idle;
}

void close_idle_connections() {
  IdleConnections& idle = idle_connections();
  std::lock_guard lock(idle.mu);
  for (const int fd : idle.fds) ::shutdown(fd, SHUT_RDWR);
}
std::atomic<long long> g_connections_total{0};
std::atomic<int> g_max_connections_open{0};

std::string cookie_token(long long generation) {
  return "g" + std::to_string(generation) + "p" + std::to_string(::getpid());
}

// splitmix64: a deterministic sequence per seed.
double next_random(std::uint64_t& s) {
  std::uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) / static_cast<double>(1ULL << 53);
}

// Whether service request n (1-based since reset) gets the fault. Called under the lock.
bool fault_selected(State& s, long long n) {
  const Settings& k = s.settings;
  if (k.fault == Fault::kNone) return false;
  const bool any_rule =
      !k.fault_at.empty() || k.fault_every > 0 || k.fault_next > 0 || k.fault_share > 0;
  if (!any_rule) return true;
  bool hit = std::find(k.fault_at.begin(), k.fault_at.end(), n) != k.fault_at.end();
  if (k.fault_every > 0 && n % k.fault_every == 0) hit = true;
  if (s.fault_next_left > 0) {
    --s.fault_next_left;
    hit = true;
  }
  if (k.fault_share > 0 && next_random(s.rng) < k.fault_share) hit = true;
  return hit;
}

// ---------------------------------------------------------------------------------------
// HTTP plumbing.

struct Request {
  std::string method, target, version, head;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  std::optional<std::string> header(std::string_view name) const {
    for (const auto& [n, v] : headers) {
      if (n.size() == name.size() &&
          std::equal(n.begin(), n.end(), name.begin(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
          })) {
        return v;
      }
    }
    return std::nullopt;
  }
};

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string trim(std::string_view s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string_view::npos) return {};
  const auto e = s.find_last_not_of(" \t");
  return std::string(s.substr(b, e - b + 1));
}

struct Response {
  int status = 200;
  std::string reason = "OK";
  std::string content_type = "application/json; charset=utf-8";
  std::vector<std::string> extra_headers;
  std::string body;
  enum class Action { kSend, kDrop, kCut } action = Action::kSend;
  bool close_after = false;  // end the connection after this answer
};

class Connection {
 public:
  explicit Connection(int fd) : fd_(fd) {}
  ~Connection() {
    set_idle(false);
    ::close(fd_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Reads one request; nullopt when the peer closes, stalls or sends something unusable
  // (in which case `error_reply` may hold an answer to send before closing).
  std::optional<Request> read_request(std::string& error_reply) {
    std::size_t end;
    bool first = true;
    while (true) {
      while (buffer_.starts_with("\r\n")) buffer_.erase(0, 2);  // stray line breaks between requests
      end = buffer_.find("\r\n\r\n");
      if (end != std::string::npos) break;
      if (buffer_.size() > kMaxHeadBytes) {
        error_reply = plain_reply(431, "Request Header Fields Too Large");
        return std::nullopt;
      }
      const bool idle = first && buffer_.empty();
      set_idle(idle);
      const bool more = read_more(idle ? kIdleTimeoutMs : kReadTimeoutMs);
      set_idle(false);
      if (!more) return std::nullopt;
      first = false;
    }
    Request r;
    r.head = buffer_.substr(0, end + 4);
    buffer_.erase(0, end + 4);
    std::string_view head(r.head);
    const auto line_end = head.find("\r\n");
    std::string_view line = head.substr(0, line_end);
    const auto sp1 = line.find(' ');
    const auto sp2 = line.rfind(' ');
    if (sp1 == std::string_view::npos || sp2 == sp1) {
      error_reply = plain_reply(400, "Bad Request");
      return std::nullopt;
    }
    r.method = std::string(line.substr(0, sp1));
    r.target = std::string(line.substr(sp1 + 1, sp2 - sp1 - 1));
    r.version = std::string(line.substr(sp2 + 1));
    std::size_t pos = line_end + 2;
    while (pos < head.size()) {
      const auto next = head.find("\r\n", pos);
      const std::string_view h = head.substr(pos, next - pos);
      pos = next + 2;
      if (h.empty()) break;
      const auto colon = h.find(':');
      if (colon == std::string_view::npos) continue;
      r.headers.emplace_back(trim(h.substr(0, colon)), trim(h.substr(colon + 1)));
    }

    const auto te = r.header("Transfer-Encoding");
    const bool chunked = te && lower(*te).find("chunked") != std::string::npos;
    std::size_t length = 0;
    if (!chunked) {
      if (auto cl = r.header("Content-Length")) {
        const auto [p, ec] = std::from_chars(cl->data(), cl->data() + cl->size(), length);
        if (ec != std::errc() || p != cl->data() + cl->size()) {
          error_reply = plain_reply(400, "Bad Request");
          return std::nullopt;
        }
      }
      if (length > kMaxBodyBytes) {
        error_reply = plain_reply(413, "Payload Too Large");
        return std::nullopt;
      }
    }
    if (auto expect = r.header("Expect"); expect && lower(*expect) == "100-continue") {
      if (!send_all("HTTP/1.1 100 Continue\r\n\r\n")) return std::nullopt;
    }
    if (chunked) {
      if (!read_chunked(r.body, error_reply)) return std::nullopt;
    } else {
      while (buffer_.size() < length) {
        if (!read_more(kReadTimeoutMs)) return std::nullopt;
      }
      r.body = buffer_.substr(0, length);
      buffer_.erase(0, length);
    }
    return r;
  }

  bool send_all(std::string_view data) {
    while (!data.empty()) {
      const ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  // Closes with a reset, so that the client sees the connection dropped rather than ended.
  void reset_hard() {
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }

  static std::string plain_reply(int status, std::string_view reason) {
    const std::string body = std::to_string(status) + " " + std::string(reason) + "\n";
    return "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) +
           "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
  }

 private:
  void set_idle(bool idle) {
    if (idle == idle_) return;
    IdleConnections& registry = idle_connections();
    std::lock_guard lock(registry.mu);
    if (idle) {
      registry.fds.insert(fd_);
    } else {
      registry.fds.erase(fd_);
    }
    idle_ = idle;
  }

  bool read_more(int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    int r;
    do {
      r = ::poll(&p, 1, timeout_ms);
    } while (r < 0 && errno == EINTR);
    if (r <= 0) return false;
    char chunk[64 * 1024];
    ssize_t n;
    do {
      n = ::recv(fd_, chunk, sizeof chunk, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  bool read_line(std::string& line) {
    std::size_t end;
    while ((end = buffer_.find("\r\n")) == std::string::npos) {
      if (buffer_.size() > kMaxHeadBytes || !read_more(kReadTimeoutMs)) return false;
    }
    line = buffer_.substr(0, end);
    buffer_.erase(0, end + 2);
    return true;
  }

  bool read_chunked(std::string& body, std::string& error_reply) {
    while (true) {
      std::string line;
      if (!read_line(line)) return false;
      std::size_t size = 0;
      const auto semi = line.find(';');
      const std::string digits = trim(line.substr(0, semi));
      const auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), size, 16);
      if (digits.empty() || ec != std::errc() || p != digits.data() + digits.size() ||
          body.size() + size > kMaxBodyBytes) {
        error_reply = plain_reply(400, "Bad Request");
        return false;
      }
      if (size == 0) {  // trailers up to the empty line
        while (true) {
          if (!read_line(line)) return false;
          if (line.empty()) return true;
        }
      }
      while (buffer_.size() < size + 2) {
        if (!read_more(kReadTimeoutMs)) return false;
      }
      body.append(buffer_, 0, size);
      buffer_.erase(0, size + 2);
    }
  }

  int fd_;
  bool idle_ = false;
  std::string buffer_;
};

std::string status_line(const Response& r) {
  return "HTTP/1.1 " + std::to_string(r.status) + " " + r.reason + "\r\n";
}

std::string serialize(const Response& r, bool keep_alive) {
  std::string out = status_line(r);
  if (!r.content_type.empty()) out += "Content-Type: " + r.content_type + "\r\n";
  for (const auto& h : r.extra_headers) out += h + "\r\n";
  out += "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
  out += keep_alive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
  out += "Server: kestrin-stand-in\r\n\r\n";
  out += r.body;
  return out;
}

// ---------------------------------------------------------------------------------------
// The services.

constexpr std::string_view kHtmlError =
    "<!DOCTYPE html>\n<html><head><title>500 Internal Server Error</title></head>\n"
    "<body><h1>Internal Server Error</h1><p>The server is busy. Please try again later.</p>"
    "</body></html>\n";

constexpr std::string_view kHtmlPage =
    "<!DOCTYPE html>\n<html><head><title>api.php</title></head>\n"
    "<body><p>服务维护中</p></body></html>\n";

// What a service made of a request, before any fault is applied.
struct Outcome {
  std::optional<std::string> str;  // UTF-8
  std::optional<std::string> ck;   // UTF-8
  std::string error;               // non-empty: answered as {"error": ...}
};

std::size_t leading_marks(std::string_view s, std::string_view mark) {
  std::size_t n = 0;
  while (s.substr(n * mark.size(), mark.size()) == mark) ++n;
  return n;
}

Outcome primary_service(const Request& req, Record& rec) {
  // id=vip&user=admin&str=<payload>&num=1&sign=<signature>, in this order, nothing escaped.
  std::vector<std::string_view> fields;
  std::string_view body(req.body);
  std::size_t start = 0;
  while (true) {
    const auto amp = body.find('&', start);
    fields.push_back(body.substr(start, amp == std::string_view::npos ? std::string_view::npos : amp - start));
    if (amp == std::string_view::npos) break;
    start = amp + 1;
  }
  static constexpr std::string_view kKeys[] = {"id", "user", "str", "num", "sign"};
  std::string_view values[5];
  bool form_ok = fields.size() == 5;
  for (std::size_t i = 0; form_ok && i < 5; ++i) {
    const auto eq = fields[i].find('=');
    if (eq == std::string_view::npos || fields[i].substr(0, eq) != kKeys[i]) {
      form_ok = false;
      break;
    }
    values[i] = fields[i].substr(eq + 1);
  }
  if (form_ok) {
    rec.payload = std::string(values[2]);
    rec.signature = std::string(values[4]);
  }
  if (!form_ok || values[0] != "vip" || values[1] != "admin" || values[3] != "1") {
    return {.str = std::nullopt, .ck = std::nullopt,
            .error = "bad form: expected id=vip&user=admin&str=...&num=1&sign=..."};
  }
  if (wire::md5_hex(std::string(kSigningKey) + rec.payload) != rec.signature) {
    return {.str = std::nullopt, .ck = std::nullopt, .error = "bad signature"};
  }
  auto text = wire::base64_decode(rec.payload);
  if (!text) return {.str = std::nullopt, .ck = std::nullopt, .error = "bad payload: not Base64"};
  rec.text = *text;
  if (!wire::valid_utf8(*text)) {
    return {.str = std::nullopt, .ck = std::nullopt, .error = "bad payload: not UTF-8"};
  }
  std::string str = std::string(kPrimaryMark) + *text;
  std::string ck = "原创度 97% 第" + std::to_string(leading_marks(str, kPrimaryMark)) + "次";
  return {.str = std::move(str), .ck = std::move(ck), .error = {}};
}

struct IconvCloser {
  void operator()(void* cd) const { ::iconv_close(static_cast<iconv_t>(cd)); }
};

// GBK bytes as UTF-8; a byte sequence that is no GBK character becomes U+FFFD.
std::string gbk_to_utf8(std::string_view gbk) {
  std::unique_ptr<void, IconvCloser> cd(::iconv_open("UTF-8", "GBK"));
  if (cd.get() == reinterpret_cast<void*>(-1)) {
    cd.release();
    return {};
  }
  std::string out;
  std::size_t i = 0;
  while (i < gbk.size()) {
    const std::size_t width = static_cast<unsigned char>(gbk[i]) >= 0x81 ? 2 : 1;
    char in_buf[2] = {gbk[i], i + 1 < gbk.size() ? gbk[i + 1] : '\0'};
    char out_buf[8];
    char* in_ptr = in_buf;
    char* out_ptr = out_buf;
    std::size_t in_left = std::min(width, gbk.size() - i);
    std::size_t out_left = sizeof out_buf;
    ::iconv(static_cast<iconv_t>(cd.get()), nullptr, nullptr, nullptr, nullptr);
    if (::iconv(static_cast<iconv_t>(cd.get()), &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<std::size_t>(-1) ||
        in_left != 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    out.append(out_buf, static_cast<std::size_t>(out_ptr - out_buf));
    i += width;
  }
  return out;
}

std::optional<std::string> boundary_of(const Request& req) {
  const auto type = req.header("Content-Type");
  if (!type) return std::nullopt;
  const std::string t = lower(*type);
  if (!t.starts_with("multipart/form-data")) return std::nullopt;
  const auto at = t.find("boundary=");
  if (at == std::string::npos) return std::nullopt;
  std::string b = type->substr(at + 9);
  if (const auto semi = b.find(';'); semi != std::string::npos) b.resize(semi);
  b = trim(b);
  if (b.size() >= 2 && b.front() == '"' && b.back() == '"') b = b.substr(1, b.size() - 2);
  if (b.empty()) return std::nullopt;
  return b;
}

struct Part {
  std::string head;  // the part's header lines
  std::string data;
};

// The parts of a multipart body, or nullopt when it is not well formed.
std::optional<std::vector<Part>> split_parts(std::string_view body, const std::string& boundary) {
  const std::string delimiter = "--" + boundary;
  if (!body.starts_with(delimiter)) return std::nullopt;
  std::vector<Part> parts;
  std::size_t pos = delimiter.size();
  while (true) {
    if (body.substr(pos, 2) == "--") return parts;  // closing delimiter
    if (body.substr(pos, 2) != "\r\n") return std::nullopt;
    pos += 2;
    const auto head_end = body.find("\r\n\r\n", pos);
    if (head_end == std::string_view::npos) return std::nullopt;
    Part part;
    part.head = std::string(body.substr(pos, head_end - pos));
    const auto data_start = head_end + 4;
    const auto next = body.find("\r\n" + delimiter, data_start);
    if (next == std::string_view::npos) return std::nullopt;
    part.data = std::string(body.substr(data_start, next - data_start));
    parts.push_back(std::move(part));
    pos = next + 2 + delimiter.size();
  }
}

// The value of name="..." or filename="..." inside a Content-Disposition line, bytes as they are.
std::optional<std::string> disposition_value(std::string_view head, std::string_view key) {
  const std::string marker = "; " + std::string(key) + "=\"";
  const auto at = head.find(marker);
  if (at == std::string_view::npos) return std::nullopt;
  const auto start = at + marker.size();
  const auto end = head.find('"', start);
  if (end == std::string_view::npos) return std::nullopt;
  return std::string(head.substr(start, end - start));
}

Outcome batch_service(const Request& req, Record& rec) {
  const auto boundary = boundary_of(req);
  if (!boundary) return {.str = std::nullopt, .ck = std::nullopt, .error = "bad upload: no multipart boundary"};
  const auto parts = split_parts(req.body, *boundary);
  if (!parts || parts->size() != 2 || disposition_value((*parts)[0].head, "name") != "num" ||
      disposition_value((*parts)[1].head, "name") != "file") {
    return {.str = std::nullopt, .ck = std::nullopt, .error = "bad upload: expected the fields num and file"};
  }
  rec.num = (*parts)[0].data;
  rec.file_name = disposition_value((*parts)[1].head, "filename").value_or("");
  rec.content = (*parts)[1].data;
  const std::string text = wire::valid_utf8(rec.content) ? rec.content : gbk_to_utf8(rec.content);
  return {.str = std::string(kBatchMark) + text, .ck = std::nullopt, .error = {}};
}

// The JSON answer for an outcome, shaped by the fault.
std::string reply_json(const Outcome& o, Fault f, std::size_t huge_bytes) {
  if (!o.error.empty()) return "{\"error\":" + wire::json_quote(o.error) + "}";
  std::string str_inner = o.str ? wire::json_escape(*o.str) : std::string();
  switch (f) {
    case Fault::kInvalidUtf8: str_inner += "\xFF"; break;
    case Fault::kNonGbk: str_inner += "\xF0\x9F\x98\x80"; break;  // U+1F600, no GBK form
    case Fault::kCrLf: str_inner += "\\r\\n"; break;
    case Fault::kNul: str_inner.insert(0, 1, '\0'); break;
    default: break;
  }
  std::vector<std::string> members;
  if (o.str && f != Fault::kNoStr) {
    members.push_back(f == Fault::kStrNumber ? "\"str\":85" : "\"str\":\"" + str_inner + "\"");
  }
  if (f == Fault::kCkNumber) {
    members.emplace_back("\"ck\":85");
  } else if (f == Fault::kCkTrue) {
    members.emplace_back("\"ck\":true");
  } else if (o.ck && f != Fault::kNoCk) {
    members.push_back("\"ck\":" + wire::json_quote(*o.ck));
  }
  std::string json = "{";
  for (std::size_t i = 0; i < members.size(); ++i) json += (i ? "," : "") + members[i];
  if (f == Fault::kHuge) {
    const std::size_t fixed = json.size() + 10;  // ,"pad":"" and }
    json += std::string(members.empty() ? "" : ",") + "\"pad\":\"" +
            std::string(huge_bytes > fixed ? huge_bytes - fixed : 0, 'x') + "\"";
  }
  json += "}";
  if (f == Fault::kTruncated) json.resize(json.size() / 2);
  if (f == Fault::kNulAfter) json += std::string("\0garbage 垃圾", 15);
  return json;
}

// ---------------------------------------------------------------------------------------
// Control endpoints.

std::string settings_json(const Settings& k) {
  std::string at = "[";
  for (std::size_t i = 0; i < k.fault_at.size(); ++i) at += (i ? "," : "") + std::to_string(k.fault_at[i]);
  at += "]";
  char share[32];
  std::snprintf(share, sizeof share, "%.17g", k.fault_share);
  return "{\"delay_ms\":" + std::to_string(k.delay_ms) + ",\"fault\":\"" + std::string(fault_name(k.fault)) +
         "\",\"fault_at\":" + at + ",\"fault_every\":" + std::to_string(k.fault_every) +
         ",\"fault_next\":" + std::to_string(k.fault_next) + ",\"fault_share\":" + share +
         ",\"fault_seed\":" + std::to_string(k.fault_seed) + ",\"huge_bytes\":" + std::to_string(k.huge_bytes) + "}";
}

template <typename T>
bool parse_number(std::string_view s, T& out) {
  const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && p == s.data() + s.size();
}

// Applies "key=value&key=value" to the settings; the error names the first bad pair.
std::string apply_settings(std::string_view form, Settings& k, long long& fault_next_left, std::uint64_t& rng) {
  std::size_t start = 0;
  while (start <= form.size()) {
    auto amp = form.find('&', start);
    if (amp == std::string_view::npos) amp = form.size();
    const std::string_view pair = form.substr(start, amp - start);
    start = amp + 1;
    if (pair.empty()) continue;
    const auto eq = pair.find('=');
    const std::string_view key = pair.substr(0, eq);
    const std::string_view value = eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
    bool ok = true;
    if (key == "delay_ms") {
      ok = parse_number(value, k.delay_ms) && k.delay_ms >= 0;
    } else if (key == "fault") {
      const auto f = fault_from(value);
      ok = f.has_value();
      if (ok) k.fault = *f;
    } else if (key == "fault_at") {
      k.fault_at.clear();
      std::size_t p = 0;
      while (ok && p < value.size()) {
        auto comma = value.find(',', p);
        if (comma == std::string_view::npos) comma = value.size();
        long long n = 0;
        ok = parse_number(value.substr(p, comma - p), n);
        k.fault_at.push_back(n);
        p = comma + 1;
      }
    } else if (key == "fault_every") {
      ok = parse_number(value, k.fault_every);
    } else if (key == "fault_next") {
      ok = parse_number(value, k.fault_next);
      fault_next_left = k.fault_next;
    } else if (key == "fault_share") {
      const std::string v(value);
      char* end = nullptr;
      k.fault_share = std::strtod(v.c_str(), &end);
      ok = !v.empty() && end == v.c_str() + v.size() && k.fault_share >= 0 && k.fault_share <= 1;
    } else if (key == "fault_seed") {
      ok = parse_number(value, k.fault_seed);
      rng = k.fault_seed;
    } else if (key == "huge_bytes") {
      ok = parse_number(value, k.huge_bytes) && k.huge_bytes <= (std::size_t{1} << 30);
    } else {
      ok = false;
    }
    if (!ok) return "bad setting: " + std::string(pair);
  }
  return {};
}

std::string stats_json() {
  State& s = state();
  std::lock_guard lock(s.mu);
  const Counters& c = s.counters;
  return "{\"service_requests\":" + std::to_string(c.service_requests) +
         ",\"primary_requests\":" + std::to_string(c.primary) + ",\"batch_requests\":" + std::to_string(c.batch) +
         ",\"rejected\":" + std::to_string(c.rejected) + ",\"cookie_returned\":" + std::to_string(c.cookie_returned) +
         ",\"faults\":" + std::to_string(c.faults) + ",\"in_flight\":" + std::to_string(c.in_flight) +
         ",\"max_in_flight\":" + std::to_string(c.max_in_flight) +
         ",\"connections_open\":" + std::to_string(g_connections_open.load()) +
         ",\"max_connections_open\":" + std::to_string(g_max_connections_open.load()) +
         ",\"connections_total\":" + std::to_string(g_connections_total.load()) +
         ",\"records\":" + std::to_string(s.records.size()) +
         ",\"dropped_records\":" + std::to_string(c.dropped_records) +
         ",\"cookie\":" + wire::json_quote(std::string(kCookieName) + "=" + cookie_token(s.generation)) +
         ",\"settings\":" + settings_json(s.settings) + "}";
}

std::string record_json(const Record& r) {
  auto b64 = [](const std::string& s) { return wire::json_quote(wire::base64_encode(s)); };
  return "{\"seq\":" + std::to_string(r.seq) + ",\"service\":" + wire::json_quote(r.service) +
         ",\"method\":" + wire::json_quote(r.method) + ",\"target_b64\":" + b64(r.target) +
         ",\"head_b64\":" + b64(r.head) + ",\"body_b64\":" + b64(r.body) + ",\"cookie_b64\":" + b64(r.cookie) +
         ",\"cookie_returned\":" + (r.cookie_returned ? "true" : "false") + ",\"fault\":" + wire::json_quote(r.fault) +
         ",\"outcome\":" + wire::json_quote(r.outcome) + ",\"payload_b64\":" + b64(r.payload) +
         ",\"signature_b64\":" + b64(r.signature) + ",\"text_b64\":" + b64(r.text) + ",\"num_b64\":" + b64(r.num) +
         ",\"file_name_b64\":" + b64(r.file_name) + ",\"content_b64\":" + b64(r.content) +
         ",\"reply_str_b64\":" + b64(r.reply_str) + "}";
}

std::string records_json(long long from) {
  State& s = state();
  std::lock_guard lock(s.mu);
  std::string out = "[";
  bool first = true;
  for (const Record& r : s.records) {
    if (r.seq < from) continue;
    if (!first) out += ",";
    first = false;
    out += record_json(r);
  }
  return out + "]";
}

std::string query_of(std::string_view target) {
  const auto q = target.find('?');
  return q == std::string_view::npos ? std::string() : std::string(target.substr(q + 1));
}

std::string path_of(std::string_view target) { return std::string(target.substr(0, target.find('?'))); }

Response json_response(int status, std::string reason, std::string body) {
  Response r;
  r.status = status;
  r.reason = std::move(reason);
  r.body = std::move(body);
  return r;
}

Response control(const Request& req) {
  const std::string path = path_of(req.target);
  State& s = state();
  if ((path == "/_control" || path == "/_reset") && req.method == "POST") close_idle_connections();
  if (path == "/_control" && req.method == "POST") {
    std::lock_guard lock(s.mu);
    Settings next = s.settings;
    long long next_left = s.fault_next_left;
    std::uint64_t rng = s.rng;
    std::string error = apply_settings(query_of(req.target), next, next_left, rng);
    if (error.empty()) error = apply_settings(req.body, next, next_left, rng);
    if (!error.empty()) return json_response(400, "Bad Request", "{\"error\":" + wire::json_quote(error) + "}");
    s.settings = next;
    s.fault_next_left = next_left;
    s.rng = rng;
    return json_response(200, "OK", settings_json(s.settings));
  }
  if (path == "/_reset" && req.method == "POST") {
    std::lock_guard lock(s.mu);
    const int in_flight = s.counters.in_flight;
    s.settings = Settings{};
    s.counters = Counters{};
    s.counters.in_flight = in_flight;
    s.rng = s.settings.fault_seed;
    s.fault_next_left = 0;
    ++s.generation;
    s.cookie_set = false;
    s.records.clear();
    s.record_bytes = 0;
    g_max_connections_open = g_connections_open.load();
    return json_response(200, "OK", "{\"reset\":true}");
  }
  if (path == "/_stats" && req.method == "GET") return json_response(200, "OK", stats_json());
  if (path == "/_requests" && req.method == "GET") {
    long long from = 0;
    const std::string q = query_of(req.target);
    if (q.starts_with("from=")) (void)parse_number(std::string_view(q).substr(5), from);
    return json_response(200, "OK", records_json(from));
  }
  if (path == "/_health") return json_response(200, "OK", "{\"ok\":true}");
  return json_response(404, "Not Found", "{\"error\":\"no such endpoint\"}");
}

Response service(const Request& req) {
  State& s = state();
  Record rec;
  rec.method = req.method;
  rec.target = req.target;
  rec.head = req.head;
  rec.body = req.body;
  rec.cookie = req.header("Cookie").value_or("");
  const bool is_batch = boundary_of(req).has_value() ||
                        lower(req.header("Content-Type").value_or("")).starts_with("multipart/");
  rec.service = req.method != "POST" ? "other" : is_batch ? "batch" : "primary";

  Fault fault = Fault::kNone;
  int delay_ms = 0;
  std::size_t huge_bytes = 0;
  bool set_cookie = false;
  bool close_after = false;
  std::string token;
  {
    std::lock_guard lock(s.mu);
    const long long n = ++s.counters.service_requests;
    rec.seq = n;
    if (rec.service == "primary") ++s.counters.primary;
    if (rec.service == "batch") ++s.counters.batch;
    token = cookie_token(s.generation);
    const std::string expected = std::string(kCookieName) + "=" + token;
    // The cookie counts when one of the Cookie header's pairs is exactly ours.
    std::string_view rest(rec.cookie);
    while (!rest.empty()) {
      const auto semi = rest.find(';');
      if (trim(rest.substr(0, semi)) == expected) rec.cookie_returned = true;
      if (semi == std::string_view::npos) break;
      rest.remove_prefix(semi + 1);
    }
    if (rec.cookie_returned) ++s.counters.cookie_returned;
    if (fault_selected(s, n)) {
      fault = s.settings.fault;
      ++s.counters.faults;
    }
    delay_ms = s.settings.delay_ms;
    // While requests may be dropped, no connection is reused, so that no drop is retried.
    close_after = s.settings.fault == Fault::kDrop;
    huge_bytes = s.settings.huge_bytes;
    if (!s.cookie_set && fault != Fault::kDrop) {
      s.cookie_set = true;
      set_cookie = true;
    }
    s.counters.max_in_flight = std::max(s.counters.max_in_flight, ++s.counters.in_flight);
  }
  if (delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));

  Outcome outcome;
  if (rec.service == "other") {
    outcome.error = "method not allowed: POST the form or the upload";
  } else {
    outcome = rec.service == "batch" ? batch_service(req, rec) : primary_service(req, rec);
  }
  rec.outcome = outcome.error.empty() ? "ok" : outcome.error;
  rec.reply_str = outcome.str.value_or("");
  rec.fault = std::string(fault_name(fault));

  Response resp;
  if (fault == Fault::kHttp500) {
    resp.status = 500;
    resp.reason = "Internal Server Error";
    resp.content_type = "text/html; charset=utf-8";
    resp.body = std::string(kHtmlError);
  } else if (fault == Fault::kHtml) {
    resp.content_type = "text/html; charset=utf-8";
    resp.body = std::string(kHtmlPage);
  } else if (fault == Fault::kEmpty) {
    resp.body.clear();
  } else {
    resp.body = reply_json(outcome, fault, huge_bytes);
  }
  resp.close_after = close_after;
  if (fault == Fault::kDrop) resp.action = Response::Action::kDrop;
  if (fault == Fault::kCut) resp.action = Response::Action::kCut;
  if (set_cookie) {
    resp.extra_headers.push_back("Set-Cookie: " + std::string(kCookieName) + "=" + token + "; Path=/; HttpOnly");
  }

  {
    std::lock_guard lock(s.mu);
    --s.counters.in_flight;
    if (!outcome.error.empty()) ++s.counters.rejected;
    const std::size_t bytes = rec.head.size() + rec.body.size() + rec.payload.size() + rec.text.size() +
                              rec.content.size() + rec.reply_str.size();
    if (s.records.size() < kMaxRecords && s.record_bytes + bytes <= kMaxRecordBytes) {
      s.record_bytes += bytes;
      s.records.push_back(std::move(rec));
    } else {
      ++s.counters.dropped_records;
    }
  }
  return resp;
}

void serve(int fd) {
  Connection conn(fd);
  while (true) {
    std::string error_reply;
    auto req = conn.read_request(error_reply);
    if (!req) {
      if (!error_reply.empty()) (void)conn.send_all(error_reply);
      return;
    }
    const std::string conn_header = lower(req->header("Connection").value_or(""));
    const bool keep_alive = req->version == "HTTP/1.1" ? conn_header != "close" : conn_header == "keep-alive";
    const std::string path = path_of(req->target);
    Response resp = path == "/api.php" ? service(*req) : control(*req);
    if (resp.action == Response::Action::kDrop) {
      conn.reset_hard();
      return;
    }
    const bool keep_open = keep_alive && !resp.close_after && resp.action == Response::Action::kSend;
    const std::string wire_bytes = serialize(resp, keep_open);
    if (resp.action == Response::Action::kCut) {
      // The head promises the whole body; half of it arrives before the connection ends.
      const std::size_t head_size = wire_bytes.size() - resp.body.size();
      (void)conn.send_all(std::string_view(wire_bytes).substr(0, head_size + resp.body.size() / 2));
      conn.reset_hard();
      return;
    }
    if (!conn.send_all(wire_bytes) || !keep_open) return;
  }
}

void usage() {
  std::fputs(
      "usage: kestrin-stand-in [PORT]\n"
      "Serves the primary and the batch rewriting services at http://127.0.0.1:PORT/api.php\n"
      "(PORT 0 or left out: any free port, printed on stdout). Control: POST /_control,\n"
      "POST /_reset, GET /_stats, GET /_requests. Stop it with Ctrl-C.\n",
      stderr);
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  if (argc > 2 || (argc == 2 && (!parse_number(std::string_view(argv[1]), port) || port < 0 || port > 65535))) {
    usage();
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);

  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) {
    std::perror("kestrin-stand-in: socket");
    return 1;
  }
  const int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener, 1024) != 0) {
    std::perror("kestrin-stand-in: bind/listen");
    return 1;
  }
  socklen_t len = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  std::printf("kestrin-stand-in listening on 127.0.0.1:%d\n", ntohs(addr.sin_port));
  std::fflush(stdout);

  while (true) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      std::perror("kestrin-stand-in: accept");
      return 1;
    }
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (g_connections_open.load() >= kMaxConnections) {
      ::close(fd);
      continue;
    }
    const int open = ++g_connections_open;
    ++g_connections_total;
    int seen = g_max_connections_open.load();
    while (open > seen && !g_max_connections_open.compare_exchange_weak(seen, open)) {
    }
    try {
      std::thread([fd] {
        serve(fd);
        --g_connections_open;
      }).detach();
    } catch (const std::system_error&) {
      ::close(fd);
      --g_connections_open;
    }
  }
}
