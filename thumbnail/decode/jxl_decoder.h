// JPEG XL decoding with libjxl, apart from the image library: any number of
// threads may run it at once, each call on its own thread only.
#pragma once

#include <cstdint>

#include "decode/jxl_header.h"

namespace quarn::thumb {

// What libjxl 0.7 holds at its peak while it decodes an image (its first
// frame shown, and the frames before it) into a buffer of its own, beside
// that buffer, from what its headers say: a few bytes a pixel for lossy
// (XYB or VarDCT) coding, one for lossless (modular) coding of the image's
// own colours, and for a lossy image about 44 more for every extra channel,
// over the image and, when frames are composed, the largest of them; with
// an embedded profile, eight times its encoded size. Measured per kind of
// file (tests/thumbnail/memory_test.cc).
std::uint64_t jxl_decode_bytes(const JxlLayout& layout, const JxlFrames& frames);

}  // namespace quarn::thumb
