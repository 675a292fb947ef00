// Colour management with lcms2: what an image says of its colours, turned
// into sRGB, which is what the thumbnail is written as (an untagged JPEG,
// which every viewer takes for sRGB).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pixels/raster.h"

namespace quarn::thumb {

// Converts grey or RGB samples from the colour space their decoder read
// (an ICC profile of the same kind, a PNG's gAMA and cHRM, a HEIF colour
// box's primaries and transfer) to sRGB, in place, with the perceptual
// intent. Untagged and sRGB images, other channel counts, and profiles
// lcms2 cannot use (damaged, of another colour space) are left as they are.
void to_srgb(Raster& image, const ColourSpace& colour);

// CMYK samples through a CMYK ICC profile to sRGB: 4 channels in, 3 out.
// `inverted` for Adobe's files, which store 255 for no ink. False, with the
// image untouched, when the profile is not a usable CMYK one.
bool cmyk_to_srgb(Raster& image, const std::vector<std::uint8_t>& icc, bool inverted);

}  // namespace quarn::thumb
