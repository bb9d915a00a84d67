// The little JSON the command-line tool writes: string literals for its one flat object.
#pragma once

#include <string>
#include <string_view>

namespace kestrin::cli {

// A JSON string literal, quotes included, for UTF-8 text. Quote, backslash and every control
// character (U+0000-U+001F, U+007F) are escaped; other characters stay as UTF-8. Each byte of
// an ill-formed UTF-8 sequence becomes U+FFFD, so the result is always valid UTF-8.
[[nodiscard]] std::string json_string(std::string_view utf8);

}  // namespace kestrin::cli
