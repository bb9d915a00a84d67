// http_request on libcurl.
//
// How the exact request is kept on the wire:
// - A URL holding CR or LF, a host that is not a plain host name (letters, digits, '-', '.',
//   '_') or a port outside 1 to 65535 fails the call before anything is sent.
// - The request line carries the path from url_path byte for byte through
//   CURLOPT_REQUEST_TARGET; libcurl would otherwise reject a space, drop a "#fragment" and
//   fold "/../" segments. The URL given to libcurl (for the connection and for matching
//   cookie paths) carries the same path with spaces, control bytes, '#' and bytes of 0x80
//   and above percent-encoded. Through a plain-http proxy the target is the absolute
//   "http://host[:port]" + path, as a proxy expects it.
// - Because a request target would stick to every followed request, redirects are followed
//   here, hop by hop, each hop with its own easy handle: 301, 302 and 303 turn a body-carrying
//   request into one without a body (POST becomes GET, HEAD stays HEAD), 307 and 308 repeat
//   it. Cookie, Authorization and Host lines of the header text are not carried to another
//   scheme, host or port. An https URL is never redirected to plain http; a redirect that
//   cannot be followed, or more than 20 of them, fails the call.
// - The header text goes out one header per non-empty line, in its order (a bare CR or LF
//   also ends a line, so none reaches the wire inside a header). A line whose value is
//   blank is sent as "Name:" (libcurl would otherwise read it as "drop this header"); a line
//   without a name and a colon is no header and is left out. Accept, Expect (100-continue),
//   Content-Type and Proxy-Connection are suppressed unless the header text has them, so the
//   client adds only Host, User-Agent and Content-Length of its own. A User-Agent line in
//   the header text takes the place of the client's own.
// - The cookie engine runs only for calls that leave `cookies` out, on one process-wide
//   store. A Cookie line of their header text is merged into the engine's one Cookie line
//   (CURLOPT_COOKIE), so a request never carries two.
// - A HEAD with an empty body is libcurl's own HEAD, without a Content-Length line.
// - Failures give empty Bytes and 5000 spaces in headers_out: nothing received or sent for
//   the stall time-out, a reply body over the size limit, or no complete reply header block.
//   A reply cut short in its body gives the bytes read so far, with its headers.
// - headers_out is the final reply's status line and header lines, each ending in CR LF,
//   and the empty line that ends the block: "HTTP/1.1 200 OK\r\n...\r\n\r\n".
// - Connections are kept between calls in one connection cache per thread (a multi handle
//   that lives as long as its thread); libcurl cannot share one cache safely across threads.
#include "http/http_request.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "http/url.h"
#include "text/text_ops.h"

namespace kestrin {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kDefaultAgent = "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";
constexpr std::size_t kHeaderBufferSize = 5000;  // holds at most 4999 characters
constexpr int kMaxRedirects = 20;

// ---- owning wrappers ------------------------------------------------------------------------

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct MultiDeleter {
  void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
struct ShareDeleter {
  void operator()(CURLSH* handle) const { curl_share_cleanup(handle); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct UrlDeleter {
  void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
struct CurlStringDeleter {
  void operator()(char* text) const { curl_free(text); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;
using ShareHandle = std::unique_ptr<CURLSH, ShareDeleter>;
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;
using CurlString = std::unique_ptr<char, CurlStringDeleter>;

// ---- process-wide state ---------------------------------------------------------------------

void ensure_curl_ready() {
  static const CURLcode ready = curl_global_init(CURL_GLOBAL_DEFAULT);
  (void)ready;
}

// The one cookie store of the process, guarded by a mutex per kind of shared data.
class CookieStore {
 public:
  CookieStore() : share_(curl_share_init()) {
    if (!share_) return;
    curl_share_setopt(share_.get(), CURLSHOPT_LOCKFUNC, &CookieStore::lock);
    curl_share_setopt(share_.get(), CURLSHOPT_UNLOCKFUNC, &CookieStore::unlock);
    curl_share_setopt(share_.get(), CURLSHOPT_USERDATA, this);
    if (curl_share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE) != CURLSHE_OK) share_.reset();
  }
  [[nodiscard]] CURLSH* get() const { return share_.get(); }

 private:
  std::mutex& mutex_for(curl_lock_data data) {
    const auto index = static_cast<std::size_t>(data);
    return mutexes_[index < mutexes_.size() ? index : 0];
  }
  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<CookieStore*>(self)->mutex_for(data).lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<CookieStore*>(self)->mutex_for(data).unlock();
  }

  std::array<std::mutex, CURL_LOCK_DATA_LAST> mutexes_;
  ShareHandle share_;
};

CURLSH* cookie_store() {
  // Never destroyed: batch jobs are not joined, so one may still be inside a call while the
  // process exits.
  static CookieStore* const store = new CookieStore();
  return store->get();
}

// This thread's connection cache. Every call owns its easy handles; the multi handle only
// keeps the idle connections between calls, and is released when the thread ends.
CURLM* thread_connections() {
  thread_local const MultiHandle multi(curl_multi_init());
  return multi.get();
}

std::mutex& limits_mutex() {
  static std::mutex mutex;
  return mutex;
}
HttpLimits& limits_in_force() {
  static HttpLimits limits = kDefaultHttpLimits;
  return limits;
}

// ---- small helpers --------------------------------------------------------------------------

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool is_blank(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c == ' ' || c == '\t'; });
}

// A host libcurl will take as a plain host name: letters, digits, '-', '.', '_'.
bool is_plain_host(std::string_view host) {
  return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
  });
}

// The path as libcurl's URL parser accepts it; the request line still gets the original.
std::string url_safe_path(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string safe;
  safe.reserve(path.size());
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || c == '#') {
      safe += '%';
      safe += kHex[byte >> 4];
      safe += kHex[byte & 0x0F];
    } else {
      safe += c;
    }
  }
  return safe;
}

// The header text's non-empty lines, in order.
std::vector<std::string> header_lines_of(const Text& header_text) {
  std::vector<std::string> lines;
  for (const Text& piece : split_on(header_text, "\r\n")) {
    std::string_view rest = piece.view();
    while (!rest.empty()) {
      const std::size_t end = rest.find_first_of("\r\n");
      const std::string_view line = rest.substr(0, end);
      if (!line.empty()) lines.emplace_back(line);
      if (end == std::string_view::npos) break;
      rest.remove_prefix(end + 1);
    }
  }
  return lines;
}

// The name of a header line: the text before its first ':' (empty when there is none).
std::string_view header_name(std::string_view line) {
  const std::size_t colon = line.find(':');
  return colon == std::string_view::npos ? std::string_view() : line.substr(0, colon);
}

bool has_header(const std::vector<std::string>& lines, std::string_view name) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return iequals(header_name(line), name); });
}

// ---- one hop of the exchange ----------------------------------------------------------------

enum class Verb { get, post, head };

struct Origin {
  std::string scheme;
  std::string host;
  long port = 0;
  friend bool operator==(const Origin&, const Origin&) = default;
};

struct Hop {
  std::string curl_url;
  std::string target;  // empty: the path of curl_url
  Origin origin;
  Verb verb = Verb::get;
  bool with_body = false;
};

// What the callbacks gather during one hop.
struct Reply {
  std::size_t max_body = 0;
  std::string body;
  bool over_limit = false;

  std::string block;  // the current header block, its first kHeaderBufferSize bytes
  std::size_t block_length = 0;
  bool block_complete = false;
  bool block_interim = false;  // a 1xx block: the real one follows

  bool stop_after_headers = false;  // a HEAD sent with a body: the reply has no body to read
  bool stopped_after_headers = false;

  Clock::time_point last_activity = Clock::now();
  curl_off_t uploaded = 0;
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto& reply = *static_cast<Reply*>(user);
  const std::size_t length = size * count;
  reply.last_activity = Clock::now();
  if (reply.body.size() + length > reply.max_body) {
    reply.over_limit = true;
    return 0;  // ends the transfer with a write error
  }
  reply.body.append(data, length);
  return length;
}

size_t on_header(char* data, size_t size, size_t count, void* user) {
  auto& reply = *static_cast<Reply*>(user);
  const std::size_t length = size * count;
  reply.last_activity = Clock::now();
  if (reply.block_complete) {
    if (!reply.block_interim) return length;  // trailers after the body: not part of the block
    reply.block.clear();
    reply.block_length = 0;
    reply.block_complete = false;
    reply.block_interim = false;
  }

  std::string_view line(data, length);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  std::string clean;
  clean.reserve(line.size() + 2);
  for (const char c : line) {
    if (c != '\0') clean += c;  // a zero byte would cut the Text short
  }
  if (clean.empty()) {
    reply.block_complete = true;
    const std::string_view status(reply.block);
    const std::size_t space = status.find(' ');
    reply.block_interim = space != std::string_view::npos && space + 1 < status.size() && status[space + 1] == '1';
  }
  clean += "\r\n";
  reply.block_length += clean.size();
  if (reply.block.size() < kHeaderBufferSize) {
    reply.block.append(clean, 0, std::min(clean.size(), kHeaderBufferSize - reply.block.size()));
  }
  if (reply.block_complete && !reply.block_interim && reply.stop_after_headers) {
    reply.stopped_after_headers = true;
    return 0;  // ends the transfer here; the connection is not reused
  }
  return length;
}

int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded) {
  auto& reply = *static_cast<Reply*>(user);
  if (uploaded != reply.uploaded) {
    reply.uploaded = uploaded;
    reply.last_activity = Clock::now();
  }
  return 0;
}

struct HopResult {
  CURLcode code = CURLE_FAILED_INIT;
  bool stalled = false;
  long status = 0;
  std::string redirect_url;
};

// Runs one transfer on this thread's connection cache until it ends or stalls.
HopResult run_transfer(CURL* easy, Reply& reply, std::chrono::milliseconds stall_timeout) {
  HopResult result;
  CURLM* multi = thread_connections();
  if (!multi || curl_multi_add_handle(multi, easy) != CURLM_OK) return result;
  struct Detach {
    CURLM* multi;
    CURL* easy;
    ~Detach() { curl_multi_remove_handle(multi, easy); }
  } detach{multi, easy};

  int running = 1;
  for (;;) {
    if (curl_multi_perform(multi, &running) != CURLM_OK) return result;
    if (running == 0) break;
    const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - reply.last_activity);
    if (idle >= stall_timeout) {
      result.stalled = true;
      return result;
    }
    const auto wait = std::min<std::chrono::milliseconds>(stall_timeout - idle, std::chrono::seconds(1));
    if (curl_multi_poll(multi, nullptr, 0, static_cast<int>(std::max<std::int64_t>(wait.count(), 1)), nullptr) !=
        CURLM_OK) {
      return result;
    }
  }
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == easy) result.code = message->data.result;
  }
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &result.status);
  char* location = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location) {
    result.redirect_url = location;
  }
  return result;
}

// Everything one call needs for each of its hops.
struct Call {
  std::vector<std::string> header_lines;
  std::string agent;  // empty: the header text carries its own User-Agent line
  std::string_view body;
  bool use_cookie_store = false;
  bool https_url = false;
  std::string proxy;
  Origin first_origin;
  HttpLimits limits{};
};

// The header lines of one hop, as libcurl takes them.
HeaderList hop_headers(const Call& call, bool same_origin, std::string& merged_cookie) {
  HeaderList list;
  auto add = [&](const std::string& line) {
    // The list keeps its head; a failed append leaves it as it was.
    if (curl_slist* grown = curl_slist_append(list.get(), line.c_str())) {
      (void)list.release();
      list.reset(grown);
    }
  };
  for (const std::string& line : call.header_lines) {
    const std::string_view name = header_name(line);
    if (name.empty()) continue;
    // Credentials and a Host line of the caller's belong to the first origin only.
    const bool first_origin_only = iequals(name, "Cookie") || iequals(name, "Authorization") || iequals(name, "Host");
    if (first_origin_only && !same_origin) continue;
    if (call.use_cookie_store && iequals(name, "Cookie")) {
      const std::string value(trim_blanks(Text(std::string_view(line).substr(name.size() + 1))).view());
      if (!value.empty()) merged_cookie += (merged_cookie.empty() ? "" : "; ") + value;
      continue;
    }
    if (is_blank(std::string_view(line).substr(name.size() + 1))) {
      add(std::string(name) + ";");  // libcurl sends "Name;" as the empty header "Name:"
    } else {
      add(line);
    }
  }
  for (const char* suppressed : {"Accept", "Expect", "Content-Type", "Proxy-Connection"}) {
    if (!has_header(call.header_lines, suppressed)) add(std::string(suppressed) + ":");
  }
  return list;
}

bool uses_proxy(const Call& call, const Origin& origin) {
  // For an http URL the proxy serves plain http only; for an https URL it serves both.
  return !call.proxy.empty() && (call.https_url || origin.scheme == "http");
}

struct HopOutcome {
  HopResult result;
  Reply reply;
};

HopOutcome perform_hop(const Call& call, const Hop& hop) {
  HopOutcome outcome;
  Reply& reply = outcome.reply;
  reply.max_body = call.limits.max_body_bytes;

  const bool same_origin = hop.origin == call.first_origin;
  std::string merged_cookie;
  const HeaderList headers = hop_headers(call, same_origin, merged_cookie);
  const EasyHandle easy(curl_easy_init());
  if (!easy) return outcome;
  CURL* e = easy.get();

  curl_easy_setopt(e, CURLOPT_URL, hop.curl_url.c_str());
  if (!hop.target.empty()) curl_easy_setopt(e, CURLOPT_REQUEST_TARGET, hop.target.c_str());
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(call.limits.connect_timeout.count()));
  curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(call.limits.max_body_bytes));

  if (uses_proxy(call, hop.origin)) {
    curl_easy_setopt(e, CURLOPT_PROXY, call.proxy.c_str());
    curl_easy_setopt(e, CURLOPT_NOPROXY, "");  // no host bypasses the given proxy
    curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  } else {
    curl_easy_setopt(e, CURLOPT_PROXY, "");  // direct, whatever the environment says
  }

  if (!call.agent.empty()) curl_easy_setopt(e, CURLOPT_USERAGENT, call.agent.c_str());
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
  if (call.use_cookie_store) {
    if (CURLSH* store = cookie_store()) curl_easy_setopt(e, CURLOPT_SHARE, store);
    curl_easy_setopt(e, CURLOPT_COOKIEFILE, "");  // the cookie engine, in memory only
    if (!merged_cookie.empty()) curl_easy_setopt(e, CURLOPT_COOKIE, merged_cookie.c_str());
  }

  const curl_off_t body_size = hop.with_body ? static_cast<curl_off_t>(call.body.size()) : 0;
  const char* body_data = call.body.empty() ? "" : call.body.data();
  switch (hop.verb) {
    case Verb::get:
      curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
      break;
    case Verb::post:
      curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, body_size);
      curl_easy_setopt(e, CURLOPT_POSTFIELDS, body_data);
      break;
    case Verb::head:
      // No reply body is read. libcurl sends no body with its own HEAD, so a HEAD with a body
      // goes out as a POST under the verb HEAD, and the transfer ends with the reply's headers.
      if (body_size > 0) {
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, body_size);
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, body_data);
        curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, "HEAD");
        reply.stop_after_headers = true;
      } else {
        curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
      }
      break;
  }

  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &on_body);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &reply);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &on_header);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &reply);
  curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &on_progress);
  curl_easy_setopt(e, CURLOPT_XFERINFODATA, &reply);
  curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);

  reply.last_activity = Clock::now();
  outcome.result = run_transfer(e, reply, call.limits.stall_timeout);
  if (reply.stopped_after_headers && outcome.result.code == CURLE_WRITE_ERROR) outcome.result.code = CURLE_OK;
  return outcome;
}

// The scheme, host and port of an absolute URL as libcurl reads it; empty scheme on failure.
Origin origin_of(const std::string& url) {
  Origin origin;
  const UrlHandle handle(curl_url());
  if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return origin;
  char* part = nullptr;
  if (curl_url_get(handle.get(), CURLUPART_SCHEME, &part, 0) == CURLUE_OK) origin.scheme = CurlString(part).get();
  if (curl_url_get(handle.get(), CURLUPART_HOST, &part, 0) == CURLUE_OK) origin.host = CurlString(part).get();
  if (curl_url_get(handle.get(), CURLUPART_PORT, &part, CURLU_DEFAULT_PORT) == CURLUE_OK) {
    origin.port = std::strtol(CurlString(part).get(), nullptr, 10);
  }
  for (char& c : origin.scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (char& c : origin.host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return origin;
}

bool is_followed_redirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The final reply of an exchange: its body and header block, or nothing on failure.
struct Exchange {
  bool replied = false;
  std::string body;
  std::string block;
  bool block_too_long = false;
};

Exchange exchange(const Call& call, Hop hop, bool no_redirect) {
  Exchange done;
  for (int redirects = 0;; ++redirects) {
    HopOutcome outcome = perform_hop(call, hop);
    const HopResult& result = outcome.result;
    Reply& reply = outcome.reply;
    if (result.stalled || reply.over_limit) return done;

    const bool headers_done = reply.block_complete && !reply.block_interim;
    const bool cut_short = result.code == CURLE_PARTIAL_FILE || result.code == CURLE_RECV_ERROR;
    if (result.code != CURLE_OK && !(cut_short && headers_done)) return done;

    if (result.code == CURLE_OK && !no_redirect && is_followed_redirect(result.status) &&
        !result.redirect_url.empty()) {
      if (redirects == kMaxRedirects) return done;
      Hop next;
      next.origin = origin_of(result.redirect_url);
      const bool allowed = next.origin.scheme == "https" || (next.origin.scheme == "http" && !call.https_url);
      if (!allowed) return done;
      next.curl_url = result.redirect_url;
      if (result.status == 307 || result.status == 308) {
        next.verb = hop.verb;
        next.with_body = hop.with_body;
      } else {
        next.verb = hop.verb == Verb::head ? Verb::head : Verb::get;
        next.with_body = false;
      }
      hop = std::move(next);
      continue;
    }

    done.replied = true;
    done.body = std::move(reply.body);
    done.block = std::move(reply.block);
    done.block_too_long = !headers_done || reply.block_length >= kHeaderBufferSize;
    return done;
  }
}

// Step 3: the agent string.
Text agent_string(const Text& header_text) {
  if (find_first(header_text, "User-Agent:", 1, true) == -1) return kDefaultAgent;
  const Text agent = trim_blanks(text_between(header_text + "\r\n", "User-Agent:", "\r\n"));
  return agent.empty() ? header_value(header_text) : agent;
}

// Step 8: the header text sent with the request.
Text assembled_header_text(const Text& url, const HttpOptions& options) {
  Text h = options.header_text;
  if (h.empty()) {
    h = "Accept: */*";
  } else if (find_first(h, "Accept:") == -1) {
    h += "\r\nAccept: */*";
  }
  if (find_first(h, "Referer:") == -1) h += "\r\nReferer: " + url;
  if (find_first(h, "Accept-Language:") == -1) h += "\r\nAccept-Language: zh-cn";
  if (find_first(h, "Content-Type:") == -1) h += "\r\nContent-Type: application/x-www-form-urlencoded";
  if (options.cookies && !options.cookies->empty()) {
    h += find_first(*options.cookies, "Cookie:") != -1 ? "\r\n" + *options.cookies : "\r\nCookie: " + *options.cookies;
  }
  return h;
}

// Step 14: name and value of each Set-Cookie line, joined with "; ".
Text cookies_of(const Text& headers) {
  Text cookies;
  for (const Text& line : split_on(headers, "\r\n")) {
    if (find_first(line, "Set-Cookie") == -1) continue;
    const Text value = find_first(line, ";") != -1 ? text_between(line, "Set-Cookie:", ";")
                                                   : replace_all(line, "Set-Cookie:", "", true);
    cookies += trim_blanks(value) + "; ";
  }
  return left_of(cookies, static_cast<int>(cookies.size()) - 2);
}

}  // namespace

void set_http_limits(const HttpLimits& limits) {
  const std::lock_guard lock(limits_mutex());
  limits_in_force() = limits;
}

HttpLimits http_limits() {
  const std::lock_guard lock(limits_mutex());
  return limits_in_force();
}

Bytes http_request(const Text& url, const HttpOptions& options) {
  ensure_curl_ready();

  // Verb, scheme, agent, host, port and path.
  const HttpMethod method = options.method < 0 || options.method > 2 ? kHttpGet : options.method;
  const Verb verb = method == kHttpPost ? Verb::post : method == kHttpHead ? Verb::head : Verb::get;
  Call call;
  call.https_url = left_of(lower_ascii(url), 8) == "https://";
  const Text host = url_host(url);
  const int port = url_port(url);
  const Text path = url_path(url);

  // Header text and body.
  call.header_lines = header_lines_of(assembled_header_text(url, options));
  if (!has_header(call.header_lines, "User-Agent")) {
    const std::string agent = agent_string(options.header_text).str();
    call.agent = agent.substr(0, agent.find_first_of("\r\n"));  // a line break would end the header
  }
  Bytes text_body_bytes;
  if (verb != Verb::get) {
    if (!options.byte_body.empty()) {
      call.body = options.byte_body.view();
    } else {
      text_body_bytes = text_to_bytes(options.text_body);
      call.body = text_body_bytes.view();
    }
  }
  call.use_cookie_store = !options.cookies.has_value();
  call.proxy = options.proxy_address.str();
  call.limits = http_limits();

  // The first hop goes to the host and port the URL names, with the path unchanged.
  // A line break in the URL would split the request line or the Referer line: no request.
  const bool sendable = url.view().find_first_of("\r\n") == std::string_view::npos && is_plain_host(host.view()) &&
                        port >= 1 && port <= 65535;
  Exchange done;
  if (sendable) {
    Hop first;
    first.origin = {call.https_url ? "https" : "http", host.str(), port};
    first.curl_url = first.origin.scheme + "://" + host.str() + ":" + std::to_string(port) + url_safe_path(path.view());
    first.target = path.str();
    if (uses_proxy(call, first.origin) && !call.https_url) {
      first.target = "http://" + host.str() + (port == 80 ? "" : ":" + std::to_string(port)) + path.str();
    }
    first.verb = verb;
    first.with_body = verb != Verb::get;
    call.first_origin = first.origin;
    done = exchange(call, std::move(first), options.no_redirect);
  }

  // Reply headers and cookies: the block when it fits the 5000-byte buffer, else spaces.
  Text headers(std::string(kHeaderBufferSize, ' '));
  if (done.replied && !done.block_too_long) headers = Text(std::move(done.block));
  headers = replace_all(headers, "Set-Cookie", "Set-Cookie", true);
  if (options.cookies_out) *options.cookies_out = cookies_of(headers);
  if (options.headers_out) *options.headers_out = std::move(headers);
  return Bytes(std::move(done.body));
}

}  // namespace kestrin
