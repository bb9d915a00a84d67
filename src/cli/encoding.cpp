#include "cli/encoding.h"

#include <unordered_map>
#include <vector>

#include "text/codecs.h"

namespace kestrin::cli {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Length of the well-formed UTF-8 sequence at `pos` with its code point, or 0 when the
// bytes there are not one (Unicode's table of well-formed byte sequences).
std::size_t utf8_sequence(std::string_view s, std::size_t pos, char32_t& code_point) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b0 = byte(pos);
  if (b0 < 0x80) {
    code_point = b0;
    return 1;
  }
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) low = 0xA0;
    if (b0 == 0xED) high = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) low = 0x90;
    if (b0 == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (pos + length > s.size()) return 0;
  if (byte(pos + 1) < low || byte(pos + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(pos + i) < 0x80 || byte(pos + i) > 0xBF) return 0;
  }
  char32_t value = b0 & (0xFF >> (length + 1));
  for (std::size_t i = 1; i < length; ++i) value = (value << 6) | (byte(pos + i) & 0x3F);
  code_point = value;
  return length;
}

// True when one character's conversion came out empty or as "?" (the source is never "?").
bool lost_in_conversion(const Text& converted) {
  return converted.empty() || converted.view().find('?') != std::string_view::npos;
}

}  // namespace

std::size_t first_invalid_utf8(std::string_view bytes) {
  char32_t code_point = 0;
  for (std::size_t pos = 0; pos < bytes.size();) {
    const std::size_t length = utf8_sequence(bytes, pos, code_point);
    if (length == 0) return pos;
    pos += length;
  }
  return std::string_view::npos;
}

std::u32string decode_utf8(std::string_view bytes) {
  std::u32string out;
  out.reserve(bytes.size());
  char32_t code_point = 0;
  for (std::size_t pos = 0; pos < bytes.size();) {
    const std::size_t length = utf8_sequence(bytes, pos, code_point);
    if (length == 0) {
      out.push_back(kReplacement);
      ++pos;
    } else {
      out.push_back(code_point);
      pos += length;
    }
  }
  return out;
}

std::string encode_utf8(char32_t c) {
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = kReplacement;
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

LineBreaks detect_line_breaks(std::string_view text) {
  bool crlf = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n') continue;
    if (i == 0 || text[i - 1] != '\r') return LineBreaks::kLf;
    crlf = true;
  }
  return crlf ? LineBreaks::kCrLf : LineBreaks::kLf;
}

std::string lf_to_crlf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

std::string crlf_to_lf(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

Losses gbk_losses_of_utf8(std::string_view utf8) {
  // Fast path: the whole text survives the trip to GBK and back.
  const Text whole{std::string(utf8)};
  if (whole.size() == utf8.size() && !utf8.empty() &&
      gbk_to_utf8(utf8_to_gbk(whole)).view() == utf8) {
    return {};
  }
  Losses losses;
  std::unordered_map<char32_t, bool> lost_cache;
  std::size_t line = 1;
  char32_t code_point = 0;
  for (std::size_t pos = 0; pos < utf8.size();) {
    const std::size_t length = utf8_sequence(utf8, pos, code_point);
    bool lost = false;
    if (length == 0) {
      lost = true;
    } else if (code_point >= 0x80) {
      auto [it, fresh] = lost_cache.try_emplace(code_point, false);
      if (fresh) {
        it->second = lost_in_conversion(utf8_to_gbk(Text(utf8.substr(pos, length))));
      }
      lost = it->second;
    }
    if (lost && losses.count++ == 0) losses.first_line = line;
    if (utf8[pos] == '\n') ++line;
    pos += length == 0 ? 1 : length;
  }
  return losses;
}

Losses undecodable_gbk(std::string_view gbk) {
  const Text whole{std::string(gbk)};
  if (whole.size() == gbk.size() && !gbk.empty() &&
      utf8_to_gbk(gbk_to_utf8(whole)).view() == gbk) {
    return {};
  }
  Losses losses;
  std::vector<signed char> lost_cache(0x10000, -1);  // by unit value; -1 unknown
  std::size_t line = 1;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(gbk[i]); };
  for (std::size_t pos = 0; pos < gbk.size();) {
    const unsigned char lead = byte(pos);
    std::size_t length = 1;
    bool lost = false;
    if (lead >= 0x80) {
      if (lead >= 0x81 && lead <= 0xFE && pos + 1 < gbk.size() && byte(pos + 1) >= 0x40 &&
          byte(pos + 1) <= 0xFE && byte(pos + 1) != 0x7F) {
        length = 2;
      }
      const unsigned key = length == 2 ? (lead << 8 | byte(pos + 1)) : lead;
      if (lost_cache[key] < 0) {
        lost_cache[key] = lost_in_conversion(gbk_to_utf8(Text(gbk.substr(pos, length))));
      }
      lost = lost_cache[key] != 0;
    }
    if (lost && losses.count++ == 0) losses.first_line = line;
    if (gbk[pos] == '\n') ++line;
    pos += length;
  }
  return losses;
}

}  // namespace kestrin::cli
