#include "cli/json_text.h"

#include <cstdio>

#include "cli/encoding.h"

namespace kestrin::cli {

std::string json_string(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 2);
  out += '"';
  for (char32_t c : decode_utf8(utf8)) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04X", static_cast<unsigned>(c));
          out += buffer;
        } else {
          out += encode_utf8(c);
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace kestrin::cli
