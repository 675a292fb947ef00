#include "pixels/reduction.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/image_limits.h"

namespace quarn::thumb {

float round_half_down(float x) {
  const float fraction = std::fmod(x, 1.0f);
  return fraction > 0.5f ? std::ceil(x) : std::floor(x);
}

namespace {

// Truncates like a float-to-integer conversion, but defined for any value:
// negative or NaN gives 0, beyond 32 bits saturates (the size check refuses it).
std::uint32_t truncate_to_u32(float x) {
  if (!(x > 0.0f)) return 0;
  if (x >= 4294967296.0f) return std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(x);
}

}  // namespace

Size fit_size(std::uint32_t width, std::uint32_t height, std::uint32_t max_width,
              std::uint32_t max_height) {
  const float w = static_cast<float>(width);
  const float h = static_cast<float>(height);
  const float ratio_w = static_cast<float>(max_width) / w;
  const float ratio_h = static_cast<float>(max_height) / h;
  const float scale = ratio_w > ratio_h ? ratio_h : ratio_w;
  return Size{truncate_to_u32(round_half_down(w * scale)),
              truncate_to_u32(round_half_down(h * scale))};
}

bool scaled_size_allowed(Size size, std::uint32_t depth) {
  const std::uint64_t pixels = std::uint64_t{size.width} * size.height;
  return size.width <= kMaxImageSide && size.height <= kMaxImageSide &&
         depth <= kMaxImageSide && pixels * (depth == 0 ? 1 : depth) <= kMaxImagePixels;
}

Size thumbnail_size(Size stored, int orientation, std::uint32_t max_width,
                    std::uint32_t max_height) {
  if (!swaps_sides(orientation)) return fit_size(stored.width, stored.height, max_width, max_height);
  const Size upright = fit_size(stored.height, stored.width, max_width, max_height);
  return {upright.height, upright.width};
}

namespace {

std::uint32_t twice(std::uint32_t n) {
  return n > std::numeric_limits<std::uint32_t>::max() / 2 ? std::numeric_limits<std::uint32_t>::max()
                                                           : 2 * n;
}

std::uint32_t blocks(std::uint32_t decoded, std::uint32_t at_least) {
  const std::uint32_t k = at_least == 0 ? 1 : decoded / at_least;
  return k < 2 ? decoded : (decoded + k / 2) / k;
}

}  // namespace

Size block_size(Size decoded, Size at_least) {
  return {blocks(decoded.width, at_least.width), blocks(decoded.height, at_least.height)};
}

Size Reduction::decode_at_least() const { return {twice(target_.width), twice(target_.height)}; }

void Reduction::start(Size decoded, int channels) {
  decoded_ = decoded;
  channels_ = channels;
  rows_ = 0;
  average_.reset();
  lanczos_.reset();
  whole_ = {};
  // Nothing after this takes such a thumbnail: the rows are only decoded,
  // so that a file that fails to decode fails as before.
  discard_ = !scaled_size_allowed(target_, 1);
  if (discard_) return;
  const int colours = channels >= 3 ? 3 : 1;
  const bool reduce = target_.width > 0 && target_.height > 0 && target_.width <= decoded.width &&
                      target_.height <= decoded.height;
  if (reduce) {
    const Size blocked = block_size(decoded, decode_at_least());
    lanczos_.emplace(blocked, colours, target_);
    if (blocked.width != decoded.width || blocked.height != decoded.height)
      average_.emplace(decoded, channels, blocked, &*lanczos_);
    else if (colours != channels)
      flat_.resize(std::size_t{decoded.width} * colours);
    return;
  }
  whole_ = Raster{decoded.width, decoded.height, colours,
                  Buffer<std::uint8_t>(std::size_t{decoded.width} * decoded.height * colours)};
}

void Reduction::add_row(const std::uint8_t* row) {
  if (discard_ || rows_ >= decoded_.height) return;
  const bool alpha = channels_ == 2 || channels_ == 4;
  const int colours = channels_ >= 3 ? 3 : 1;
  if (average_) {
    average_->add_row(row);
  } else if (lanczos_) {
    if (alpha) {
      flatten_row(row, decoded_.width, colours, flat_.data());
      row = flat_.data();
    }
    lanczos_->add_row(row);
  } else {
    const std::size_t bytes = std::size_t{whole_.width} * colours;
    std::uint8_t* out = whole_.samples.data() + rows_ * bytes;
    if (alpha)
      flatten_row(row, decoded_.width, colours, out);
    else
      std::copy_n(row, bytes, out);
  }
  ++rows_;
}

void Reduction::add_rows(const PixelView& image) {
  for (std::uint32_t y = 0; y < image.height; ++y) add_row(image.row(y));
}

Raster Reduction::finish() {
  if (discard_) return {};
  return lanczos_ ? lanczos_->take() : std::move(whole_);
}

}  // namespace quarn::thumb
