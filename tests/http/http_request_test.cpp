// http_request against loopback servers that record every request's raw bytes.
#include "http/http_request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "support/loopback_server.h"
#include "text/text_ops.h"

namespace kestrin {
namespace {

using std::chrono::milliseconds;
using testing::http_reply;
using testing::LoopbackServer;
using testing::parse_request;
using testing::ParsedRequest;
using testing::ScriptedReply;

const std::string kDefaultAgent = "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";
const std::string kSpaces(5000, ' ');

bool has_name(const std::string& line, const std::string& name) {
  if (line.size() <= name.size() || line[name.size()] != ':') return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(line[i])) != std::tolower(static_cast<unsigned char>(name[i]))) {
      return false;
    }
  }
  return true;
}

// The header lines named `name` (any letter case), whole.
std::vector<std::string> lines_named(const ParsedRequest& request, const std::string& name) {
  std::vector<std::string> lines;
  for (const std::string& line : request.header_lines) {
    if (has_name(line, name)) lines.push_back(line);
  }
  return lines;
}

// The header lines other than Host, User-Agent and Content-Length, in order.
std::vector<std::string> caller_lines(const ParsedRequest& request) {
  std::vector<std::string> lines;
  for (const std::string& line : request.header_lines) {
    if (!has_name(line, "Host") && !has_name(line, "User-Agent") && !has_name(line, "Content-Length")) {
      lines.push_back(line);
    }
  }
  return lines;
}

std::vector<std::string> default_lines(const std::string& url) {
  return {"Accept: */*", "Referer: " + url, "Accept-Language: zh-cn",
          "Content-Type: application/x-www-form-urlencoded"};
}

class HttpRequestTest : public ::testing::Test {
 protected:
  // A broken exchange fails the test in seconds rather than hanging it.
  void SetUp() override {
    set_http_limits({milliseconds(5000), milliseconds(5000), kDefaultHttpLimits.max_body_bytes});
  }
  void TearDown() override { set_http_limits(kDefaultHttpLimits); }

  // The only request `server` received.
  static ParsedRequest only_request(const LoopbackServer& server) {
    const std::vector<std::string> requests = server.requests();
    EXPECT_EQ(requests.size(), 1u);
    return requests.empty() ? ParsedRequest{} : parse_request(requests.back());
  }
};

TEST_F(HttpRequestTest, SendsBothServiceCallsExactly) {
  std::string multipart = "------WebKitFormBoundaryB7BfOcAAFtzC33eK\r\nContent-Disposition: form-data; name=\"num\"";
  const char tail[] = "\r\n\r\n1\r\n\0\xD6\xD0\xFF--\r\n";  // a zero byte and GBK bytes in the body
  multipart += std::string(tail, sizeof tail - 1);
  struct Case {
    const char* name;
    HttpOptions options;
    std::vector<std::string> leading_lines;  // the caller's own lines, before the added ones
    std::string body;
  };
  const std::string large(3 << 20, 'L');  // big enough for libcurl's own "Expect: 100-continue"
  const std::string form = "id=vip&user=admin&str=5Lit5paH&num=1&sign=0123456789abcdef0123456789abcdef";
  const Case cases[] = {
      {"single article", {.method = kHttpPost, .text_body = Text(form)}, {}, form},
      {"batch job",
       {.method = kHttpPost,
        .header_text = "Content-Type:multipart/form-data; boundary=----WebKitFormBoundaryB7BfOcAAFtzC33eK\r\n\r\n",
        .byte_body = Bytes(multipart)},
       {"Content-Type:multipart/form-data; boundary=----WebKitFormBoundaryB7BfOcAAFtzC33eK"},
       multipart},
      {"large upload, no Expect line", {.method = kHttpPost, .byte_body = Bytes(large)}, {}, large},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackServer server;
    server.queue(http_reply("200 OK", "{\"str\":\"x\"}"));
    const std::string url = server.url("/api.php");

    const Bytes reply = http_request(Text(url), c.options);

    EXPECT_EQ(reply.str(), "{\"str\":\"x\"}");
    const ParsedRequest request = only_request(server);
    EXPECT_EQ(request.request_line, "POST /api.php HTTP/1.1");
    EXPECT_EQ(lines_named(request, "Host"),
              std::vector<std::string>{"Host: 127.0.0.1:" + std::to_string(server.port())});
    EXPECT_EQ(lines_named(request, "User-Agent"), std::vector<std::string>{"User-Agent: " + kDefaultAgent});
    EXPECT_EQ(lines_named(request, "Content-Length"),
              std::vector<std::string>{"Content-Length: " + std::to_string(c.body.size())});
    std::vector<std::string> expected = c.leading_lines;
    for (const std::string& line : default_lines(url)) {
      if (c.leading_lines.empty() || !has_name(line, "Content-Type")) expected.push_back(line);
    }
    EXPECT_EQ(caller_lines(request), expected);
    EXPECT_EQ(request.header_lines.size(), expected.size() + 3);
    EXPECT_EQ(request.body, c.body);
  }
}

TEST_F(HttpRequestTest, VerbAndBodyFollowTheMethod) {
  struct Case {
    HttpMethod method;
    const char* text_body;
    const char* byte_body;
    const char* verb;
    const char* sent_body;  // nullptr: no body and no Content-Length line
  };
  const Case cases[] = {
      {kHttpGet, "text", "bytes", "GET", nullptr},
      {5, "text", "", "GET", nullptr},
      {-1, "text", "", "GET", nullptr},
      {kHttpPost, "text", "", "POST", "text"},
      {kHttpPost, "text", "bytes", "POST", "bytes"},
      {kHttpPost, "", "", "POST", ""},
      {kHttpHead, "text", "", "HEAD", "text"},
      {kHttpHead, "text", "bytes", "HEAD", "bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.method) + " " + c.text_body + "/" + c.byte_body);
    // A HEAD reply announces a body it does not send: reading one would stall the call.
    LoopbackServer server([](const std::string& raw) {
      if (raw.rfind("HEAD ", 0) == 0) return ScriptedReply{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n"};
      return ScriptedReply{http_reply("200 OK", "hello")};
    });
    Text headers;
    const Bytes reply = http_request(Text(server.url("/m")), {.method = c.method,
                                                              .text_body = c.text_body,
                                                              .headers_out = &headers,
                                                              .byte_body = Bytes(std::string(c.byte_body))});

    const ParsedRequest request = only_request(server);
    EXPECT_EQ(request.request_line, std::string(c.verb) + " /m HTTP/1.1");
    if (c.sent_body) {
      EXPECT_EQ(request.body, c.sent_body);
      EXPECT_EQ(lines_named(request, "Content-Length"),
                std::vector<std::string>{"Content-Length: " + std::to_string(std::string(c.sent_body).size())});
    } else {
      EXPECT_EQ(request.body, "");
      EXPECT_TRUE(lines_named(request, "Content-Length").empty());
    }
    EXPECT_EQ(caller_lines(request), default_lines(server.url("/m")));
    const bool head = std::string(c.verb) == "HEAD";
    EXPECT_EQ(reply.str(), head ? "" : "hello");
    EXPECT_EQ(headers.str(), "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n");
  }
}

TEST_F(HttpRequestTest, UrlFormsReachTheRightPortAndPath) {
  LoopbackServer server;
  const std::string port = std::to_string(server.port());
  struct Case {
    std::string url;
    std::string request_line;
  };
  const Case cases[] = {
      {"127.0.0.1:" + port + "/a?b=C", "GET /a?b=C HTTP/1.1"},  // no scheme: plain http
      {"HTTP://127.0.0.1:" + port, "GET / HTTP/1.1"},
      {"http://127.0.0.1:" + port + "/a b#frag?x=\xD6\xD0&y=%41/../Z", "GET /a b#frag?x=\xD6\xD0&y=%41/../Z HTTP/1.1"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.url);
    EXPECT_EQ(http_request(Text(c.url), {.cookies = ""}).str(), "ok");
    ASSERT_TRUE(server.wait_for_requests(i + 1, milliseconds(2000)));
    const ParsedRequest request = parse_request(server.requests()[i]);
    EXPECT_EQ(request.request_line, c.request_line);
    EXPECT_EQ(lines_named(request, "Host"), std::vector<std::string>{"Host: 127.0.0.1:" + port});
    EXPECT_EQ(lines_named(request, "Referer"), std::vector<std::string>{"Referer: " + c.url});
  }
}

TEST_F(HttpRequestTest, UpperCaseHttpsSpeaksTlsToTheGivenPort) {
  LoopbackServer server;  // plain HTTP: it records the handshake and hangs up
  Text headers = "unchanged";
  Text cookies = "unchanged";
  const Bytes reply = http_request(Text("HTTPS://127.0.0.1:" + std::to_string(server.port()) + "/X"),
                                   {.cookies_out = &cookies, .headers_out = &headers});

  EXPECT_TRUE(reply.empty());
  EXPECT_EQ(headers.str(), kSpaces);
  EXPECT_EQ(cookies.str(), "");
  ASSERT_TRUE(server.wait_for_requests(1, milliseconds(2000)));
  const std::string hello = server.requests().front();
  ASSERT_GE(hello.size(), 2u);
  EXPECT_EQ(hello[0], '\x16');  // a TLS handshake record
  EXPECT_EQ(hello[1], '\x03');
}

TEST_F(HttpRequestTest, HeaderTextRules) {
  struct Case {
    const char* name;
    Text header_text;
    std::optional<Text> cookies;
    std::vector<std::string> leading;   // before the added default lines
    std::vector<std::string> skipped;   // default lines not added
    std::vector<std::string> trailing;  // after them
    std::vector<std::string> agent_lines;
  };
  const std::string ua = "User-Agent: " + kDefaultAgent;
  const Case cases[] = {
      {"empty header text", "", std::nullopt, {}, {}, {}, {ua}},
      {"lower-case accept", "accept: text/html", std::nullopt, {"accept: text/html"}, {}, {}, {ua}},
      {"own accept", "Accept: text/html", std::nullopt, {"Accept: text/html"}, {"Accept: */*"}, {}, {ua}},
      {"agent line", "User-Agent: Foo/1.0", std::nullopt, {}, {}, {}, {"User-Agent: Foo/1.0"}},
      {"lower-case agent line", "user-agent: Foo/1.0", std::nullopt, {}, {}, {}, {"user-agent: Foo/1.0"}},
      {"agent inside a value",
       "X-Note: User-Agent: Bar\r\nX-Two: 2",
       std::nullopt,
       {"X-Note: User-Agent: Bar", "X-Two: 2"},
       {},
       {},
       {"User-Agent: Bar"}},
      {"odd lines",
       "X-Empty:\r\n\r\nno colon\r\nX-Tight:v\r\n:nameless",
       std::nullopt,
       {"X-Empty:", "X-Tight:v"},
       {},
       {},
       {ua}},
      {"empty cookies", "", Text(""), {}, {}, {}, {ua}},
      {"cookie value", "", Text("a=1; b=2"), {}, {}, {"Cookie: a=1; b=2"}, {ua}},
      {"cookie line", "", Text("Cookie: a=1"), {}, {}, {"Cookie: a=1"}, {ua}},
  };
  LoopbackServer server;
  const std::string url = server.url("/rules");
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    EXPECT_EQ(http_request(Text(url), {.cookies = c.cookies, .header_text = c.header_text}).str(), "ok");
    ASSERT_TRUE(server.wait_for_requests(i + 1, milliseconds(2000)));
    const ParsedRequest request = parse_request(server.requests()[i]);

    std::vector<std::string> expected = c.leading;
    for (const std::string& line : default_lines(url)) {
      if (std::find(c.skipped.begin(), c.skipped.end(), line) == c.skipped.end()) expected.push_back(line);
    }
    expected.insert(expected.end(), c.trailing.begin(), c.trailing.end());
    EXPECT_EQ(caller_lines(request), expected);
    EXPECT_EQ(lines_named(request, "User-Agent"), c.agent_lines);
  }
}

TEST_F(HttpRequestTest, CookieStoreSendsBackWhatRepliesSet) {
  // The cookie store lives as long as the process: each run of the test uses paths of its own.
  static int run = 0;
  const std::string ck = "/ck" + std::to_string(++run);
  LoopbackServer server([ck](const std::string& raw) {
    if (raw.rfind("GET " + ck + "/set ", 0) == 0) {
      return ScriptedReply{http_reply("200 OK", "set", {"Set-Cookie: sid=abc; Path=" + ck})};
    }
    if (raw.rfind("GET " + ck + "/given ", 0) == 0) {
      return ScriptedReply{http_reply("200 OK", "given", {"Set-Cookie: other=2; Path=" + ck})};
    }
    return ScriptedReply{http_reply("200 OK", "plain")};
  });
  struct Step {
    std::string path;
    std::optional<Text> cookies;
    Text header_text;
    std::vector<std::string> cookie_lines;  // on the wire
  };
  const Step steps[] = {
      {ck + "/set", std::nullopt, "", {}},
      {ck + "/next", std::nullopt, "", {"Cookie: sid=abc"}},
      {ck + "/given", Text(""), "", {}},  // neither sends nor keeps
      {ck + "/next", Text("x=1"), "", {"Cookie: x=1"}},
      {ck + "/next", std::nullopt, "", {"Cookie: sid=abc"}},  // other=2 was not kept
      {ck + "/next", std::nullopt, "Cookie: h=1", {"Cookie: sid=abc; h=1"}},
      {"/elsewhere", std::nullopt, "", {}},
  };
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    const Step& s = steps[i];
    SCOPED_TRACE(std::to_string(i) + " " + s.path);
    EXPECT_FALSE(http_request(Text(server.url(s.path)), {.cookies = s.cookies, .header_text = s.header_text}).empty());
    ASSERT_TRUE(server.wait_for_requests(i + 1, milliseconds(2000)));
    EXPECT_EQ(lines_named(parse_request(server.requests()[i]), "Cookie"), s.cookie_lines);
  }
}

TEST_F(HttpRequestTest, HeadersOutAndCookiesOut) {
  struct Case {
    const char* name;
    std::string reply;
    std::string body;
    std::string headers;
    std::string cookies;
  };
  const Case cases[] = {
      {"set-cookie lines in any case",
       "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nset-cookie: b=2\r\nSet-Cookie: a=1; path=/co\r\n"
       "SET-COOKIE:c=3;HttpOnly\r\nX-Note: see set-cookie text\r\n\r\nhi",
       "hi",
       "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nSet-Cookie: b=2\r\nSet-Cookie: a=1; path=/co\r\n"
       "Set-Cookie:c=3;HttpOnly\r\nX-Note: see Set-Cookie text\r\n\r\n",
       "b=2; a=1; c=3; X-Note: see Set-Cookie text"},
      {"no cookies, no body", "HTTP/1.1 204 No Content\r\n\r\n", "", "HTTP/1.1 204 No Content\r\n\r\n", ""},
      {"interim reply before the real one",
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx", "x",
       "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n", ""},
      {"error status", http_reply("500 Internal Server Error", "boom"), "boom",
       "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 4\r\n\r\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackServer server;
    server.queue(c.reply);
    Text headers;
    Text cookies = "unchanged";
    const Bytes reply = http_request(Text(server.url("/co/x")),
                                     {.cookies = Text(""), .cookies_out = &cookies, .headers_out = &headers});
    EXPECT_EQ(reply.str(), c.body);
    EXPECT_EQ(headers.str(), c.headers);
    EXPECT_EQ(cookies.str(), c.cookies);
  }
}

TEST_F(HttpRequestTest, RedirectsFollowedUnlessNoRedirect) {
  LoopbackServer server([](const std::string& raw) {
    if (raw.rfind("POST /r/found ", 0) == 0) {
      return ScriptedReply{http_reply("302 Found", "moved", {"Location: /r/end", "Set-Cookie: hop=1; Path=/r"})};
    }
    if (raw.rfind("POST /r/temporary ", 0) == 0) {
      return ScriptedReply{http_reply("307 Temporary Redirect", "moved", {"Location: /r/end"})};
    }
    return ScriptedReply{http_reply("200 OK", "end", {"X-Final: yes"})};
  });
  struct Case {
    const char* path;
    bool no_redirect;
    std::string result;
    std::string status_line;
    std::string second_request_line;  // empty: no second request
    std::string second_body;
  };
  const Case cases[] = {
      {"/r/found", false, "end", "HTTP/1.1 200 OK", "GET /r/end HTTP/1.1", ""},
      {"/r/temporary", false, "end", "HTTP/1.1 200 OK", "POST /r/end HTTP/1.1", "data"},
      {"/r/found", true, "moved", "HTTP/1.1 302 Found", "", ""},
  };
  std::size_t seen = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + (c.no_redirect ? " not followed" : " followed"));
    Text headers;
    const std::string url = server.url(c.path);
    const Bytes reply = http_request(
        Text(url), {.method = kHttpPost, .text_body = "data", .headers_out = &headers, .no_redirect = c.no_redirect});
    EXPECT_EQ(reply.str(), c.result);
    EXPECT_EQ(headers.str().substr(0, c.status_line.size()), c.status_line);
    seen += c.second_request_line.empty() ? 1 : 2;
    ASSERT_TRUE(server.wait_for_requests(seen, milliseconds(2000)));
    const std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), seen);
    if (c.second_request_line.empty()) continue;
    const ParsedRequest followed = parse_request(requests.back());
    EXPECT_EQ(followed.request_line, c.second_request_line);
    EXPECT_EQ(followed.body, c.second_body);
    EXPECT_EQ(lines_named(followed, "Referer"), std::vector<std::string>{"Referer: " + url});
    EXPECT_EQ(lines_named(followed, "Cookie"), std::vector<std::string>{"Cookie: hop=1"});
  }
}

TEST_F(HttpRequestTest, CredentialsStayWithTheFirstOrigin) {
  LoopbackServer other;
  LoopbackServer first([&other](const std::string&) {
    return ScriptedReply{http_reply("302 Found", "", {"Location: " + other.url("/landed")})};
  });
  const std::string url = first.url("/from");
  const Bytes reply = http_request(
      Text(url),
      {.cookies = Text("a=1"), .header_text = "Authorization: Basic eDp5\r\nHost: named.example\r\nX-Keep: 1"});

  EXPECT_EQ(reply.str(), "ok");
  const ParsedRequest sent = only_request(first);
  EXPECT_EQ(lines_named(sent, "Cookie"), std::vector<std::string>{"Cookie: a=1"});
  EXPECT_EQ(lines_named(sent, "Host"), std::vector<std::string>{"Host: named.example"});
  const ParsedRequest landed = only_request(other);
  EXPECT_EQ(landed.request_line, "GET /landed HTTP/1.1");
  EXPECT_EQ(lines_named(landed, "Host"), std::vector<std::string>{"Host: 127.0.0.1:" + std::to_string(other.port())});
  EXPECT_TRUE(lines_named(landed, "Cookie").empty());
  EXPECT_TRUE(lines_named(landed, "Authorization").empty());
  EXPECT_EQ(lines_named(landed, "X-Keep"), std::vector<std::string>{"X-Keep: 1"});
  EXPECT_EQ(lines_named(landed, "Referer"), std::vector<std::string>{"Referer: " + url});
}

TEST_F(HttpRequestTest, FailuresGiveEmptyResultAndBlankHeaders) {
  LoopbackServer silent;  // reads the request and never answers
  silent.queue("", ScriptedReply::Then::hang);
  LoopbackServer stalls_mid_body;
  stalls_mid_body.queue("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789", ScriptedReply::Then::hang);
  LoopbackServer answering;  // answers "ok": a failure here means the guard let the call through
  int dead_port = 0;
  {
    LoopbackServer gone;
    dead_port = gone.port();
  }
  struct Case {
    const char* name;
    std::string url;
  };
  const Case cases[] = {
      {"connection refused", "http://127.0.0.1:" + std::to_string(dead_port) + "/x"},
      {"no reply at all", silent.url("/x")},
      {"stalled in the body", stalls_mid_body.url("/x")},
      {"host that is no host name", "http://user@" + answering.url("/x").substr(7)},
      {"line break in the path", answering.url("/x\r\nX-Injected: 1")},
      {"line break in the query", answering.url("/x?a=\nb")},
      {"port out of range", "http://127.0.0.1:65536/x"},
  };
  set_http_limits({milliseconds(2000), milliseconds(300), kDefaultHttpLimits.max_body_bytes});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Text headers;
    Text cookies = "unchanged";
    const Bytes reply = http_request(Text(c.url), {.cookies_out = &cookies, .headers_out = &headers});
    EXPECT_TRUE(reply.empty());
    EXPECT_EQ(headers.str(), kSpaces);
    EXPECT_EQ(cookies.str(), "");
  }
  EXPECT_TRUE(answering.requests().empty());
}

TEST_F(HttpRequestTest, ServerClosingMidBodyGivesThePartialBody) {
  LoopbackServer server;
  server.queue("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789", ScriptedReply::Then::close);
  Text headers;
  const Bytes reply = http_request(Text(server.url("/cut")), {.headers_out = &headers});
  EXPECT_EQ(reply.str(), "0123456789");
  EXPECT_EQ(headers.str(), "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n");
}

TEST_F(HttpRequestTest, HeaderBlockOverLimitIsBlank) {
  for (const std::size_t block_size : {4999u, 5000u, 20000u}) {
    SCOPED_TRACE(block_size);
    const std::string start = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nSet-Cookie: z=1\r\nX-Pad: ";
    const std::string block = start + std::string(block_size - start.size() - 4, 'p') + "\r\n\r\n";
    LoopbackServer server;
    server.queue(block + "body");
    Text headers;
    Text cookies;
    const Bytes reply =
        http_request(Text(server.url("/big")), {.cookies = Text(""), .cookies_out = &cookies, .headers_out = &headers});
    EXPECT_EQ(reply.str(), "body");
    const bool fits = block_size <= 4999;
    EXPECT_EQ(headers.str(), fits ? block : kSpaces);
    EXPECT_EQ(cookies.str(), fits ? "z=1" : "");
  }
}

TEST_F(HttpRequestTest, BodyOverTheLimitFails) {
  const std::string fits(1000, 'a');
  const std::string over(1001, 'b');
  struct Case {
    const char* name;
    std::string reply;
    std::string result;
  };
  const Case cases[] = {
      {"at the limit", http_reply("200 OK", fits), fits},
      {"announced over the limit", http_reply("200 OK", over), ""},
      {"chunked over the limit",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3e9\r\n" + over + "\r\n0\r\n\r\n", ""},
  };
  set_http_limits({milliseconds(5000), milliseconds(5000), 1000});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackServer server;
    server.queue(c.reply);
    Text headers;
    EXPECT_EQ(http_request(Text(server.url("/size")), {.headers_out = &headers}).str(), c.result);
    if (c.result.empty()) {
      EXPECT_EQ(headers.str(), kSpaces);
    }
  }
}

TEST_F(HttpRequestTest, ProxyEnvironmentIsIgnored) {
  const char* names[] = {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};
  std::vector<std::optional<std::string>> saved;
  for (const char* name : names) {
    const char* value = std::getenv(name);
    saved.push_back(value ? std::optional<std::string>(value) : std::nullopt);
    ::setenv(name, "http://127.0.0.1:1", 1);
  }
  LoopbackServer server;
  const Bytes reply = http_request(Text(server.url("/direct")));
  for (std::size_t i = 0; i < std::size(names); ++i) {
    if (saved[i]) {
      ::setenv(names[i], saved[i]->c_str(), 1);
    } else {
      ::unsetenv(names[i]);
    }
  }
  EXPECT_EQ(reply.str(), "ok");
  EXPECT_EQ(only_request(server).request_line, "GET /direct HTTP/1.1");
}

TEST_F(HttpRequestTest, ProxyAddressCarriesTheRequest) {
  struct Case {
    std::string url;
    std::string request_line;
    std::string host_line;
    std::string result;
  };
  const Case cases[] = {
      {"http://kestrin.invalid/p?q=1", "GET http://kestrin.invalid/p?q=1 HTTP/1.1", "Host: kestrin.invalid", "ok"},
      {"kestrin.invalid:8080/p", "GET http://kestrin.invalid:8080/p HTTP/1.1", "Host: kestrin.invalid:8080", "ok"},
      {"https://kestrin.invalid/p", "CONNECT kestrin.invalid:443 HTTP/1.1", "Host: kestrin.invalid:443", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    LoopbackServer proxy([](const std::string& raw) {
      if (raw.rfind("CONNECT ", 0) == 0) return ScriptedReply{http_reply("403 Forbidden", "")};
      return ScriptedReply{http_reply("200 OK", "ok")};
    });
    const Bytes reply = http_request(Text(c.url), {.proxy_address = Text("127.0.0.1:" + std::to_string(proxy.port()))});
    EXPECT_EQ(reply.str(), c.result);
    const ParsedRequest request = only_request(proxy);
    EXPECT_EQ(request.request_line, c.request_line);
    EXPECT_EQ(lines_named(request, "Host"), std::vector<std::string>{c.host_line});
    if (c.result.empty()) continue;
    EXPECT_EQ(caller_lines(request), default_lines(c.url));  // no Proxy-Connection line either
  }
}

TEST_F(HttpRequestTest, ConnectionIsReusedBetweenCalls) {
  LoopbackServer server;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(http_request(Text(server.url("/again")), {.method = kHttpPost, .text_body = "n"}).str(), "ok");
  }
  ASSERT_EQ(server.requests().size(), 3u);
  for (const std::string& raw : server.requests()) {
    const ParsedRequest request = parse_request(raw);
    EXPECT_EQ(request.request_line, "POST /again HTTP/1.1");
    EXPECT_EQ(request.body, "n");
  }
  EXPECT_EQ(server.connections(), 1);
}

}  // namespace
}  // namespace kestrin
