// Code-page conversion (GBK, UTF-16, UTF-8), Base64 and hex digests.
//
// Code pages are Windows numbers: 936 (GBK), 65001 (UTF-8) and 0 (the ANSI code page,
// which is GBK for this tool). Each conversion is sized exactly, so any GBK text survives
// the trip to UTF-8 and back. Characters the target cannot represent, and invalid input
// sequences, become "?" without stopping the rest. Failures give empty values.
#pragma once

#include <optional>

#include "text/types.h"

namespace kestrin {

inline constexpr int kCodePageAnsi = 0;
inline constexpr int kCodePageGbk = 936;
inline constexpr int kCodePageUtf8 = 65001;

// The digest algorithm identifier for MD5, and its digest length in bytes.
inline constexpr int kAlgorithmMd5 = 0x8003;
inline constexpr int kMd5Length = 16;

// Wide text: UTF-16LE code units of `text` decoded in `code_page` (UTF-8 when left out),
// followed by one zero unit. An empty text gives the terminator alone (two zero bytes).
// An unknown code page gives empty Bytes.
[[nodiscard]] Bytes to_wide(const Text& text, std::optional<int> code_page = std::nullopt);

// The wide text up to its first zero unit (never past the end), encoded in `code_page`
// (GBK when left out). Empty Bytes give an empty text.
[[nodiscard]] Text from_wide(const Bytes& wide, std::optional<int> code_page = std::nullopt);

// GBK to UTF-8 (the result is a Text holding UTF-8 bytes). Empty gives empty.
[[nodiscard]] Text gbk_to_utf8(const Text& text);
// UTF-8 to GBK; what GBK lacks, and every invalid UTF-8 sequence, becomes "?".
[[nodiscard]] Text utf8_to_gbk(const Text& text);

// Standard Base64 (RFC 4648, "=" padding, no line breaks). Empty data gives empty text.
[[nodiscard]] Text base64_encode(const Bytes& data);

// Upper-case hex of the digest of `data`: 2 x the real digest length in characters.
// Empty when the algorithm is unknown or digest_length is shorter than its digest.
[[nodiscard]] Text hash_hex(const Bytes& data, int algorithm, int digest_length);

// MD5 as 32 lower-case hex digits; upper_case gives capitals, middle_16 the digits 9 to 24.
// Empty in every form when no digest can be computed.
[[nodiscard]] Text md5_hex(const Bytes& data, std::optional<bool> upper_case = std::nullopt,
                           std::optional<bool> middle_16 = std::nullopt);

}  // namespace kestrin
