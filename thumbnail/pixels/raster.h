// Decoded images as the thumbnail steps hand them on, whichever decoder made
// them: 8-bit samples, interleaved.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "common/page_memory.h"

namespace quarn::thumb {

struct Size {
  std::uint32_t width;
  std::uint32_t height;
};

// Pixels the steps own; rows from top to bottom.
struct Raster {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  int channels = 0;                   // 1 grey, 2 grey+alpha, 3 RGB, 4 RGBA
  Buffer<std::uint8_t> samples;  // width * height * channels
};

// Pixels a decoder holds, read where they are rather than copied: a large
// image's copy costs more than its reduction.
struct PixelView {
  const std::uint8_t* samples;
  std::uint32_t width;
  std::uint32_t height;
  int channels;
  bool bottom_up;  // rows stored from the bottom up
  std::size_t stride = 0;  // bytes from one row to the next; 0: width * channels

  const std::uint8_t* row(std::uint32_t y) const {
    const std::uint32_t stored = bottom_up ? height - 1 - y : y;
    return samples + std::size_t{stored} * (stride != 0 ? stride : std::size_t{width} * channels);
  }
};

inline PixelView view(const Raster& image) {
  return {image.samples.data(), image.width, image.height, image.channels, false};
}

// What an image says about the colours its samples stand for, as its
// decoder read it; nothing said means sRGB.
struct ColourSpace {
  std::vector<std::uint8_t> icc;  // an embedded ICC profile, as stored
  // PNG without an ICC profile: the sRGB chunk, or gAMA and cHRM.
  bool srgb = false;
  double gamma = 0;  // gAMA's encoding gamma (0.45455 for 1/2.2); 0: none
  std::optional<std::array<double, 8>> chromaticities;  // cHRM: white, red, green, blue (x, y)
  // HEIF/AVIF colour box of type nclx: ITU-T H.273 code points.
  struct Nclx {
    int primaries = 2;  // 2: unspecified
    int transfer = 2;
    int matrix = 2;
    bool full_range = true;
  };
  std::optional<Nclx> nclx;

  bool tagged() const { return !icc.empty() || srgb || gamma != 0 || chromaticities || nclx; }
};

// Pixels a decoder outside the image library made, and what keeps them.
struct DecodedImage {
  PixelView pixels;
  std::shared_ptr<const void> owner;
  ColourSpace colour;
};

// A raster handed on as decoded pixels.
inline DecodedImage decoded(Raster image) {
  auto owner = std::make_shared<const Raster>(std::move(image));
  return {view(*owner), owner, {}};
}

// A copy with grey+alpha and RGBA composited onto white, as grey and RGB.
Raster flatten_on_white(const PixelView& image);

// One row of `colours` + 1 samples per pixel composited onto white.
void flatten_row(const std::uint8_t* in, std::uint32_t width, int colours, std::uint8_t* out);

// Reduces a grey or RGB image to `size` (not larger in either dimension)
// with a Lanczos-3 kernel stretched by the reduction: sharper than an area
// average at the same freedom from moire. Takes the rows one at a time and
// holds only the few the kernel spans; samples are clamped to 0-255.
class LanczosRows {
 public:
  LanczosRows(Size source, int channels, Size size);
  void add_row(const std::uint8_t* row);  // top to bottom; rows past the last are ignored
  Raster take();

  struct Taps {
    std::vector<std::uint32_t> first;  // per new pixel: its first source pixel
    std::vector<std::uint32_t> count;  // and how many follow
    std::vector<std::size_t> at;       // where its weights start in `weights`
    std::vector<float> weights;
  };

 private:
  Size source_;
  int channels_;
  Taps across_, down_;
  std::size_t out_row_;
  Raster result_;
  Buffer<float> window_;  // source rows reduced across, a ring
  std::uint32_t window_rows_ = 1;
  Buffer<float> samples_;  // the source row being reduced, as floats
  Buffer<float> sums_;
  std::uint32_t next_in_ = 0;
  std::uint32_t next_out_ = 0;
};

Raster reduce_lanczos(const Raster& image, Size size);

// Reduces an image to `size`, which is not empty and not larger in either
// dimension, taking its rows one at a time as a decoder makes them: each new
// pixel is the mean of the samples of the area it covers, pixels on the
// area's edges counting by the part inside it. Alpha is composited onto
// white first, so the result is grey or RGB. Holds a few rows of sums, never
// the image; hands each new row to `next` when given.
class AreaAverage {
 public:
  AreaAverage(Size source, int channels, Size size, LanczosRows* next = nullptr);
  // The next row, top to bottom; rows past the last are ignored.
  void add_row(const std::uint8_t* row);
  // The reduced image (without `next`); rows that no source row completed
  // stay black.
  Raster take();

  // Which source pixels one new pixel covers along one axis, in units of
  // 1/(new length) of a source pixel: the first and last count by their
  // overlap, those between fully.
  struct Span {
    std::uint32_t first;
    std::uint32_t last;
    std::uint32_t first_weight;
    std::uint32_t last_weight;  // 0 when first == last
  };

 private:
  void complete(const std::uint8_t* last, std::uint32_t last_weight);

  LanczosRows* next_;
  Size source_;
  bool alpha_;
  int colours_;
  std::vector<Span> across_, down_;
  std::size_t row_samples_;
  Raster result_;
  Buffer<std::uint8_t> flat_;    // the row composited onto white
  Buffer<std::uint16_t> narrow_;  // inner rows, a few hundred at a time
  Buffer<std::uint32_t> inner_;   // all inner rows of the new row
  Buffer<std::uint32_t> sums_;    // the new row's weighted sums
  std::uint32_t next_row_ = 0;
  std::uint32_t out_row_ = 0;
  unsigned narrowed_ = 0;
};

// AreaAverage over an image held whole.
Raster reduce_area(const PixelView& image, Size size);

// Whether an EXIF orientation (tag 274) turns the image by a quarter, so
// that the upright image has width and height swapped.
bool swaps_sides(int orientation);

// The stored image turned and mirrored upright as EXIF orientations 2 to 8
// describe; any other value leaves it as it is.
Raster orient(Raster image, int orientation);

}  // namespace quarn::thumb
