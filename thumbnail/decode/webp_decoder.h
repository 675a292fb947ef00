// WebP decoding with libwebp, apart from the image library: any number of
// threads may run it at once.
#pragma once

#include <cstddef>
#include <optional>

#include "pixels/raster.h"

namespace quarn::thumb {

// Decodes a WebP the pre-flight check accepted, to RGB or RGBA. A still
// image whose thumbnail `target` is smaller in both dimensions is reduced
// by libwebp's rescaler as its rows are decoded: an area average within 1
// of reduce_area's, without the full-size pixels. An animation gives its
// first frame, at full size, on the transparent canvas. The ICCP chunk's
// profile is its colour space. Nothing when libwebp cannot decode it.
std::optional<DecodedImage> decode_webp(const unsigned char* data, std::size_t size, Size target);

}  // namespace quarn::thumb
