// Operations on Text, Bytes and TextList that every subsystem shares.
//
// Positions are 1-based byte positions and -1 means "not found". Scanning operations are
// double-byte aware: a byte of 0x80 or more starts a two-byte GBK character, which the scan
// steps over as a whole, so a match never begins on a second byte (a trailing 0x5C is never
// a backslash). left_of, right_of and mid_of count plain bytes. None of them fails.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>

#include "text/types.h"

namespace kestrin {

// The parts in order, as one text.
[[nodiscard]] Text join_texts(std::initializer_list<Text> parts);
// The parts in order, as one byte sequence.
[[nodiscard]] Bytes join_bytes(std::initializer_list<Bytes> parts);

// The text's bytes, without a terminator.
[[nodiscard]] Bytes text_to_bytes(const Text& text);
// The bytes before the first zero byte (all of them when there is none).
[[nodiscard]] Text bytes_to_text(const Bytes& bytes);

// Byte-wise unsigned comparison: negative, 0 or positive; a prefix sorts first.
[[nodiscard]] int compare_texts(const Text& a, const Text& b);

// Position of the first match that begins at or after start_pos, else -1. start_pos < 1
// counts as 1; past the end gives -1. An empty needle gives 1 on a non-empty part, else -1.
[[nodiscard]] int find_first(const Text& text, const Text& needle, int start_pos = 1,
                             bool ignore_case = false);

// Position of the last match lying wholly within the first start_pos - 1 bytes (the whole
// text when start_pos is left out), else -1. A start_pos of 1 or less, or an empty needle,
// gives -1.
[[nodiscard]] int find_last(const Text& text, const Text& needle,
                            std::optional<int> start_pos = std::nullopt, bool ignore_case = false);

// Every match of `find`, left to right without overlap, replaced by `replacement`.
// An empty text or an empty `find` gives the text unchanged.
[[nodiscard]] Text replace_all(const Text& text, const Text& find, const Text& replacement = {},
                               bool ignore_case = false);

// The pieces between delimiters. Empty pieces count, except one after a final delimiter.
// An empty text gives no pieces; an empty delimiter gives the whole text as the one piece.
[[nodiscard]] TextList split_on(const Text& text, const Text& delimiter);

// The text without ASCII spaces and full-width spaces (A1 A1) at either end; tabs, CR and
// LF stay.
[[nodiscard]] Text trim_blanks(const Text& text);

// A-Z become a-z; both bytes of every two-byte character stay as they are.
[[nodiscard]] Text lower_ascii(const Text& text);

// The first n bytes (whole text when n is larger; empty when n <= 0).
[[nodiscard]] Text left_of(const Text& text, int n);
// The last n bytes (whole text when n is larger; empty when n <= 0).
[[nodiscard]] Text right_of(const Text& text, int n);
// n bytes from 1-based pos, cut at the end; empty when pos is outside the text or n <= 0.
[[nodiscard]] Text mid_of(const Text& text, int pos, int n);

// Full-width ASCII forms (A3 xx) and the full-width space become ASCII, then atoi rules:
// leading white space, an optional sign, digits up to the first other character. No digits
// gives 0; the result saturates at the 32-bit range.
[[nodiscard]] std::int32_t text_to_int(const Text& text);

}  // namespace kestrin
