// URL and header-text helpers, built only from the shared text operations.
//
// Each routine works by substring search on the URL text, never by a URL grammar, so its
// results at odd inputs are whatever those searches give.
#include "http/url.h"

#include "text/text_ops.h"

namespace kestrin {
namespace {

// "#引号" in GBK: the marker token that stands for a double quote in a marker.
const Text kQuoteToken("#\xD2\xFD\xBA\xC5");

int length_of(const Text& text) { return static_cast<int>(text.size()); }

// Step 6 of the host rules: the host up to its first ':' unless the port is wanted.
Text without_port(const Text& host, bool keep_port) {
  if (keep_port) return host;
  const int colon = find_first(host, ":");
  return colon == -1 ? host : left_of(host, colon - 1);
}

Text host_by_label_count(const Text& url, bool domain_only, bool keep_port, int label_count) {
  Text t = replace_all(lower_ascii(url), "http://");
  t = replace_all(t, "https://");
  if (const int slash = find_first(t, "/"); slash != -1) t = left_of(t, slash - 1);

  const int length = length_of(t);
  int pos = length;
  for (int i = 0; i < label_count; ++i) pos = find_last(t, ".", pos);
  const int q = find_last(t, ".", pos);
  if (domain_only) {
    t = right_of(t, length - q);
  } else if (q != -1) {
    if (const int r = find_last(t, ".", q); r != -1) t = right_of(t, length - r);
  }
  return without_port(t, keep_port);
}

}  // namespace

Text text_between(const Text& text, const Text& left_marker, const Text& right_marker, int start_pos,
                  bool ignore_case) {
  const Text left = replace_all(left_marker, kQuoteToken, "\"");
  const Text right = replace_all(right_marker, kQuoteToken, "\"");

  int p = find_first(text, left, start_pos, ignore_case);
  if (p != -1) p += length_of(left);
  const int e = find_first(text, right, p, ignore_case);
  if (p == -1 || e == -1) return {};
  return mid_of(text, p, e - p);
}

Text header_value(const Text& text) {
  const int p = find_first(text, ":");
  if (p == -1) return {};
  return trim_blanks(right_of(text, length_of(text) - p));
}

Text url_host(const Text& url, bool domain_only, bool keep_port, std::optional<int> label_count) {
  if (label_count) return host_by_label_count(url, domain_only, keep_port, *label_count);

  Text t = lower_ascii(url);
  if (right_of(t, 1) != "/") t += "/";

  Text h;
  if (left_of(t, 8) == "https://") {
    h = text_between(t, "https://", "/");
  } else {
    if (find_first(t, "http://") == -1) t = "http://" + t;
    h = text_between(t, "http://", "/");
  }

  if (domain_only) {
    const TextList labels = split_on(h, ".");
    if (labels.size() > 1) h = labels[labels.size() - 2] + "." + labels.back();
  }
  return without_port(h, keep_port);
}

int url_port(const Text& url) {
  const Text h = url_host(url, false, true);
  if (const int a = find_last(h, ":"); a != -1) return text_to_int(right_of(h, length_of(h) - a));
  return left_of(lower_ascii(url), 5) == "https" ? 443 : 80;
}

Text url_path(const Text& url) {
  const Text h = url_host(url);
  const int a = find_first(url, h, 1, true);
  const int b = find_first(url, "/", a == -1 ? 1 : a, true);
  if (b <= 0) return "/";
  return right_of(url, length_of(url) - b + 1);
}

}  // namespace kestrin
