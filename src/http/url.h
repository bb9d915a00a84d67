// URL and header-text helpers: substring routines, not a URL grammar.
//
// Results at odd inputs follow from the searches they make (a scheme-less URL with
// "http://" in its query takes its host from there). None of them fails: a missing piece
// gives empty text, or the default port.
#pragma once

#include <optional>

#include "text/types.h"

namespace kestrin {

// The text after the first left_marker at or after start_pos and before the first
// right_marker after it; empty when either is missing. "#引号" in a marker stands for '"'.
[[nodiscard]] Text text_between(const Text& text, const Text& left_marker, const Text& right_marker,
                                int start_pos = 1, bool ignore_case = false);

// Everything after the first ':' (later lines included), blanks trimmed; empty without ':'.
[[nodiscard]] Text header_value(const Text& text);

// The URL's host in lower case, without its port unless keep_port. domain_only keeps the
// last two labels; label_count selects the label-counting variant.
[[nodiscard]] Text url_host(const Text& url, bool domain_only = false, bool keep_port = false,
                            std::optional<int> label_count = std::nullopt);

// The explicit port, else 443 when the URL starts with "https" (any case), else 80.
[[nodiscard]] int url_port(const Text& url);

// From the "/" after the host to the end, in the URL's own case; "/" when there is none.
[[nodiscard]] Text url_path(const Text& url);

}  // namespace kestrin
