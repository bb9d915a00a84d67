// Lets GoogleTest print Text values in failure messages (bytes, non-ASCII as \xNN).
#pragma once

#include <cstdio>
#include <ostream>

#include "text/types.h"

namespace kestrin {

inline void PrintTo(const Text& text, std::ostream* out) {
  *out << '"';
  for (unsigned char c : text.view()) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      *out << static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      *out << escaped;
    }
  }
  *out << '"';
}

}  // namespace kestrin
