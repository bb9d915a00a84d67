#include "support/stand_in/wire.h"

#include <openssl/evp.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace kestrin::test_support::wire {

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  std::optional<JsonValue> document() {
    auto value = read_value(0);
    skip_space();
    if (!value || pos_ != text_.size()) return std::nullopt;
    return value;
  }

 private:
  static constexpr int kMaxDepth = 64;

  void skip_space() {
    while (pos_ < text_.size() &&
           (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }
  bool take(char c) {
    skip_space();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool take_word(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  std::optional<JsonValue> read_value(int depth) {
    if (depth > kMaxDepth) return std::nullopt;
    skip_space();
    if (pos_ >= text_.size()) return std::nullopt;
    JsonValue value;
    const char c = text_[pos_];
    if (c == '{') {
      ++pos_;
      value.kind = JsonValue::Kind::kObject;
      if (take('}')) return value;
      do {
        skip_space();
        auto name = read_string();
        if (!name || !take(':')) return std::nullopt;
        auto member = read_value(depth + 1);
        if (!member) return std::nullopt;
        value.member_names.push_back(std::move(*name));
        value.member_values.push_back(std::move(*member));
      } while (take(','));
      if (!take('}')) return std::nullopt;
    } else if (c == '[') {
      ++pos_;
      value.kind = JsonValue::Kind::kArray;
      if (take(']')) return value;
      do {
        auto item = read_value(depth + 1);
        if (!item) return std::nullopt;
        value.items.push_back(std::move(*item));
      } while (take(','));
      if (!take(']')) return std::nullopt;
    } else if (c == '"') {
      auto s = read_string();
      if (!s) return std::nullopt;
      value.kind = JsonValue::Kind::kString;
      value.string = std::move(*s);
    } else if (take_word("true")) {
      value.kind = JsonValue::Kind::kBool;
      value.boolean = true;
    } else if (take_word("false")) {
      value.kind = JsonValue::Kind::kBool;
    } else if (take_word("null")) {
      value.kind = JsonValue::Kind::kNull;
    } else {
      const std::size_t start = pos_;
      while (pos_ < text_.size() && std::string_view("+-0123456789.eE").find(text_[pos_]) != std::string_view::npos) {
        ++pos_;
      }
      if (pos_ == start) return std::nullopt;
      const std::string number(text_.substr(start, pos_ - start));
      char* end = nullptr;
      value.kind = JsonValue::Kind::kNumber;
      value.number = std::strtod(number.c_str(), &end);
      if (end != number.c_str() + number.size()) return std::nullopt;
    }
    return value;
  }

  std::optional<unsigned> read_hex4() {
    if (pos_ + 4 > text_.size()) return std::nullopt;
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      const char h = text_[pos_++];
      v <<= 4;
      if (h >= '0' && h <= '9') v |= static_cast<unsigned>(h - '0');
      else if (h >= 'a' && h <= 'f') v |= static_cast<unsigned>(h - 'a' + 10);
      else if (h >= 'A' && h <= 'F') v |= static_cast<unsigned>(h - 'A' + 10);
      else return std::nullopt;
    }
    return v;
  }

  std::optional<std::string> read_string() {
    if (pos_ >= text_.size() || text_[pos_] != '"') return std::nullopt;
    ++pos_;
    std::string out;
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= text_.size()) return std::nullopt;
      const char e = text_[pos_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          auto unit = read_hex4();
          if (!unit) return std::nullopt;
          std::uint32_t cp = *unit;
          if (cp >= 0xD800 && cp < 0xDC00 && text_.substr(pos_, 2) == "\\u") {
            const std::size_t save = pos_;
            pos_ += 2;
            auto low = read_hex4();
            if (low && *low >= 0xDC00 && *low < 0xE000) {
              cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
            } else {
              pos_ = save;
            }
          }
          append_utf8(out, cp);
          break;
        }
        default:
          return std::nullopt;
      }
    }
    return std::nullopt;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

std::string base64_encode(std::string_view data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const auto b0 = static_cast<unsigned char>(data[i]);
    const auto b1 = static_cast<unsigned char>(data[i + 1]);
    const auto b2 = static_cast<unsigned char>(data[i + 2]);
    out += kAlphabet[b0 >> 2];
    out += kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
    out += kAlphabet[((b1 & 15) << 2) | (b2 >> 6)];
    out += kAlphabet[b2 & 63];
  }
  const std::size_t rest = data.size() - i;
  if (rest > 0) {
    const auto b0 = static_cast<unsigned char>(data[i]);
    const auto b1 = rest == 2 ? static_cast<unsigned char>(data[i + 1]) : 0;
    out += kAlphabet[b0 >> 2];
    out += kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
    out += rest == 2 ? kAlphabet[(b1 & 15) << 2] : '=';
    out += '=';
  }
  return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    std::array<int, 4> v{};
    int pads = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + static_cast<std::size_t>(k)];
      if (c == '=' && last && k >= 2) {
        ++pads;
        v[static_cast<std::size_t>(k)] = 0;
        continue;
      }
      if (pads > 0) return std::nullopt;  // data after padding
      v[static_cast<std::size_t>(k)] = base64_value(c);
      if (v[static_cast<std::size_t>(k)] < 0) return std::nullopt;
    }
    const unsigned triple = (static_cast<unsigned>(v[0]) << 18) | (static_cast<unsigned>(v[1]) << 12) |
                            (static_cast<unsigned>(v[2]) << 6) | static_cast<unsigned>(v[3]);
    out += static_cast<char>((triple >> 16) & 0xFF);
    if (pads < 2) out += static_cast<char>((triple >> 8) & 0xFF);
    if (pads < 1) out += static_cast<char>(triple & 0xFF);
  }
  return out;
}

std::string md5_hex(std::string_view data) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned length = 0;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), data.data(), data.size()) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), digest.data(), &length) != 1) {
    return {};
  }
  static constexpr std::string_view kHex = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < length; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

bool valid_utf8(std::string_view data) {
  std::size_t i = 0;
  while (i < data.size()) {
    const auto c = static_cast<unsigned char>(data[i]);
    std::size_t need = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + need >= data.size()) return false;  // the sequence runs past the end
    for (std::size_t k = 1; k <= need; ++k) {
      const auto t = static_cast<unsigned char>(data[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (t & 0x3F);
    }
    if ((need == 2 && cp < 0x800) || (need == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += need + 1;
  }
  return true;
}

std::string json_escape(std::string_view data) {
  std::string out;
  out.reserve(data.size() + 16);
  for (const char c : data) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string json_quote(std::string_view data) { return '"' + json_escape(data) + '"'; }

const JsonValue* JsonValue::find(std::string_view name) const {
  for (std::size_t i = 0; i < member_names.size(); ++i) {
    if (member_names[i] == name) return &member_values[i];
  }
  return nullptr;
}

std::int64_t JsonValue::integer(std::string_view name, std::int64_t fallback) const {
  const JsonValue* v = find(name);
  if (v == nullptr || v->kind != Kind::kNumber || !std::isfinite(v->number)) return fallback;
  return static_cast<std::int64_t>(v->number);
}

std::string JsonValue::text(std::string_view name, std::string fallback) const {
  const JsonValue* v = find(name);
  if (v == nullptr || v->kind != Kind::kString) return fallback;
  return v->string;
}

bool JsonValue::flag(std::string_view name, bool fallback) const {
  const JsonValue* v = find(name);
  if (v == nullptr || v->kind != Kind::kBool) return fallback;
  return v->boolean;
}

std::optional<JsonValue> json_read(std::string_view text) { return Reader(text).document(); }

}  // namespace kestrin::test_support::wire
