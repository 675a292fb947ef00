// One BLOB as an embedded ICC profile, through the conversions a thumbnail
// makes after decoding: grey and RGB samples to sRGB, CMYK (plain and
// Adobe's inverted inks) to sRGB. A profile lcms2 refuses leaves the
// samples as they were; nothing may crash, leak or print.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "pixels/colour.h"

using namespace quarn::thumb;

namespace {

Raster ramp(int channels) {
  Raster image{7, 5, channels, Buffer<std::uint8_t>(std::size_t{7} * 5 * channels)};
  for (std::size_t i = 0; i < image.samples.size(); ++i) image.samples[i] = static_cast<std::uint8_t>(i * 37);
  return image;
}

bool same_shape(const Raster& image, int channels) {
  return image.width == 7 && image.height == 5 && image.channels == channels &&
         image.samples.size() == std::size_t{7} * 5 * channels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ColourSpace colour;
  colour.icc.assign(data, data + size);
  for (const int channels : {1, 3}) {
    Raster image = ramp(channels);
    to_srgb(image, colour);
    if (!same_shape(image, channels)) std::abort();
  }
  for (const bool inverted : {false, true}) {
    Raster image = ramp(4);
    const Raster before = image;
    const bool converted = cmyk_to_srgb(image, colour.icc, inverted);
    if (converted ? !same_shape(image, 3) : image.samples != before.samples || !same_shape(image, 4))
      std::abort();
  }
  return 0;
}
