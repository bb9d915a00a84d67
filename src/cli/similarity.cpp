#include "cli/similarity.h"

#include <algorithm>
#include <iterator>
#include <unordered_set>

#include "cli/encoding.h"

namespace kestrin::cli {
namespace {

struct Range {
  char32_t first;
  char32_t last;
};

// White space (Unicode White_Space, plus the byte-order mark) and punctuation outside ASCII.
constexpr Range kIgnored[] = {
    {0x0085, 0x0085}, {0x00A0, 0x00A1}, {0x00A7, 0x00A7}, {0x00AB, 0x00AB}, {0x00B6, 0x00B7},
    {0x00BB, 0x00BB}, {0x00BF, 0x00BF}, {0x037E, 0x037E}, {0x0387, 0x0387},
    {0x1680, 0x1680}, {0x2000, 0x206F},  // spaces, dashes, quotes, general punctuation
    {0x2E00, 0x2E7F},                    // supplemental punctuation
    {0x3000, 0x3003}, {0x3008, 0x3011}, {0x3014, 0x301F}, {0x3030, 0x3030}, {0x303D, 0x303D},
    {0x30A0, 0x30A0}, {0x30FB, 0x30FB},  // ideographic space, CJK brackets and marks
    {0xFE10, 0xFE19}, {0xFE30, 0xFE4F},  // vertical forms, CJK compatibility forms
    {0xFE50, 0xFE6B},                    // small forms
    {0xFEFF, 0xFEFF},                    // byte-order mark
    {0xFF01, 0xFF0F}, {0xFF1A, 0xFF20}, {0xFF3B, 0xFF40}, {0xFF5B, 0xFF65},  // full-width
};

}  // namespace

bool is_ignored_for_similarity(char32_t c) {
  if (c < 0x80) {
    // Control characters, the space, and every printable ASCII character that is neither
    // a letter nor a digit.
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    return !alnum;
  }
  if (c < 0xA0) return true;  // C1 control characters
  return std::any_of(std::begin(kIgnored), std::end(kIgnored),
                     [c](const Range& r) { return c >= r.first && c <= r.last; });
}

std::u32string similarity_characters(std::string_view utf8) {
  std::u32string all = decode_utf8(utf8);
  std::erase_if(all, is_ignored_for_similarity);
  return all;
}

int novelty_percent(std::string_view input_utf8, std::string_view output_utf8) {
  const std::u32string input = similarity_characters(input_utf8);
  const std::u32string output = similarity_characters(output_utf8);
  if (output.empty()) return 0;

  const std::size_t n = output.size() < kSimilarityGram ? 1 : kSimilarityGram;
  const std::u32string_view in_view = input;
  const std::u32string_view out_view = output;
  std::unordered_set<std::u32string_view> known;
  if (input.size() >= n) {
    known.reserve(input.size() - n + 1);
    for (std::size_t i = 0; i + n <= input.size(); ++i) known.insert(in_view.substr(i, n));
  }
  std::size_t total = 0;
  std::size_t novel = 0;
  for (std::size_t i = 0; i + n <= output.size(); ++i) {
    ++total;
    novel += known.count(out_view.substr(i, n)) == 0 ? 1 : 0;
  }
  // Rounded to nearest, halves up, in integers.
  return static_cast<int>((novel * 200 + total) / (2 * total));
}

}  // namespace kestrin::cli
