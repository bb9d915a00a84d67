// Tests of the shared text operations: joining, conversion, comparison, the double-byte aware
// searches, splitting, trimming, cutting and number reading.
#include "text/text_ops.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace kestrin {
namespace {

// GBK characters used below. 0x5C ("\") and 0x41 ("A") as second bytes are the traps.
constexpr const char* kTrail5C = "\xB0\x5C";   // a character whose second byte is a backslash
constexpr const char* kTrail41 = "\xB0\x41";   // a character whose second byte is "A"
constexpr const char* kZhong = "\xD6\xD0";     // 中
constexpr const char* kWen = "\xCE\xC4";       // 文
constexpr const char* kIdeoSpace = "\xA1\xA1"; // full-width space

Text T(const std::string& s) { return Text(s); }

TEST(TextJoinAndConvert, JoinsConvertsAndStopsAtZero) {
  EXPECT_EQ(join_texts({}), Text());
  EXPECT_EQ(join_texts({"ab", Text(), "", "c", kZhong}), T(std::string("abc") + kZhong));
  EXPECT_TRUE(join_bytes({Bytes(), Bytes()}).empty());
  EXPECT_EQ(join_bytes({Bytes(std::string("a\0", 2)), Bytes(std::string("\0b", 2))}),
            Bytes(std::string("a\0\0b", 4)));

  EXPECT_EQ(text_to_bytes(T("a\xD6\xD0")), Bytes(std::string("a\xD6\xD0")));
  EXPECT_TRUE(text_to_bytes(Text()).empty());
  EXPECT_EQ(bytes_to_text(Bytes(std::string("ab\0cd", 5))), Text("ab"));
  EXPECT_EQ(bytes_to_text(Bytes(std::string("\0cd", 3))), Text());
  EXPECT_EQ(bytes_to_text(Bytes(std::string("abc"))), Text("abc"));
  EXPECT_EQ(bytes_to_text(Bytes()), Text());
}

TEST(CompareTexts, OrdersBytesAsUnsignedWithPrefixFirst) {
  struct Case {
    const char* a;
    const char* b;
    int sign;
  };
  const Case cases[] = {
      {"abc", "abc", 0},   {"abc", "abd", -1}, {"abd", "abc", 1}, {"ab", "abc", -1},
      {"abc", "ab", 1},    {"", "", 0},        {"", "a", -1},     {"\x80", "a", 1},
      {"\xD6\xD0", "\xCE\xC4", 1},
  };
  for (const Case& c : cases) {
    const int result = compare_texts(c.a, c.b);
    EXPECT_EQ((result > 0) - (result < 0), c.sign) << c.a << " vs " << c.b;
  }
}

struct FindCase {
  std::string text;
  std::string needle;
  std::optional<int> start;
  bool ignore_case;
  int expected;
};

TEST(FindFirst, Table) {
  const std::string wen_zhong = std::string(kWen) + kZhong + kWen;
  const std::vector<FindCase> cases = {
      {"abcabc", "bc", 1, false, 2},
      {"abcabc", "bc", 3, false, 5},
      {"abcabc", "bc", 5, false, 5},
      {"abcabc", "bc", 6, false, -1},
      {"abcabc", "bc", 0, false, 2},       // below 1 counts as 1
      {"abcabc", "bc", -100, false, 2},
      {"abcabc", "c", 7, false, -1},       // beyond the last byte
      {"abcabc", "c", 6, false, 6},
      {"abc", "abcd", 1, false, -1},
      {"", "a", 1, false, -1},
      {"abc", "", 1, false, 1},            // empty needle on a non-empty part
      {"abc", "", 3, false, 1},
      {"abc", "", 4, false, -1},
      {"", "", 1, false, -1},
      {"xABCx", "abc", 1, false, -1},
      {"xABCx", "abc", 1, true, 2},
      {"xabcx", "ABC", 1, true, 2},
      {"a[b", "[B", 1, true, 2},           // only letters fold
      {"a{b", "[B", 1, true, -1},
      // double-byte awareness: no match begins on a second byte
      {std::string(kTrail5C) + "n", "\\n", 1, false, -1},
      {std::string(kTrail5C) + "\\n", "\\n", 1, false, 3},
      {std::string(kTrail41) + "A", "A", 1, false, 3},
      {std::string(kTrail41) + "a", "a", 1, true, 3},
      {std::string("\xB0\x61") + "A", "a", 1, true, 3},
      {kTrail41, "\xB0\x61", 1, true, -1},  // different characters, not a case pair
      {std::string(kZhong) + kWen, "\xD0\xCE", 1, false, -1},  // straddles two characters
      {wen_zhong, kWen, 1, false, 1},
      {wen_zhong, kWen, 3, false, 5},
      {wen_zhong, kZhong, 1, false, 3},
      {"ab\xB0", "\xB0", 1, false, 3},     // a lone first byte at the end
      {"aab" + std::string(kTrail41) + "aab", "aab", 2, false, 6},
      {"aaaaab", "aab", 1, false, 4},
      {"abababac", "ababac", 1, false, 3},
  };
  for (const FindCase& c : cases) {
    EXPECT_EQ(find_first(T(c.text), T(c.needle), *c.start, c.ignore_case), c.expected)
        << "text=" << c.text << " needle=" << c.needle << " start=" << *c.start;
  }
  EXPECT_EQ(find_first("hello", "l"), 3);
}

TEST(FindLast, Table) {
  const std::string path = std::string("C:\\dir\\") + kTrail5C + ".txt";
  const std::vector<FindCase> cases = {
      {"a.b.c", ".", std::nullopt, false, 4},
      {"a.b.c", ".", 4, false, 2},      // only the first 3 bytes
      {"a.b.c", ".", 5, false, 4},
      {"a.b.c", ".", 2, false, -1},
      {"a.b.c", ".", 1, false, -1},
      {".", ".", 1, false, -1},
      {"a.b.c", ".", 0, false, -1},
      {"a.b.c", ".", -3, false, -1},
      {"a.b.c", ".", 100, false, 4},
      {"abcab", "ab", 5, false, 1},     // the match at 4 does not lie wholly within 4 bytes
      {"abcab", "ab", 6, false, 4},
      {"aaaa", "aa", std::nullopt, false, 3},  // overlapping matches count
      {"ABCabc", "abc", std::nullopt, false, 4},
      {"abcABC", "abc", std::nullopt, true, 4},
      {"abc", "", std::nullopt, false, -1},
      {"", "a", std::nullopt, false, -1},
      {path, "\\", std::nullopt, false, 7},  // the trailing 0x5C of a character is no backslash
      {kTrail5C, "\\", std::nullopt, false, -1},
      {std::string(kWen) + kZhong + kWen, kWen, std::nullopt, false, 5},
  };
  for (const FindCase& c : cases) {
    EXPECT_EQ(find_last(T(c.text), T(c.needle), c.start, c.ignore_case), c.expected)
        << "text=" << c.text << " needle=" << c.needle << " start=" << c.start.value_or(0);
  }
}

TEST(ReplaceAll, Table) {
  struct Case {
    std::string text, find, replacement;
    bool ignore_case;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"a-b-c", "-", "+", false, "a+b+c"},
      {"a-b-c", "-", "", false, "abc"},
      {"a--b", "-", "==", false, "a====b"},
      {"aaaa", "aa", "b", false, "bb"},
      {"aaa", "aa", "b", false, "ba"},           // left to right, no overlap
      {"ab", "a", "aa", false, "aab"},           // replaced text is not scanned again
      {"abababab", "abab", "x", false, "xx"},
      {"abc", "", "x", false, "abc"},
      {"", "a", "x", false, ""},
      {"abc", "abc", "", false, ""},
      {"Hello HELLO hello", "hello", "x", true, "x x x"},
      {"Hello HELLO hello", "hello", "x", false, "Hello HELLO x"},
      {std::string(kTrail5C) + "n", "\\n", "\r\n", false, std::string(kTrail5C) + "n"},
      {std::string(kTrail5C) + "\\n", "\\n", "\r\n", false, std::string(kTrail5C) + "\r\n"},
      {std::string(kZhong) + "a" + kZhong, kZhong, kWen, false, std::string(kWen) + "a" + kWen},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(replace_all(T(c.text), T(c.find), T(c.replacement), c.ignore_case), T(c.expected))
        << "text=" << c.text << " find=" << c.find;
  }
  EXPECT_EQ(replace_all("a b", " "), Text("ab"));  // replacement left out: removed
}

TEST(SplitOn, Table) {
  struct Case {
    std::string text, delimiter;
    std::vector<std::string> pieces;
  };
  const std::vector<Case> cases = {
      {"a\r\n\r\nb\r\n", "\r\n", {"a", "", "b"}},
      {"a,b,c", ",", {"a", "b", "c"}},
      {",a", ",", {"", "a"}},
      {"a,,", ",", {"a", ""}},   // only the empty piece after the final delimiter is dropped
      {",", ",", {""}},
      {"abc", ",", {"abc"}},
      {"", ",", {}},
      {"abc", "", {"abc"}},
      {"a::b:::c", "::", {"a", "b", ":c"}},
      {std::string("x") + kTrail5C + "y\\z", "\\", {std::string("x") + kTrail5C + "y", "z"}},
  };
  for (const Case& c : cases) {
    TextList expected;
    for (const std::string& piece : c.pieces) expected.push_back(T(piece));
    EXPECT_EQ(split_on(T(c.text), T(c.delimiter)), expected) << "text=" << c.text;
  }
}

TEST(TrimBlanks, Table) {
  struct Case {
    std::string text, expected;
  };
  const std::string sp = kIdeoSpace;
  const std::vector<Case> cases = {
      {"  a b  ", "a b"},
      {sp + "a", "a"},
      {"a" + sp + " " + sp, "a"},
      {" " + sp + " a", "a"},
      {"a\r\n", "a\r\n"},           // CR LF and tabs stay
      {"\ta ", "\ta"},
      {"   ", ""},
      {sp + " " + sp, ""},
      {"", ""},
      {"\xB0\xA1\xA1", "\xB0\xA1\xA1"},      // a character ending in A1, then a lone A1
      {"\xB0\xA1\xA1\xA1", "\xB0\xA1"},      // a character ending in A1, then a full-width space
      {"\xB0\xA1 ", "\xB0\xA1"},
  };
  for (const Case& c : cases) EXPECT_EQ(trim_blanks(T(c.text)), T(c.expected)) << c.text;
}

TEST(LowerAscii, FoldsOnlyAsciiLetters) {
  EXPECT_EQ(lower_ascii("ABC def-XYZ@[`"), Text("abc def-xyz@[`"));
  EXPECT_EQ(lower_ascii(T(std::string(kTrail41) + "Z")), T(std::string(kTrail41) + "z"));
  EXPECT_EQ(lower_ascii(T("A\xB0")), T("a\xB0"));
  EXPECT_EQ(lower_ascii(Text()), Text());
}

TEST(TextCutting, LeftRightMidCountBytes) {
  const Text t = "abcdef";
  struct Case {
    Text result;
    const char* expected;
  };
  const Case cases[] = {
      {left_of(t, 2), "ab"},     {left_of(t, 0), ""},        {left_of(t, -1), ""},
      {left_of(t, 99), "abcdef"}, {right_of(t, 2), "ef"},    {right_of(t, 0), ""},
      {right_of(t, -5), ""},     {right_of(t, 99), "abcdef"}, {mid_of(t, 2, 3), "bcd"},
      {mid_of(t, 5, 10), "ef"},  {mid_of(t, 6, 1), "f"},     {mid_of(t, 7, 1), ""},
      {mid_of(t, 0, 2), ""},     {mid_of(t, 2, 0), ""},      {mid_of(t, 2, -1), ""},
      {mid_of(t, 2, 2147483647), "bcdef"},
      {left_of(T(std::string(kZhong) + kWen), 3), "\xD6\xD0\xCE"},  // may cut a character
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(cases[i].result, Text(cases[i].expected)) << "case " << i;
  }
}

TEST(TextToInt, Table) {
  struct Case {
    std::string text;
    std::int32_t expected;
  };
  const std::vector<Case> cases = {
      {"3.7", 3},  {" 2", 2},   {"+5", 5},   {"007", 7},   {"1e3", 1},  {"-1", -1},
      {"abc", 0},  {"", 0},     {"-", 0},    {"+-1", 0},   {"- 1", 0},  {"\t\r\n\v\f 42x", 42},
      {"12 34", 12},
      {"\xA3\xB2", 2},                        // full-width 2
      {"\xA3\xB1\xA3\xB2\xA3\xB3", 123},
      {"\xA3\xAD\xA3\xB5", -5},               // full-width minus
      {"\xA1\xA1\xA1\xA1" "8", 8},            // full-width spaces lead
      {"1\xA3\xB0", 10},
      {"\xD6\xD0" "5", 0},                    // another character stops the reading
      {"5\xD6\xD0", 5},
      {"2147483647", 2147483647},
      {"2147483648", 2147483647},             // saturates
      {"99999999999999999999999", 2147483647},
      {"-2147483648", INT32_MIN},
      {"-2147483649", INT32_MIN},
      {"-99999999999999999999999", INT32_MIN},
  };
  for (const Case& c : cases) EXPECT_EQ(text_to_int(T(c.text)), c.expected) << c.text;
}

// The double-byte aware scan written out plainly: at each position compare, then step one
// byte or a whole two-byte character. The fast scanner must agree with it everywhere.
namespace reference {

bool matches_at(const std::string& t, std::size_t at, const std::string& n, bool ic) {
  if (at + n.size() > t.size()) return false;
  bool second = false;
  for (std::size_t j = 0; j < n.size(); ++j) {
    auto a = static_cast<unsigned char>(t[at + j]);
    auto b = static_cast<unsigned char>(n[j]);
    if (ic && !second) {
      if (a >= 'A' && a <= 'Z') a += 32;
      if (b >= 'A' && b <= 'Z') b += 32;
    }
    if (a != b) return false;
    second = !second && b >= 0x80;
  }
  return true;
}

std::size_t step(const std::string& t, std::size_t at) {
  return static_cast<unsigned char>(t[at]) >= 0x80 ? 2 : 1;
}

int find_first(const std::string& t, const std::string& n, bool ic) {
  for (std::size_t at = 0; at < t.size(); at += step(t, at)) {
    if (matches_at(t, at, n, ic)) return static_cast<int>(at + 1);
  }
  return -1;
}

int find_last(const std::string& t, const std::string& n, bool ic) {
  int last = -1;
  for (std::size_t at = 0; at < t.size(); at += step(t, at)) {
    if (matches_at(t, at, n, ic)) last = static_cast<int>(at + 1);
  }
  return last;
}

std::string replace_all(const std::string& t, const std::string& n, const std::string& r, bool ic) {
  std::string out;
  std::size_t at = 0;
  while (at < t.size()) {
    if (matches_at(t, at, n, ic)) {
      out += r;
      at += n.size();
    } else {
      const std::size_t s = std::min(step(t, at), t.size() - at);
      out.append(t, at, s);
      at += s;
    }
  }
  return out;
}

}  // namespace reference

TEST(DoubleByteScan, AgreesWithPlainScanOnRandomTexts) {
  // Few distinct bytes, so matches, near matches and second-byte traps are frequent.
  const std::string alphabet = std::string("aAbB\\n\r") + "\xB0\x5C\x41\x61\xA1";
  std::mt19937 rng(20240611);
  auto random_text = [&](std::size_t max_length) {
    std::string s(std::uniform_int_distribution<std::size_t>(0, max_length)(rng), ' ');
    for (char& c : s) c = alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(rng)];
    return s;
  };
  for (int round = 0; round < 20000; ++round) {
    const std::string text = random_text(40);
    const std::string needle = random_text(4);
    if (needle.empty()) continue;
    const bool ic = (round % 3) == 0;
    const Text t = T(text);
    const Text n = T(needle);
    ASSERT_EQ(find_first(t, n, 1, ic), reference::find_first(text, needle, ic))
        << "text=" << text << " needle=" << needle << " ic=" << ic;
    ASSERT_EQ(find_last(t, n, std::nullopt, ic), reference::find_last(text, needle, ic))
        << "text=" << text << " needle=" << needle << " ic=" << ic;
    ASSERT_EQ(replace_all(t, n, "#", ic), T(reference::replace_all(text, needle, "#", ic)))
        << "text=" << text << " needle=" << needle << " ic=" << ic;
  }
}

TEST(DoubleByteScan, LongInputsStayCorrect) {
  // A long run of two-byte characters ending in a backslash, then a real backslash-n.
  std::string text;
  for (int i = 0; i < 100000; ++i) text += kTrail5C;
  text += "n\\n";
  EXPECT_EQ(find_first(T(text), "\\n"), static_cast<int>(text.size()) - 1);
  // A needle with many partial matches.
  const std::string many_a(50000, 'a');
  EXPECT_EQ(find_first(T(many_a + "b"), T(std::string(1000, 'a') + "b")), 49001);
  EXPECT_EQ(replace_all(T(many_a), "aa", "b"), T(std::string(25000, 'b')));
}

}  // namespace
}  // namespace kestrin
