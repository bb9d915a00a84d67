// How the command-line tool reads and writes a text in the user's encoding: UTF-8 checks
// and decoding, line-break styles, and the characters that would be lost on the way to GBK.
//
// The rewriting pipeline works on GBK text with CR LF line breaks; these operations take the
// user's bytes there and back. Pure functions on byte strings; none of them fails.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrin::cli {

enum class Encoding { kAuto, kGbk, kUtf8 };
enum class LineBreaks { kCrLf, kLf };

inline constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// Byte offset of the first sequence that is not well-formed UTF-8 (overlong forms,
// surrogates and code points above U+10FFFF included), or npos when the whole input is.
[[nodiscard]] std::size_t first_invalid_utf8(std::string_view bytes);

// The code points of UTF-8 bytes; each byte of an ill-formed sequence becomes U+FFFD.
[[nodiscard]] std::u32string decode_utf8(std::string_view bytes);
// The UTF-8 form of one code point (U+FFFD for a surrogate or a value above U+10FFFF).
[[nodiscard]] std::string encode_utf8(char32_t code_point);

// kCrLf when the text has at least one CR LF and no LF without a CR before it; kLf otherwise
// (a text without any line break included).
[[nodiscard]] LineBreaks detect_line_breaks(std::string_view text);
// Every LF without a CR before it becomes CR LF; everything else stays.
[[nodiscard]] std::string lf_to_crlf(std::string_view text);
// Every CR LF becomes LF; lone CR and lone LF stay.
[[nodiscard]] std::string crlf_to_lf(std::string_view text);

// Characters that a conversion would lose: how many, and the 1-based line of the first
// (lines end at LF). count 0 means nothing is lost, and first_line is then 0.
struct Losses {
  std::size_t count = 0;
  std::size_t first_line = 0;
  friend bool operator==(const Losses&, const Losses&) = default;
};

// The characters of UTF-8 text that GBK cannot represent (they would become "?"). An
// ill-formed sequence counts as one lost character per byte.
[[nodiscard]] Losses gbk_losses_of_utf8(std::string_view utf8);
// The byte sequences of GBK text that do not decode (a stray lead byte, 0x80, 0xFF, an
// unmapped pair): each would become "?" in the UTF-8 form the services receive.
[[nodiscard]] Losses undecodable_gbk(std::string_view gbk);

}  // namespace kestrin::cli
