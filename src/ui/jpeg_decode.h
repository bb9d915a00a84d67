// Decoding of JPEG pictures with libjpeg, independent of Qt's image plug-ins.
#pragma once

#include <QImage>
#include <cstddef>
#include <span>

namespace kestrin {

// The largest width or height decode_jpeg accepts; larger pictures count as undecodable.
inline constexpr int kMaxJpegSide = 8192;

// The picture as a QImage (RGB32); grey-scale pictures come out as grey RGB. A null QImage
// when the bytes are not a JPEG libjpeg can decode, or the picture is larger than
// kMaxJpegSide on either side. Never exits the process, whatever the input.
[[nodiscard]] QImage decode_jpeg(std::span<const unsigned char> data);

}  // namespace kestrin
