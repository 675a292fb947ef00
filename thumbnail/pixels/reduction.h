// The thumbnail's size, and the reduction that takes a decoder's rows down
// to it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "pixels/raster.h"

namespace quarn::thumb {

// Nearest integer, an exact half going down; single precision throughout.
float round_half_down(float x);

// Fits width x height into the box, keeping the aspect ratio; enlarges when
// the box is larger in both dimensions.
Size fit_size(std::uint32_t width, std::uint32_t height, std::uint32_t max_width,
              std::uint32_t max_height);

// Whether a scaled image stays within the limits of image_limits.h.
bool scaled_size_allowed(Size size, std::uint32_t depth);

// The thumbnail's size in the image's stored orientation: the box is
// fitted to the upright image, which for orientations 5-8 is turned.
Size thumbnail_size(Size stored, int orientation, std::uint32_t max_width,
                    std::uint32_t max_height);

// Where a decoder's rows go. Reduced as they come by an area average over
// whole blocks of pixels, down to no less than twice the thumbnail in each
// dimension (memory grows with the width, not the area); the rest with
// Lanczos-3, which keeps detail the average would soften.
class Reduction {
 public:
  // `target` is the thumbnail's size in the stored orientation.
  explicit Reduction(Size target) : target_(target) {}

  // The least size a decoder should decode at: twice the thumbnail, so
  // that the kernel has room to work.
  Size decode_at_least() const;

  // Once, before the first row: the size the decoder delivers and its
  // samples per pixel (1 grey, 2 grey+alpha, 3 RGB, 4 RGBA, 8-bit).
  void start(Size decoded, int channels);
  // The next row, top to bottom.
  void add_row(const std::uint8_t* row);
  void add_rows(const PixelView& image);

  // The thumbnail's pixels, grey or RGB with alpha composited onto white:
  // `target` in size; or, when the thumbnail is larger than the decoded
  // image in either dimension (or empty), the decoded image itself for the
  // image library to enlarge. Empty for a target beyond the limits, which
  // no step after this takes.
  Raster finish();

 private:
  Size target_;
  Size decoded_{};
  int channels_ = 0;
  std::optional<LanczosRows> lanczos_;  // when reducing
  std::optional<AreaAverage> average_;  // first, when whole blocks fit
  Buffer<std::uint8_t> flat_;           // a row composited onto white
  Raster whole_;                        // when kept as decoded
  std::uint32_t rows_ = 0;
  bool discard_ = false;
};

// The size an area average by whole blocks takes `decoded` to, leaving at
// least twice the thumbnail `target` per dimension: `decoded` itself when
// that is less than four times the thumbnail.
Size block_size(Size decoded, Size target);

}  // namespace quarn::thumb
