// JPEG decoding and writing with libjpeg-turbo itself, apart from the image
// library: any number of threads may run these at once.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "pixels/raster.h"

namespace quarn::thumb {

// Decodes a JPEG straight from its DCT data at the smallest of libjpeg's
// scales 1/8 to 8/8 that is still at least `at_least` in both dimensions
// (full size when none is), to grey or RGB, with its embedded ICC profile
// (APP2 chunks joined) as its colour space. CMYK and YCCK (Adobe's inverted
// values included) become sRGB through a CMYK profile they embed, else RGB
// by plain ink arithmetic. Nothing when libjpeg reports any error or any
// warning (such as data that ends early): the image library, which passes
// over warnings, keeps deciding what such files give.
std::optional<DecodedImage> decode_jpeg(const unsigned char* data, std::size_t size, Size at_least);

// Every thumbnail is written at this quality.
constexpr int kJpegQuality = 90;

enum class WriteResult { kWritten, kCannotOpen, kWriteFailed, kEncodeFailed };

// Writes a grey or RGB image as a baseline JPEG of quality 90 with libjpeg's
// default 2x2 chroma subsampling, the image library's own settings, and
// replaces any file at the path only once the new one is complete
// (ReplacingFile): on any failure the path keeps what it held.
WriteResult write_jpeg(const Raster& image, const std::string& path);

}  // namespace quarn::thumb
