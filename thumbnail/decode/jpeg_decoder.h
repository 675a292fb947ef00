// JPEG decoding with libjpeg-turbo itself, apart from the image library: any
// number of threads may run it at once.
#pragma once

#include <cstddef>
#include <optional>

#include "common/deadline.h"
#include "pixels/raster.h"

namespace quarn::thumb {

// Why decode_jpeg gave no image.
enum class JpegFailure {
  kNone,
  kLibjpeg,       // an error or a warning of libjpeg's
  kTooManyScans,  // more than kMaxJpegScans (common/image_limits.h)
  kOutOfTime,     // the deadline passed
};

// What bounds decode_jpeg beside the file.
struct JpegLimits {
  Deadline deadline;
  // Whether libjpeg keeps the APP2 segments, for the ICC profile: not when
  // the pre-flight's jpeg_profile_bytes are beyond kMaxJpegProfileBytes.
  bool profile = true;
};

// Decodes a JPEG straight from its DCT data at the smallest of libjpeg's
// scales 1/8 to 8/8 that is still at least `at_least` in both dimensions
// (full size when none is), to grey or RGB, with its embedded ICC profile
// (APP2 chunks joined) as its colour space. CMYK and YCCK (Adobe's inverted
// values included) become sRGB through a CMYK profile they embed, else RGB
// by plain ink arithmetic. Nothing when libjpeg reports any error or any
// warning (such as data that ends early): the image library, which passes
// over warnings, keeps deciding what such files give. Nothing either, and
// at once, past the deadline or past the most scans a JPEG may have, which
// libjpeg's progress monitor looks at for every row of blocks: `why` says
// which.
std::optional<DecodedImage> decode_jpeg(const unsigned char* data, std::size_t size, Size at_least,
                                        const JpegLimits& limits = {}, JpegFailure* why = nullptr);

}  // namespace quarn::thumb
