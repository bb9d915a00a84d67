#include "ui/jpeg_decode.h"

// libjpeg's header needs size_t and FILE declared first.
#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace kestrin {
namespace {

// libjpeg's own error handler ends the process; this one jumps back to the decoder instead.
struct ErrorManager {
  jpeg_error_mgr base{};
  std::jmp_buf resume{};
};

[[noreturn]] void jump_back(j_common_ptr info) {
  auto* manager = reinterpret_cast<ErrorManager*>(info->err);
  std::longjmp(manager->resume, 1);
}

void stay_silent(j_common_ptr) {}

// Owns the decompress object; destroys it on every path once it has been created.
struct Decompressor {
  jpeg_decompress_struct info{};
  ErrorManager errors{};
  bool created = false;

  Decompressor() = default;
  Decompressor(const Decompressor&) = delete;
  Decompressor& operator=(const Decompressor&) = delete;
  ~Decompressor() {
    if (created) jpeg_destroy_decompress(&info);
  }
};

// The two steps below are where libjpeg can fail. Each sets its own return point, and
// neither frame holds an object with a destructor, so a jump back skips nothing; what they
// fill lives in the caller.

// Reads the header and sets the output up as 32-bit pixels in QImage::Format_RGB32 order.
bool read_header(Decompressor& decoder, std::span<const unsigned char> data, int& width, int& height) {
  jpeg_decompress_struct& info = decoder.info;
  info.err = jpeg_std_error(&decoder.errors.base);
  decoder.errors.base.error_exit = jump_back;
  decoder.errors.base.output_message = stay_silent;
  if (setjmp(decoder.errors.resume) != 0) return false;

  jpeg_create_decompress(&info);
  decoder.created = true;
  jpeg_mem_src(&info, data.data(), static_cast<unsigned long>(data.size()));
  if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) return false;
  if (info.image_width == 0 || info.image_height == 0 || info.image_width > kMaxJpegSide ||
      info.image_height > kMaxJpegSide) {
    return false;
  }
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
  info.out_color_space = JCS_EXT_BGRX;  // the pad byte comes out as 0xFF
#else
  info.out_color_space = JCS_EXT_XRGB;
#endif
  jpeg_start_decompress(&info);
  if (info.output_components != 4) return false;
  width = static_cast<int>(info.output_width);
  height = static_cast<int>(info.output_height);
  return true;
}

bool read_pixels(Decompressor& decoder, unsigned char* bits, qsizetype stride) {
  jpeg_decompress_struct& info = decoder.info;
  if (setjmp(decoder.errors.resume) != 0) return false;
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = bits + stride * static_cast<qsizetype>(info.output_scanline);
    if (jpeg_read_scanlines(&info, &row, 1) != 1) return false;
  }
  jpeg_finish_decompress(&info);
  return true;
}

}  // namespace

QImage decode_jpeg(std::span<const unsigned char> data) {
  if (data.empty()) return {};
  Decompressor decoder;
  int width = 0;
  int height = 0;
  if (!read_header(decoder, data, width, height)) return {};
  QImage picture(width, height, QImage::Format_RGB32);
  if (picture.isNull()) return {};
  if (!read_pixels(decoder, picture.bits(), picture.bytesPerLine())) return {};
  return picture;
}

}  // namespace kestrin
