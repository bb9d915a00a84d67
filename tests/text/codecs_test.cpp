// Tests of the code-page conversions, Base64 and the digests.
#include "text/codecs.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "text/text_ops.h"

namespace kestrin {
namespace {

Text T(const std::string& s) { return Text(s); }
Bytes B(const std::string& s) { return Bytes(s); }

std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

constexpr const char* kEuroGbk = "\x80";
constexpr const char* kEuroUtf8 = "\xE2\x82\xAC";

TEST(CodecConversion, KnownCharactersBothWays) {
  struct Case {
    std::string gbk, utf8;
  };
  const std::vector<Case> cases = {
      {"\xD6\xD0\xCE\xC4", "\xE4\xB8\xAD\xE6\x96\x87"},  // 中文
      {"", ""},
      {"plain ASCII\r\n", "plain ASCII\r\n"},
      {"\xC4\xE3\xBA\xC3, world", "\xE4\xBD\xA0\xE5\xA5\xBD, world"},  // 你好
      {"\xA1\xA1", "\xE3\x80\x80"},                      // full-width space
      {"\xA3\xA1", "\xEF\xBC\x81"},                      // full-width !
      {"\xA8\xA6", "\xC3\xA9"},                          // é
      {"\x81\x40", "\xE4\xB8\x82"},                      // first two-byte character
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hex(gbk_to_utf8(T(c.gbk)).view()), hex(c.utf8)) << hex(c.gbk);
    EXPECT_EQ(hex(utf8_to_gbk(T(c.utf8)).view()), hex(c.gbk)) << hex(c.utf8);
  }
}

// Texts whose UTF-8 form outgrows twice their GBK length: each is converted whole.
TEST(CodecConversion, EuroSignTextsAreNeverCut) {
  struct Case {
    std::string gbk, utf8;
  };
  std::string many_gbk, many_utf8;
  for (int i = 0; i < 5000; ++i) {
    many_gbk += kEuroGbk;
    many_utf8 += kEuroUtf8;
  }
  const std::vector<Case> cases = {
      {kEuroGbk, kEuroUtf8},
      {std::string(kEuroGbk) + kEuroGbk, std::string(kEuroUtf8) + kEuroUtf8},  // 6 bytes
      {std::string(kEuroGbk) + kEuroGbk + kEuroGbk + "a",
       std::string(kEuroUtf8) + kEuroUtf8 + kEuroUtf8 + "a"},
      {many_gbk, many_utf8},
      {many_gbk + "\xD6\xD0" + many_gbk, many_utf8 + "\xE4\xB8\xAD" + many_utf8},
  };
  for (const Case& c : cases) {
    const Text utf8 = gbk_to_utf8(T(c.gbk));
    EXPECT_EQ(utf8.size(), c.utf8.size());
    EXPECT_EQ(utf8, T(c.utf8));
    EXPECT_EQ(utf8_to_gbk(utf8), T(c.gbk));
  }
}

// One "?" per sequence that is invalid or that the target lacks; the rest converts.
TEST(CodecConversion, BadSequencesBecomeQuestionMarks) {
  struct Case {
    std::string input, expected;
  };
  const std::vector<Case> to_gbk = {
      {"a\xFF" "b", "a?b"},
      {"a\xE4\xB8", "a?"},                      // cut off at the end
      {"a\xE4\xB8" "b\xE4\xB8\xAD", "a?b\xD6\xD0"},
      {"\xF0\x9F\x98\x80!", "?!"},               // an emoji: valid, but not in GBK
      {"x\xED\xA0\x80y", "x???y"},               // an encoded surrogate is not UTF-8
      {"\xC0\x80", "??"},                        // overlong
      {"\xF4\x90\x80\x80", "????"},              // beyond U+10FFFF
      {"\x80\xBF" "a", "??a"},                   // stray continuation bytes
      {"\xE0\xA4\x85\xE4\xB8\xAD", "?\xD6\xD0"}, // Devanagari, then 中
      {"\xEF\xBB\xBF{}", "?{}"},                 // a byte-order mark has no GBK form
  };
  for (const Case& c : to_gbk) {
    EXPECT_EQ(hex(utf8_to_gbk(T(c.input)).view()), hex(c.expected)) << hex(c.input);
  }
  const std::vector<Case> to_utf8 = {
      {"a\x81", "a?"},                // a first byte cut off at the end
      {"\xD6\xD0\xCE", "\xE4\xB8\xAD?"},
      {"a\x81\x30" "b", "a?0b"},      // no valid second byte: only the first is lost
      {"\xFF\xD6\xD0", "?\xE4\xB8\xAD"},
      {"\xA2\xA0\xD6\xD0", "?\xE4\xB8\xAD"},  // a well-formed pair GBK leaves unassigned
  };
  for (const Case& c : to_utf8) {
    EXPECT_EQ(hex(gbk_to_utf8(T(c.input)).view()), hex(c.expected)) << hex(c.input);
  }
}

// Every well-formed two-byte code: an assigned one survives GBK -> UTF-8 -> GBK unchanged,
// an unassigned one becomes one "?". Converted one by one and all at once in one text.
TEST(CodecConversion, EveryTwoByteCharacterRoundTrips) {
  int assigned = 0;
  std::string all, expected_back;
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
      if (trail == 0x7F) continue;
      const std::string gbk{static_cast<char>(lead), static_cast<char>(trail)};
      const Text utf8 = gbk_to_utf8(T(gbk));
      all += gbk;
      if (utf8 == Text("?")) {
        expected_back += "?";
        continue;
      }
      ++assigned;
      expected_back += gbk;
      ASSERT_GE(utf8.size(), 2u) << hex(gbk);
      ASSERT_LE(utf8.size(), 3u) << hex(gbk);
      ASSERT_EQ(hex(utf8_to_gbk(utf8).view()), hex(gbk));
    }
  }
  EXPECT_GT(assigned, 21000);  // GBK assigns 21886 codes, CP936 nearly all of them
  EXPECT_EQ(utf8_to_gbk(gbk_to_utf8(T(all))), T(expected_back));
}

// to_wide then from_wide is the definition of both conversions; the direct path must agree.
TEST(CodecConversion, DirectPathEqualsTwoSteps) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(1, 255);
  for (int round = 0; round < 3000; ++round) {
    std::string s(static_cast<std::size_t>(round % 40), ' ');
    for (char& c : s) c = static_cast<char>(byte(rng));
    const Text t = T(s);
    ASSERT_EQ(gbk_to_utf8(t), from_wide(to_wide(t, kCodePageGbk), kCodePageUtf8)) << hex(s);
    ASSERT_EQ(utf8_to_gbk(t), from_wide(to_wide(t), kCodePageGbk)) << hex(s);
  }
}

TEST(CodecWide, ToWideIsExactlySizedWithOneTerminator) {
  struct Case {
    std::string text;
    std::optional<int> code_page;
    std::string wide;
  };
  const std::vector<Case> cases = {
      {"\xE6\x96\x87\xE6\x96\x87", std::nullopt, std::string("\x87\x65\x87\x65\0\0", 6)},
      {"", std::nullopt, std::string("\0\0", 2)},
      {"", kCodePageGbk, std::string("\0\0", 2)},
      {"a", kCodePageUtf8, std::string("a\0\0\0", 4)},
      {"\xD6\xD0", kCodePageGbk, std::string("\x2D\x4E\0\0", 4)},
      {"\xD6\xD0", kCodePageAnsi, std::string("\x2D\x4E\0\0", 4)},
      {"\x80", kCodePageAnsi, std::string("\xAC\x20\0\0", 4)},
      {"\xF0\x9F\x98\x80", std::nullopt, std::string("\x3D\xD8\x00\xDE\0\0", 6)},  // a pair
      {"a\xFF", std::nullopt, std::string("a\0?\0\0\0", 6)},
      {"a", 1252, ""},  // a code page this tool does not know
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hex(to_wide(T(c.text), c.code_page).view()), hex(c.wide)) << hex(c.text);
  }
}

TEST(CodecWide, FromWideReadsUpToTheFirstZeroUnit) {
  struct Case {
    std::string wide;
    std::optional<int> code_page;
    std::string text;
  };
  const std::vector<Case> cases = {
      {std::string("\x87\x65\x87\x65\0\0", 6), kCodePageGbk, "\xCE\xC4\xCE\xC4"},
      {std::string("\x87\x65\x87\x65\0\0", 6), std::nullopt, "\xCE\xC4\xCE\xC4"},  // ANSI is GBK
      {std::string("\x87\x65\x87\x65\0\0", 6), kCodePageUtf8, "\xE6\x96\x87\xE6\x96\x87"},
      {std::string("\x87\x65", 2), kCodePageGbk, "\xCE\xC4"},      // no terminator: to the end
      {std::string("a\0\0\0b\0", 6), kCodePageGbk, "a"},
      {std::string("\0\0", 2), kCodePageGbk, ""},
      {"", kCodePageGbk, ""},
      {std::string("\xAC\x20\0\0", 4), std::nullopt, "\x80"},
      {std::string("a\0\x00\xD8" "b\0", 6), kCodePageGbk, "a?b"},  // a lone surrogate
      {std::string("\x3D\xD8\x00\xDE" "b\0", 6), kCodePageGbk, "?b"},  // one character, one "?"
      {std::string("\x3D\xD8\x00\xDE", 4), kCodePageUtf8, "\xF0\x9F\x98\x80"},
      {std::string("a\0b", 3), kCodePageGbk, "a?"},                // half a unit at the end
      {std::string("a\0", 2), 1252, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hex(from_wide(B(c.wide), c.code_page).view()), hex(c.text)) << hex(c.wide);
  }
}

TEST(CodecBase64, Table) {
  struct Case {
    std::string data, encoded;
  };
  const std::vector<Case> cases = {
      {"", ""},          {"f", "Zg=="},         {"fo", "Zm8="},          {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
      {std::string("\0\xFF\xFE", 3), "AP/+"},    {std::string("\0", 1), "AA=="},
      {"\xE4\xBD\xA0\xE5\xA5\xBD", "5L2g5aW9"},
  };
  for (const Case& c : cases) EXPECT_EQ(base64_encode(B(c.data)), T(c.encoded)) << c.data;
}

TEST(CodecBase64, AgreesWithOpenSslAtEveryLengthWithoutLineBreaks) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> byte(0, 255);
  std::string data;
  for (std::size_t length = 0; length <= 400; ++length) {
    const Bytes input(data);
    std::string expected(4 * ((length + 2) / 3) + 1, '\0');
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(expected.data()),
                                        reinterpret_cast<const unsigned char*>(data.data()),
                                        static_cast<int>(length));
    expected.resize(static_cast<std::size_t>(written));
    ASSERT_EQ(base64_encode(input), T(expected)) << "length " << length;
    EXPECT_EQ(input.size(), length);
    data += static_cast<char>(byte(rng));
  }
  EXPECT_EQ(base64_encode(B(std::string(100, 'x'))).size(), 136u);
}

TEST(CodecDigest, Md5Forms) {
  const Bytes abc = B("abc");
  struct Case {
    std::optional<bool> upper_case, middle_16;
    const char* expected;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, "900150983cd24fb0d6963f7d28e17f72"},
      {true, std::nullopt, "900150983CD24FB0D6963F7D28E17F72"},
      {std::nullopt, true, "3cd24fb0d6963f7d"},
      {true, true, "3CD24FB0D6963F7D"},
      {false, false, "900150983cd24fb0d6963f7d28e17f72"},
  };
  for (const Case& c : cases) EXPECT_EQ(md5_hex(abc, c.upper_case, c.middle_16), Text(c.expected));
}

TEST(CodecDigest, Md5Vectors) {
  struct Case {
    std::string data;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      {std::string("\0\0", 2), "c4103f122d27677c9db144cae1394a66"},
  };
  for (const Case& c : cases) EXPECT_EQ(md5_hex(B(c.data)), Text(c.expected)) << c.data;
}

TEST(CodecDigest, HashHexLengthsAndAlgorithms) {
  const Bytes abc = B("abc");
  EXPECT_EQ(hash_hex(abc, kAlgorithmMd5, kMd5Length), Text("900150983CD24FB0D6963F7D28E17F72"));
  EXPECT_EQ(hash_hex(abc, kAlgorithmMd5, 64), Text("900150983CD24FB0D6963F7D28E17F72"));
  EXPECT_EQ(hash_hex(abc, kAlgorithmMd5, 15), Text());
  EXPECT_EQ(hash_hex(abc, kAlgorithmMd5, 0), Text());
  EXPECT_EQ(hash_hex(abc, kAlgorithmMd5, -1), Text());
  EXPECT_EQ(hash_hex(abc, 0x8004, 20), Text());  // an algorithm this tool does not offer
  EXPECT_EQ(hash_hex(abc, 0, 16), Text());
}

// Each thread converts with its own converters; results must not mix.
TEST(CodecConcurrency, ThreadsConvertIndependently) {
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int id = 0; id < 4; ++id) {
    threads.emplace_back([id, &failures] {
      const std::string gbk = std::string(static_cast<std::size_t>(id + 1), 'a') + "\xD6\xD0\x80";
      for (int i = 0; i < 500; ++i) {
        const Text utf8 = gbk_to_utf8(T(gbk));
        if (utf8_to_gbk(utf8) != T(gbk) || from_wide(to_wide(utf8)) != T(gbk) ||
            md5_hex(text_to_bytes(utf8)).size() != 32) {
          ++failures[static_cast<std::size_t>(id)];
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace kestrin
