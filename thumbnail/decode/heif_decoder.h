// HEIF, HEIC and AVIF decoding with libheif (libde265 for HEVC, dav1d or
// libaom for AV1), apart from the image library: any number of threads may
// run it at once.
#pragma once

#include <cstddef>
#include <optional>

#include "pixels/raster.h"

namespace quarn::thumb {

// Decodes the primary image of a file the pre-flight check accepted (its
// first image, also in a file that holds a sequence) to 8-bit RGB or RGBA,
// as libheif shows it: rotated, mirrored and cropped as the file says
// (EXIF orientation, which HEIF files also carry, describes the same turn
// and is not applied on top), deeper samples reduced to 8 bits; its colour
// box (an ICC profile or nclx code points) is its colour space. Refuses,
// before anything is decoded, an image larger than the limits of
// image_limits.h. Nothing when refused or when libheif fails.
std::optional<DecodedImage> decode_heif(const unsigned char* data, std::size_t size);

}  // namespace quarn::thumb
