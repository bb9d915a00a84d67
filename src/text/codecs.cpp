// Code-page conversion on iconv (glibc's "CP936" for GBK, with the euro sign at 0x80),
// Base64 of our own, and digests on OpenSSL EVP.
//
// Each thread keeps its converters open (opening one costs far more than converting a short
// text). A conversion starts with room for the usual case and grows whenever iconv runs out,
// so the result always has exactly the bytes the text needs. Where iconv stops on a sequence
// that is invalid, or that the target cannot represent, one "?" takes the place of that
// sequence and the conversion goes on after it.
#include "text/codecs.h"

#include <iconv.h>
#include <openssl/evp.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>


namespace kestrin {
namespace {

// ---------------------------------------------------------------------------------------
// iconv

enum class Encoding { kGbk = 0, kUtf8 = 1, kUtf16 = 2 };
constexpr std::size_t kEncodingCount = 3;

const char* iconv_name(Encoding encoding) {
  switch (encoding) {
    case Encoding::kGbk:
      return "CP936";
    case Encoding::kUtf8:
      return "UTF-8";
    case Encoding::kUtf16:
      return "UTF-16LE";
  }
  return "";
}

std::optional<Encoding> encoding_of_code_page(int code_page) {
  switch (code_page) {
    case kCodePageAnsi:
    case kCodePageGbk:
      return Encoding::kGbk;
    case kCodePageUtf8:
      return Encoding::kUtf8;
    default:
      return std::nullopt;
  }
}

struct IconvCloser {
  void operator()(iconv_t cd) const noexcept { iconv_close(cd); }
};
using IconvHandle = std::unique_ptr<std::remove_pointer_t<iconv_t>, IconvCloser>;

// The calling thread's converter from `from` to `to`, opened on first use; null when iconv
// cannot provide it.
iconv_t converter(Encoding from, Encoding to) {
  thread_local std::array<IconvHandle, kEncodingCount * kEncodingCount> converters;
  IconvHandle& slot = converters[static_cast<std::size_t>(from) * kEncodingCount +
                                 static_cast<std::size_t>(to)];
  if (!slot) {
    iconv_t cd = iconv_open(iconv_name(to), iconv_name(from));
    if (cd == reinterpret_cast<iconv_t>(-1)) return nullptr;
    slot.reset(cd);
  }
  return slot.get();
}

// Length of the sequence at the start of `in` that iconv refused: a whole character when the
// input holds a complete one that the target lacks, otherwise the longest start of a
// character that could still have been valid (at least one byte).
std::size_t refused_length(Encoding from, const unsigned char* in, std::size_t left) {
  switch (from) {
    case Encoding::kGbk: {
      const unsigned char lead = in[0];
      if (lead >= 0x81 && lead <= 0xFE && left >= 2) {
        const unsigned char trail = in[1];
        if (trail >= 0x40 && trail <= 0xFE && trail != 0x7F) return 2;
      }
      return 1;
    }
    case Encoding::kUtf8: {
      const unsigned char lead = in[0];
      std::size_t length;
      unsigned char low = 0x80;  // range of the second byte
      unsigned char high = 0xBF;
      if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
      } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
      } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
      } else {
        return 1;
      }
      for (std::size_t i = 1; i < length; ++i) {
        if (i >= left) return i;
        const unsigned char next = in[i];
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return i;
      }
      return length;
    }
    case Encoding::kUtf16: {
      if (left < 2) return left;
      const unsigned unit = in[0] | (in[1] << 8);
      if (unit >= 0xD800 && unit <= 0xDBFF && left >= 4) {
        const unsigned next = in[2] | (in[3] << 8);
        if (next >= 0xDC00 && next <= 0xDFFF) return 4;
      }
      return 2;
    }
  }
  return 1;
}

// Output room that suffices in the usual case; conversions grow beyond it when they must.
std::size_t first_room(Encoding from, Encoding to, std::size_t input) {
  if (to == Encoding::kUtf16) return 2 * input + 2;   // one unit per byte at most
  if (to == Encoding::kGbk) return input + 2;         // never longer than the input
  if (from == Encoding::kUtf16) return input / 2 * 3 + 4;
  return input + input / 2 + 4;  // GBK to UTF-8: 2 bytes grow to 3; only the euro sign grows more
}

// `input` converted from `from` to `to`; nullopt when no converter is available.
std::optional<std::string> convert(Encoding from, Encoding to, std::string_view input) {
  iconv_t cd = converter(from, to);
  if (cd == nullptr) return std::nullopt;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial state

  const std::string_view question = (to == Encoding::kUtf16) ? std::string_view("?\0", 2) : "?";
  std::string out(first_room(from, to, input.size()), '\0');
  std::size_t written = 0;
  char* in = const_cast<char*>(input.data());  // iconv's signature; it never writes the input
  std::size_t in_left = input.size();

  auto ensure_room = [&](std::size_t wanted) {
    if (out.size() - written < wanted) out.resize(std::max(out.size() * 2, written + wanted));
  };
  while (in_left > 0) {
    char* out_next = out.data() + written;
    std::size_t out_left = out.size() - written;
    const std::size_t done = iconv(cd, &in, &in_left, &out_next, &out_left);
    written = static_cast<std::size_t>(out_next - out.data());
    if (done != static_cast<std::size_t>(-1)) break;
    const int error = errno;
    if (error == E2BIG) {
      ensure_room(out.size() - written + 16);
    } else if (error == EILSEQ || error == EINVAL) {
      const std::size_t skip =
          refused_length(from, reinterpret_cast<const unsigned char*>(in), in_left);
      ensure_room(question.size());
      std::memcpy(out.data() + written, question.data(), question.size());
      written += question.size();
      in += skip;
      in_left -= skip;
    } else {
      return std::nullopt;
    }
  }
  out.resize(written);
  return out;
}

// ---------------------------------------------------------------------------------------
// Digests

struct EvpMdCtxDeleter {
  void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
using EvpMdCtx = std::unique_ptr<EVP_MD_CTX, EvpMdCtxDeleter>;

constexpr char kHexUpper[] = "0123456789ABCDEF";
constexpr char kHexLower[] = "0123456789abcdef";

// The MD5 digest of `data`; false when OpenSSL cannot compute it.
bool md5_digest(const Bytes& data, std::array<unsigned char, kMd5Length>& digest) {
  EvpMdCtx ctx(EVP_MD_CTX_new());
  if (!ctx) return false;
  unsigned int length = 0;
  if (EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), data.data(), data.size()) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), digest.data(), &length) != 1 || length != kMd5Length) {
    return false;
  }
  return true;
}

std::string hex_of(const std::array<unsigned char, kMd5Length>& digest, const char* table) {
  std::string hex(2 * digest.size(), '\0');
  for (std::size_t i = 0; i < digest.size(); ++i) {
    hex[2 * i] = table[digest[i] >> 4];
    hex[2 * i + 1] = table[digest[i] & 0x0F];
  }
  return hex;
}

// ---------------------------------------------------------------------------------------
// Base64

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The two characters of every 12-bit value, so three bytes take two lookups.
struct Base64Pairs {
  std::array<char, 2 * 4096> chars{};
  constexpr Base64Pairs() {
    for (std::size_t v = 0; v < 4096; ++v) {
      chars[2 * v] = kBase64Alphabet[v >> 6];
      chars[2 * v + 1] = kBase64Alphabet[v & 63];
    }
  }
};
constexpr Base64Pairs kBase64Pairs;

}  // namespace

Bytes to_wide(const Text& text, std::optional<int> code_page) {
  const auto from = encoding_of_code_page(code_page.value_or(kCodePageUtf8));
  if (!from) return {};
  auto wide = convert(*from, Encoding::kUtf16, text.view());
  if (!wide) return {};
  wide->append(2, '\0');
  return Bytes(std::move(*wide));
}

Text from_wide(const Bytes& wide, std::optional<int> code_page) {
  const auto to = encoding_of_code_page(code_page.value_or(kCodePageAnsi));
  if (!to || wide.empty()) return {};
  std::string_view units = wide.view();
  for (std::size_t i = 0; i + 1 < units.size(); i += 2) {
    if (units[i] == '\0' && units[i + 1] == '\0') {
      units = units.substr(0, i);
      break;
    }
  }
  auto text = convert(Encoding::kUtf16, *to, units);
  return text ? Text(std::move(*text)) : Text();
}

Text gbk_to_utf8(const Text& text) {
  if (text.empty()) return {};
  auto utf8 = convert(Encoding::kGbk, Encoding::kUtf8, text.view());
  return utf8 ? Text(std::move(*utf8)) : Text();
}

Text utf8_to_gbk(const Text& text) {
  if (text.empty()) return {};
  auto gbk = convert(Encoding::kUtf8, Encoding::kGbk, text.view());
  return gbk ? Text(std::move(*gbk)) : Text();
}

Text base64_encode(const Bytes& data) {
  const std::size_t n = data.size();
  if (n == 0) return {};
  const auto* in = reinterpret_cast<const unsigned char*>(data.data());
  std::string out((n + 2) / 3 * 4, '\0');
  char* o = out.data();
  const char* pairs = kBase64Pairs.chars.data();
  std::size_t i = 0;
  for (; i + 3 <= n; i += 3, o += 4) {
    const std::uint32_t group = (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
    std::memcpy(o, pairs + 2 * (group >> 12), 2);
    std::memcpy(o + 2, pairs + 2 * (group & 0xFFF), 2);
  }
  if (const std::size_t rest = n - i; rest > 0) {
    const std::uint32_t group =
        (std::uint32_t{in[i]} << 16) | (rest == 2 ? std::uint32_t{in[i + 1]} << 8 : 0);
    o[0] = kBase64Alphabet[group >> 18];
    o[1] = kBase64Alphabet[(group >> 12) & 63];
    o[2] = rest == 2 ? kBase64Alphabet[(group >> 6) & 63] : '=';
    o[3] = '=';
  }
  return Text(std::move(out));
}

Text hash_hex(const Bytes& data, int algorithm, int digest_length) {
  if (algorithm != kAlgorithmMd5 || digest_length < kMd5Length) return {};
  std::array<unsigned char, kMd5Length> digest{};
  if (!md5_digest(data, digest)) return {};
  return Text(hex_of(digest, kHexUpper));
}

Text md5_hex(const Bytes& data, std::optional<bool> upper_case, std::optional<bool> middle_16) {
  std::array<unsigned char, kMd5Length> digest{};
  if (!md5_digest(data, digest)) return {};
  std::string hex = hex_of(digest, upper_case.value_or(false) ? kHexUpper : kHexLower);
  if (middle_16.value_or(false)) hex = hex.substr(8, 16);
  return Text(std::move(hex));
}

}  // namespace kestrin
