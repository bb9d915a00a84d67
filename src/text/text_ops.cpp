// Operations on Text, Bytes and TextList.
//
// The searching operations share one scanner: a Knuth-Morris-Pratt automaton over "symbols"
// that tells a byte at the start of a character from the same byte as the second half of a
// two-byte character, so a match can only begin on a character start and every byte is
// looked at a bounded number of times. Between candidates the scanner jumps with memchr and
// finds out afterwards whether the hit lies on a character start (see `is_second_byte`).
#include "text/text_ops.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace kestrin {
namespace {

constexpr bool is_high(unsigned char byte) { return byte >= 0x80; }

constexpr unsigned char fold_ascii(unsigned char byte) {
  return (byte >= 'A' && byte <= 'Z') ? static_cast<unsigned char>(byte + ('a' - 'A')) : byte;
}

constexpr bool is_ascii_letter(unsigned char byte) {
  return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z');
}

// A 1-based position as the int the interface uses; -1 when it cannot be represented.
int to_position(std::size_t zero_based) {
  return zero_based < static_cast<std::size_t>(INT_MAX) ? static_cast<int>(zero_based + 1) : -1;
}

// Whether byte `p` of `bytes` is the second byte of a two-byte character, given that the scan
// reached byte `from` (<= p) and `from_is_second` says the same of it. Every byte below 0x80
// ends a character, so the bytes after the last such byte before p pair up from there.
bool is_second_byte(std::string_view bytes, std::size_t from, bool from_is_second, std::size_t p) {
  if (p == from) return from_is_second;
  std::size_t k = p;
  while (k > from && is_high(static_cast<unsigned char>(bytes[k - 1]))) --k;
  std::size_t first_start;  // a character start with only bytes >= 0x80 between it and p
  if (k > from) {
    first_start = k;  // bytes[k - 1] < 0x80 ended a character
  } else {
    first_start = from_is_second ? from + 1 : from;
  }
  return ((p - first_start) % 2) == 1;
}

enum class AfterMatch { kStop, kSkipMatch, kOverlap };

// A double-byte aware matcher for one needle.
class Matcher {
 public:
  Matcher(std::string_view needle, bool ignore_case) : ignore_case_(ignore_case) {
    symbols_.reserve(needle.size());
    bool second = false;
    for (char c : needle) {
      const auto byte = static_cast<unsigned char>(c);
      symbols_.push_back(symbol(byte, second));
      second = !second && is_high(byte);
    }
    // Failure links: length of the longest proper border of symbols_[0..i].
    failure_.assign(symbols_.size(), 0);
    std::size_t k = 0;
    for (std::size_t i = 1; i < symbols_.size(); ++i) {
      while (k > 0 && symbols_[i] != symbols_[k]) k = failure_[k - 1];
      if (symbols_[i] == symbols_[k]) ++k;
      failure_[i] = k;
    }
    const auto first = needle.empty() ? 0 : static_cast<unsigned char>(needle.front());
    first_byte_ = static_cast<char>(first);
    can_skip_ = !needle.empty() && !(ignore_case && is_ascii_letter(first));
  }

  // Scans text[begin, end), begin being a character start, and calls on_match(start) with the
  // 0-based start of every match; its answer says whether and how the scan goes on.
  template <typename OnMatch>
  void scan(std::string_view text, std::size_t begin, std::size_t end, OnMatch on_match) const {
    const std::size_t m = symbols_.size();
    if (m == 0 || end > text.size() || begin >= end || end - begin < m) return;
    std::size_t state = 0;
    bool second = false;  // whether byte i is the second byte of a character
    std::size_t i = begin;
    while (i < end) {
      if (state == 0) {
        if (end - i < m) return;
        if (can_skip_) {
          const void* hit = std::memchr(text.data() + i, first_byte_, end - i - m + 1);
          if (hit == nullptr) return;
          const auto p = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
          second = is_second_byte(text, i, second, p);
          i = p;
          if (second) {  // the hit is the tail of a character; the next byte starts one
            second = false;
            ++i;
            continue;
          }
        }
      }
      const auto byte = static_cast<unsigned char>(text[i]);
      const std::uint16_t sym = symbol(byte, second);
      second = !second && is_high(byte);
      while (state > 0 && symbols_[state] != sym) state = failure_[state - 1];
      if (symbols_[state] == sym) ++state;
      ++i;
      if (state == m) {
        switch (on_match(i - m)) {
          case AfterMatch::kStop:
            return;
          case AfterMatch::kSkipMatch:
            state = 0;
            second = false;  // the scan goes on after the match as at a character start
            break;
          case AfterMatch::kOverlap:
            state = failure_[m - 1];
            break;
        }
      }
    }
  }

 private:
  [[nodiscard]] std::uint16_t symbol(unsigned char byte, bool second) const {
    if (second) return static_cast<std::uint16_t>(0x100 | byte);
    return ignore_case_ ? fold_ascii(byte) : byte;
  }

  bool ignore_case_;
  bool can_skip_ = false;
  char first_byte_ = 0;
  std::vector<std::uint16_t> symbols_;
  std::vector<std::size_t> failure_;
};

}  // namespace

Text join_texts(std::initializer_list<Text> parts) {
  std::size_t total = 0;
  for (const Text& part : parts) total += part.size();
  std::string joined;
  joined.reserve(total);
  for (const Text& part : parts) joined += part.view();
  return Text(std::move(joined));
}

Bytes join_bytes(std::initializer_list<Bytes> parts) {
  std::size_t total = 0;
  for (const Bytes& part : parts) total += part.size();
  std::string joined;
  joined.reserve(total);
  for (const Bytes& part : parts) joined += part.view();
  return Bytes(std::move(joined));
}

Bytes text_to_bytes(const Text& text) { return Bytes(text.view()); }

Text bytes_to_text(const Bytes& bytes) { return Text(bytes.view()); }

int compare_texts(const Text& a, const Text& b) {
  const int order = a.view().compare(b.view());  // char_traits<char> compares as unsigned
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

int find_first(const Text& text, const Text& needle, int start_pos, bool ignore_case) {
  const std::size_t begin = start_pos < 1 ? 0 : static_cast<std::size_t>(start_pos) - 1;
  if (begin >= text.size()) return -1;
  if (needle.empty()) return 1;
  int found = -1;
  Matcher(needle.view(), ignore_case).scan(text.view(), begin, text.size(), [&](std::size_t at) {
    found = to_position(at);
    return AfterMatch::kStop;
  });
  return found;
}

int find_last(const Text& text, const Text& needle, std::optional<int> start_pos,
              bool ignore_case) {
  std::size_t limit = text.size();
  if (start_pos) {
    if (*start_pos <= 1) return -1;
    limit = std::min(limit, static_cast<std::size_t>(*start_pos) - 1);
  }
  if (needle.empty()) return -1;
  int found = -1;
  Matcher(needle.view(), ignore_case).scan(text.view(), 0, limit, [&](std::size_t at) {
    found = to_position(at);
    return AfterMatch::kOverlap;
  });
  return found;
}

Text replace_all(const Text& text, const Text& find, const Text& replacement, bool ignore_case) {
  if (text.empty() || find.empty()) return text;
  const std::string_view source = text.view();
  std::string result;
  std::size_t copied = 0;
  bool matched = false;
  Matcher(find.view(), ignore_case).scan(source, 0, source.size(), [&](std::size_t at) {
    if (!matched) result.reserve(source.size() + replacement.size());
    matched = true;
    result.append(source.substr(copied, at - copied));
    result.append(replacement.view());
    copied = at + find.size();
    return AfterMatch::kSkipMatch;
  });
  if (!matched) return text;
  result.append(source.substr(copied));
  return Text(std::move(result));
}

TextList split_on(const Text& text, const Text& delimiter) {
  TextList pieces;
  if (text.empty()) return pieces;
  if (delimiter.empty()) {
    pieces.push_back(text);
    return pieces;
  }
  const std::string_view source = text.view();
  std::size_t piece_start = 0;
  Matcher(delimiter.view(), false).scan(source, 0, source.size(), [&](std::size_t at) {
    pieces.emplace_back(source.substr(piece_start, at - piece_start));
    piece_start = at + delimiter.size();
    return AfterMatch::kSkipMatch;
  });
  if (piece_start < source.size()) pieces.emplace_back(source.substr(piece_start));
  return pieces;
}

Text trim_blanks(const Text& text) {
  const std::string_view s = text.view();
  const std::size_t n = s.size();
  auto full_width_space_at = [&](std::size_t i) {
    return i + 1 < n && static_cast<unsigned char>(s[i]) == 0xA1 &&
           static_cast<unsigned char>(s[i + 1]) == 0xA1;
  };
  std::size_t i = 0;
  for (;;) {
    if (i < n && s[i] == ' ') {
      ++i;
    } else if (full_width_space_at(i)) {
      i += 2;
    } else {
      break;
    }
  }
  const std::size_t start = i;
  std::size_t end = start;  // just past the last character that is not a blank
  while (i < n) {
    if (s[i] == ' ') {
      ++i;
    } else if (full_width_space_at(i)) {
      i += 2;
    } else {
      i += (is_high(static_cast<unsigned char>(s[i])) && i + 1 < n) ? 2 : 1;
      end = i;
    }
  }
  if (start == 0 && end == n) return text;
  return Text(s.substr(start, end - start));
}

Text lower_ascii(const Text& text) {
  std::string result(text.str());
  const std::size_t n = result.size();
  for (std::size_t i = 0; i < n; ++i) {
    const auto byte = static_cast<unsigned char>(result[i]);
    if (is_high(byte)) {
      ++i;  // both bytes of the character stay
    } else {
      result[i] = static_cast<char>(fold_ascii(byte));
    }
  }
  return Text(std::move(result));
}

Text left_of(const Text& text, int n) {
  if (n <= 0) return {};
  return Text(text.view().substr(0, static_cast<std::size_t>(n)));
}

Text right_of(const Text& text, int n) {
  if (n <= 0) return {};
  const std::size_t count = std::min(text.size(), static_cast<std::size_t>(n));
  return Text(text.view().substr(text.size() - count));
}

Text mid_of(const Text& text, int pos, int n) {
  if (pos < 1 || n <= 0 || static_cast<std::size_t>(pos) > text.size()) return {};
  return Text(text.view().substr(static_cast<std::size_t>(pos) - 1, static_cast<std::size_t>(n)));
}

std::int32_t text_to_int(const Text& text) {
  const std::string_view s = text.view();
  const std::size_t n = s.size();
  std::size_t i = 0;
  // The next character as ASCII: full-width forms (A3 A1..A3 FE) and the full-width space
  // (A1 A1) are read as their ASCII counterparts; any other two-byte character as 0x80.
  auto next = [&](std::size_t& width) -> unsigned char {
    const auto byte = static_cast<unsigned char>(s[i]);
    if (!is_high(byte) || i + 1 >= n) {
      width = 1;
      return is_high(byte) ? 0x80 : byte;
    }
    width = 2;
    const auto second = static_cast<unsigned char>(s[i + 1]);
    if (byte == 0xA3 && second >= 0xA1 && second <= 0xFE) return second & 0x7F;
    if (byte == 0xA1 && second == 0xA1) return ' ';
    return 0x80;
  };
  std::size_t width = 0;
  unsigned char c = 0;
  for (; i < n; i += width) {
    c = next(width);
    if (!(c == ' ' || (c >= '\t' && c <= '\r'))) break;
  }
  bool negative = false;
  if (i < n && (c == '+' || c == '-')) {
    negative = c == '-';
    i += width;
  }
  // Accumulated as a negative number, whose range includes INT32_MIN.
  constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
  std::int64_t value = 0;
  for (; i < n; i += width) {
    c = next(width);
    if (c < '0' || c > '9') break;
    value = value * 10 - (c - '0');
    if (value < kMin) value = kMin - 1;  // saturated; stays out of range without overflowing
  }
  if (negative) return static_cast<std::int32_t>(std::max(value, kMin));
  if (-value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(-value);
}

}  // namespace kestrin
