// The illustration of the usage page: a JPEG built into the program.
#pragma once

#include <span>

namespace kestrin {

// The JPEG file's bytes, as stored in assets/ (700 x 594, baseline, JFIF 1.01, 96 dpi).
[[nodiscard]] std::span<const unsigned char> illustration_jpeg() noexcept;

}  // namespace kestrin
