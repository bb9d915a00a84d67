// The stand-in rewriting services, and the fixture that runs them for a test.
//
// kestrin-stand-in is one small program that serves both services at
// http://127.0.0.1:PORT/api.php. It is a fixture for tests, benchmarks and manual runs,
// never part of the tool. A request is for the batch service when its Content-Type is
// multipart/form-data, otherwise for the primary service.
//
// Primary service (POST /api.php, form body):
//   - The body must be exactly "id=vip&user=admin&str=" + payload + "&num=1&sign=" + sign,
//     five fields in this order, nothing escaped, and sign must be the lower-case hex MD5 of
//     "c60f1a2b7d8e09f" + payload. Otherwise the answer is {"error": "..."} ("bad form: ...",
//     "bad signature", "bad payload: ...") with status 200 and no str or ck.
//   - The payload is Base64 of UTF-8 text, line breaks carried as backslash-n. The rewrite
//     prefixes kPrimaryMark ("【改】") and changes nothing else: backslash-n, lone CR or LF
//     and every other character come back as they went out. An empty payload gives "【改】".
//   - The answer is {"str": "【改】" + text, "ck": "原创度 97% 第N次"} in UTF-8, N being the
//     number of "【改】" at the start of the new str (so pass k of a plain article gives
//     第k次). Backslash-n travels as the JSON escape of a backslash followed by n.
// Batch service (POST /api.php, multipart/form-data with the fields num and file, the
// boundary taken from the Content-Type header):
//   - The file content is read as UTF-8 when it is valid UTF-8, otherwise as GBK (a byte
//     sequence that is no GBK character becomes U+FFFD). The answer is {"str": "【批】" + text}.
//     A body without the two fields in order gets {"error": "bad upload: ..."}.
// Both: the first answer after start or reset sets the cookie "kestrin_session=<token>"
// (a new token at each reset); the stats count the requests that send it back. Every
// service request is recorded (the first 20000, up to 256 MiB in all) with its raw head and
// body and what the service made of it. HTTP/1.1 keep-alive, Content-Length and chunked
// bodies, and "Expect: 100-continue" are supported; each connection has its own thread.
//
// Knobs (POST /_control with "key=value&..." in the body or the query; only the keys given
// change), applied to service requests numbered from 1 since the last reset:
//   delay_ms     sleep this long before answering each service request
//   fault        what a selected request gets instead of the normal answer:
//                  none, drop (connection reset, no answer), cut (head promises the whole
//                  body, half arrives, then reset), http500 (status 500, HTML page),
//                  html (status 200, HTML page), empty (status 200, empty body),
//                  truncated (the JSON cut to half its length), nul (a NUL byte right at
//                  the start of the str value), nul_after (the whole JSON, then a NUL and
//                  garbage), invalid_utf8 (a 0xFF byte at the end of str), non_gbk (U+1F600
//                  at the end of str), crlf (a real CR LF at the end of str), no_str, no_ck,
//                  ck_number (ck is 85), ck_true (ck is true), str_number (str is 85),
//                  huge (the normal members plus "pad" filling the body to huge_bytes)
//   fault_at     comma-separated request numbers that get the fault
//   fault_every  every Nth request gets it
//   fault_next   the next K requests get it
//   fault_share  each request gets it with this probability (0..1), drawn from a sequence
//   fault_seed   seeded by this number (deterministic in arrival order)
//                With a fault and none of the five selection rules, every request gets it.
//   huge_bytes   body size of the huge fault (default 8 MiB)
// A client retries a request whose reused connection dies without an answer, which would
// hide a drop; so /_control and /_reset close the connections that wait for their next
// request, and while fault=drop is set every answer ends its connection. Change knobs only
// while no service request is under way.
// Other endpoints: POST /_reset (knobs, counters, records and cookie back to the start),
// GET /_stats (counters as JSON), GET /_requests[?from=SEQ] (records as JSON, byte fields
// Base64-encoded), GET /_health.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrin::test_support {

// The primary service's rewrite mark, in UTF-8 and in GBK.
inline constexpr std::string_view kPrimaryMarkUtf8 = "【改】";
inline constexpr std::string_view kPrimaryMarkGbk = "\xA1\xBE\xB8\xC4\xA1\xBF";
// The batch service's rewrite mark, in UTF-8 and in GBK.
inline constexpr std::string_view kBatchMarkUtf8 = "【批】";
inline constexpr std::string_view kBatchMarkGbk = "\xA1\xBE\xC5\xFA\xA1\xBF";
// The signing key the primary service checks signatures with.
inline constexpr std::string_view kStandInSigningKey = "c60f1a2b7d8e09f";

// The ck the primary service answers when its str starts with `marks` rewrite marks (UTF-8).
[[nodiscard]] std::string primary_check_utf8(int marks);

// GBK bytes of UTF-8 text and back, through iconv (independent of the tool's codecs).
// Characters the target lacks and invalid input become "?".
[[nodiscard]] std::string gbk(std::string_view utf8);
[[nodiscard]] std::string utf8(std::string_view gbk_bytes);

struct StandInSettings {
  int delay_ms = 0;
  std::string fault = "none";
  std::vector<long long> fault_at = {};
  long long fault_every = 0;
  long long fault_next = 0;
  double fault_share = 0;
  std::uint64_t fault_seed = 1;
  std::size_t huge_bytes = std::size_t{8} << 20;
};

struct StandInStats {
  long long service_requests = 0;
  long long primary_requests = 0;
  long long batch_requests = 0;
  long long rejected = 0;         // answered with {"error": ...}
  long long cookie_returned = 0;  // requests that sent the current cookie back
  long long faults = 0;           // requests that got the fault
  long long in_flight = 0;
  long long max_in_flight = 0;    // most service requests being handled at once
  long long max_connections_open = 0;
  long long connections_total = 0;
  long long records = 0;
  std::string cookie;             // "kestrin_session=<token>" as currently set
};

// One service request as the stand-in saw it. Byte fields are raw bytes.
struct RecordedRequest {
  long long seq = 0;          // service request number since reset, in arrival order
  std::string service;        // "primary", "batch" or "other"
  std::string method;
  std::string target;
  std::string head;           // request line and header lines, up to the empty line
  std::string body;
  std::string cookie;         // the Cookie header, empty when none
  bool cookie_returned = false;
  std::string fault;          // the fault applied, "none" for a normal answer
  std::string outcome;        // "ok", or the error the answer named
  std::string payload;        // primary: the str field as sent
  std::string signature;      // primary: the sign field as sent
  std::string text;           // primary: the payload decoded (UTF-8 with backslash-n)
  std::string num;            // batch: the num field
  std::string file_name;      // batch: the filename bytes as sent
  std::string content;        // batch: the file content
  std::string reply_str;      // the str answered (UTF-8), before any fault

  // The value of header `name` (ASCII case ignored), nullopt when absent.
  [[nodiscard]] std::optional<std::string> header(std::string_view name) const;
};

// Runs kestrin-stand-in as a child process on a free loopback port for as long as the
// object lives. The child is killed when the object is destroyed, or when the thread that
// started it ends (start it on the main thread).
class StandIn {
 public:
  // Starts the program and waits until it listens; check ok().
  StandIn();
  ~StandIn();
  StandIn(const StandIn&) = delete;
  StandIn& operator=(const StandIn&) = delete;

  // True when the program runs and listens; error() says why not otherwise.
  [[nodiscard]] bool ok() const { return pid_ > 0 && port_ > 0; }
  [[nodiscard]] const std::string& error() const { return error_; }
  [[nodiscard]] int port() const { return port_; }
  // "127.0.0.1:PORT", the form KESTRIN_PRIMARY_HOST and KESTRIN_BATCH_HOST take.
  [[nodiscard]] std::string host() const;
  // "http://127.0.0.1:PORT/api.php".
  [[nodiscard]] std::string service_url() const;

  // Sets KESTRIN_PRIMARY_HOST and KESTRIN_BATCH_HOST to host(). The tool reads them once
  // per process, so this must come before its first request.
  void export_hosts() const;

  // Replaces every knob with `settings`; false when the stand-in refused or did not answer.
  [[nodiscard]] bool configure(const StandInSettings& settings);
  // Knobs, counters, records and cookie back to the start.
  [[nodiscard]] bool reset();
  // The counters; nullopt when the stand-in did not answer.
  [[nodiscard]] std::optional<StandInStats> stats();
  // The recorded service requests from number `from_seq` on, in arrival order.
  [[nodiscard]] std::vector<RecordedRequest> requests(long long from_seq = 0);

  // One raw exchange with the stand-in ("GET", "/_stats", ""): the status and the body,
  // nullopt when it failed. The connection is closed afterwards.
  [[nodiscard]] std::optional<std::pair<int, std::string>> exchange(std::string_view method, std::string_view target,
                                                                    std::string_view body = {},
                                                                    std::string_view extra_headers = {});

 private:
  void stop();

  pid_t pid_ = -1;
  int port_ = 0;
  std::string error_;
};

// The process-wide stand-in: started on first call, hosts exported, stopped at exit. Call it
// first thing (for example from a GoogleTest global environment) so that the hosts are set
// before the tool sends anything.
[[nodiscard]] StandIn& shared_stand_in();

}  // namespace kestrin::test_support
