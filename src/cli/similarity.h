// A local originality estimate: how much of a rewritten text is new compared with its source.
//
// Both texts are read as Unicode code points, with white space and punctuation left out
// (ASCII punctuation and symbols, and Unicode punctuation: general, supplemental, CJK such as
// 。，、；：？！“”（）《》, full-width and small forms). The estimate is the share of the
// output's 4-grams of code points, each occurrence counted, that occur nowhere in the input,
// as a whole percentage rounded to nearest (halves up). Identical texts give 0, texts
// without a common 4-gram give 100.
#pragma once

#include <string>
#include <string_view>

namespace kestrin::cli {

inline constexpr std::size_t kSimilarityGram = 4;

// True for the code points the estimate leaves out: white space and punctuation.
[[nodiscard]] bool is_ignored_for_similarity(char32_t code_point);

// The code points of UTF-8 text without the ignored ones.
[[nodiscard]] std::u32string similarity_characters(std::string_view utf8);

// The estimate, 0 to 100, for two UTF-8 texts. When the output has fewer than 4 counted
// characters, the share of its characters that do not occur in the input is used instead;
// an output with no counted character gives 0.
[[nodiscard]] int novelty_percent(std::string_view input_utf8, std::string_view output_utf8);

}  // namespace kestrin::cli
