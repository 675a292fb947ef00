// JPEG decoding with libjpeg-turbo itself, apart from the image library: any
// number of threads may run it at once.
#pragma once

#include <cstddef>
#include <optional>

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

}  // namespace quarn::thumb
