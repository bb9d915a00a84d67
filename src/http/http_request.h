// One complete HTTP exchange on libcurl.
//
// Every request the tool sends goes through http_request. The request line, header lines
// and body are exact: the client adds only Host, User-Agent and the body length of its own.
// Failures are values: an exchange that cannot be made gives empty Bytes.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

#include "text/types.h"

namespace kestrin {

// 0 GET, 1 POST, 2 HEAD; anything else is sent as GET.
using HttpMethod = int;
inline constexpr HttpMethod kHttpGet = 0;
inline constexpr HttpMethod kHttpPost = 1;
inline constexpr HttpMethod kHttpHead = 2;

// The arguments after the URL, in their order; designated initializers name the ones given.
// Every member has an explicit initializer, so leaving members out draws no warning.
struct HttpOptions {
  HttpMethod method = kHttpGet;
  Text text_body{};                 // sent as its GBK bytes when byte_body is empty
  std::optional<Text> cookies{};    // given (even empty): stored cookies neither sent nor kept
  Text* cookies_out = nullptr;      // "name=value; name=value" of the reply's Set-Cookie lines
  Text header_text{};               // extra header lines separated by CR LF
  Text* headers_out = nullptr;      // the final reply's status and header lines, each ending in
                                    // CR LF, then CR LF; 5000 spaces on failure or past 4999 bytes
  bool no_redirect = false;         // true: a redirect reply is returned, not followed
  Bytes byte_body{};                // sent instead of text_body when not empty
  Text proxy_address{};             // host:port of an HTTP proxy; empty means direct
};

// The reply body of one exchange with `url` (absolute or scheme-less); empty on failure.
// The status code is not examined: an error page's body is returned like any other.
[[nodiscard]] Bytes http_request(const Text& url, const HttpOptions& options = {});

// Limits that keep a dead or hostile server from hanging the caller or exhausting memory.
struct HttpLimits {
  std::chrono::milliseconds connect_timeout;  // to establish the connection
  std::chrono::milliseconds stall_timeout;    // with nothing received, the exchange fails
  std::size_t max_body_bytes;                 // a larger reply body fails the exchange
};
inline constexpr HttpLimits kDefaultHttpLimits{std::chrono::seconds(30), std::chrono::seconds(120),
                                               std::size_t{256} << 20};

// The limits in force for calls that start after this; tests shorten them.
void set_http_limits(const HttpLimits& limits);
// The limits in force now (kDefaultHttpLimits until set_http_limits changes them).
[[nodiscard]] HttpLimits http_limits();

}  // namespace kestrin
