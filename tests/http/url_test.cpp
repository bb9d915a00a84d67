// URL decomposition and header-text helpers at ordinary and odd inputs.
#include "http/url.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace kestrin {
namespace {

struct UrlCase {
  const char* url;
  const char* host;
  const char* host_with_port;
  int port;
  const char* path;
};

TEST(UrlTest, HostPortAndPath) {
  const UrlCase cases[] = {
      {"HTTP://A.Host.Example:8080/P/q?x=1", "a.host.example", "a.host.example:8080", 8080, "/P/q?x=1"},
      {"http://host.example/api.php", "host.example", "host.example", 80, "/api.php"},
      {"host.example/a", "host.example", "host.example", 80, "/a"},
      {"https://host.example", "host.example", "host.example", 443, "/"},
      {"HTTPS://Host.Example/X/Y", "host.example", "host.example", 443, "/X/Y"},
      {"httpsite.example/x", "httpsite.example", "httpsite.example", 443, "/x"},
      {"http://host.example:/x", "host.example", "host.example:", 0, "/x"},
      {"http://host.example:abc/x", "host.example", "host.example:abc", 0, "/x"},
      {"host.example/?u=http://other.example/", "other.example", "other.example", 80, "/"},
      {"", "", "", 80, "/"},
      {"http://host.example/a b#frag?\xD6\xD0", "host.example", "host.example", 80, "/a b#frag?\xD6\xD0"},
      {"http://host.example?q=1", "host.example?q=1", "host.example?q=1", 80, "/"},
      {"ftp://host.example/f", "ftp", "ftp:", 0, "//host.example/f"},
  };
  for (const UrlCase& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(url_host(c.url), Text(c.host));
    EXPECT_EQ(url_host(c.url, false, true), Text(c.host_with_port));
    EXPECT_EQ(url_port(c.url), c.port);
    EXPECT_EQ(url_path(c.url), Text(c.path));
  }
}

TEST(UrlTest, DomainOnlyAndLabelCount) {
  struct Case {
    const char* url;
    bool domain_only;
    bool keep_port;
    std::optional<int> label_count;
    const char* host;
  };
  const Case cases[] = {
      {"http://www.sub.host.example/x", true, false, std::nullopt, "host.example"},
      {"http://www.host.example:8080/x", true, false, std::nullopt, "host.example"},
      {"http://www.host.example:8080/x", true, true, std::nullopt, "host.example:8080"},
      {"http://localhost/x", true, false, std::nullopt, "localhost"},
      {"http://a.b.c.example/x", false, false, 0, "c.example"},
      {"http://a.b.c.example/x", true, false, 0, "example"},
      {"http://a.b.c.example/x", true, false, 1, "c.example"},
      {"https://www.host.example/x", false, false, 1, "www.host.example"},
      {"host/x", true, false, 1, "host"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(url_host(c.url, c.domain_only, c.keep_port, c.label_count), Text(c.host));
  }
}

TEST(UrlTest, TextBetween) {
  struct Case {
    const char* text;
    const char* left;
    const char* right;
    int start;
    bool ignore_case;
    const char* result;
  };
  const Case cases[] = {
      {"a[b]c", "[", "]", 1, false, "b"},
      {"a[]c", "[", "]", 1, false, ""},
      {"a[bc", "[", "]", 1, false, ""},
      {"a]b[c", "[", "]", 1, false, ""},
      {"abc", "[", "]", 1, false, ""},
      {"[x][y]", "[", "]", 2, false, "y"},
      {"name=\"v\"", "#\xD2\xFD\xBA\xC5", "#\xD2\xFD\xBA\xC5", 1, false, "v"},
      {"Host: A\r\nX", "host:", "\r\n", 1, true, " A"},
      {"Host: A\r\nX", "host:", "\r\n", 1, false, ""},
      {"\xB0\x5B[ok]", "[", "]", 1, false, "ok"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(text_between(c.text, c.left, c.right, c.start, c.ignore_case), Text(c.result));
  }
}

TEST(UrlTest, HeaderValue) {
  struct Case {
    const char* text;
    const char* value;
  };
  const Case cases[] = {
      {"no colon here", ""},
      {"A: b: c", "b: c"},
      {"Name:   value   ", "value"},
      {"Name:", ""},
      {"user-agent: Foo/1.0\r\nAccept: x ", "Foo/1.0\r\nAccept: x"},
      {"K:\xA1\xA1v\xA1\xA1", "v"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(header_value(c.text), Text(c.value));
  }
}

}  // namespace
}  // namespace kestrin
