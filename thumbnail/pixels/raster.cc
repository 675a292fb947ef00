#include "pixels/raster.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace quarn::thumb {
namespace {

// Spans in units of 1/(new length) of a source pixel: a source pixel is
// `new length` long and a new pixel `source length`, so every overlap is a
// whole number.
using Span = AreaAverage::Span;

std::vector<Span> spans(std::uint32_t source, std::uint32_t target) {
  std::vector<Span> result(target);
  for (std::uint32_t i = 0; i < target; ++i) {
    const std::uint64_t begin = std::uint64_t{i} * source;
    const std::uint64_t end = begin + source;
    Span& s = result[i];
    s.first = static_cast<std::uint32_t>(begin / target);
    s.last = static_cast<std::uint32_t>((end - 1) / target);
    if (s.first == s.last) {
      s.first_weight = source;
      s.last_weight = 0;
    } else {
      s.first_weight = static_cast<std::uint32_t>((std::uint64_t{s.first} + 1) * target - begin);
      s.last_weight = static_cast<std::uint32_t>(end - std::uint64_t{s.last} * target);
    }
  }
  return result;
}

// Adds one source row to 16-bit sums, which hold up to kNarrowRows rows:
// twice as many samples per vector instruction as 32 bits.
constexpr unsigned kNarrowRows = 65535 / 255;

void add_row_narrow(const std::uint8_t* row, std::size_t samples, std::uint16_t* sums) {
  for (std::size_t i = 0; i < samples; ++i) sums[i] = static_cast<std::uint16_t>(sums[i] + row[i]);
}

// Moves 16-bit sums into the 32-bit ones.
void widen(std::uint16_t* narrow, std::size_t samples, std::uint32_t* sums) {
  for (std::size_t i = 0; i < samples; ++i) {
    sums[i] += narrow[i];
    narrow[i] = 0;
  }
}

// The sums down the rows reduced across into one row of new pixels: per
// pixel and channel the weighted sum of its columns, divided by the area.
template <int C>
void reduce_across(const std::uint32_t* sums, const std::vector<Span>& across, std::uint32_t full,
                   double per_area, std::uint8_t* out) {
  for (const Span& s : across) {
    std::uint64_t inner[C] = {};
    for (std::uint32_t x = s.first + 1; x < s.last; ++x)
      for (int c = 0; c < C; ++c) inner[c] += sums[std::size_t{x} * C + c];
    const std::uint32_t* first = sums + std::size_t{s.first} * C;
    const std::uint32_t* last = sums + std::size_t{s.last} * C;
    for (int c = 0; c < C; ++c) {
      const std::uint64_t total = std::uint64_t{s.first_weight} * first[c] + full * inner[c] +
                                  std::uint64_t{s.last_weight} * last[c];
      *out++ = static_cast<std::uint8_t>(static_cast<double>(total) * per_area + 0.5);
    }
  }
}

}  // namespace

void flatten_row(const std::uint8_t* in, std::uint32_t width, int colours, std::uint8_t* out) {
  for (std::uint32_t x = 0; x < width; ++x, in += colours + 1) {
    const unsigned alpha = in[colours];
    for (int c = 0; c < colours; ++c)
      *out++ = static_cast<std::uint8_t>((in[c] * alpha + 255 * (255 - alpha) + 127) / 255);
  }
}

Raster flatten_on_white(const PixelView& image) {
  const bool alpha = image.channels == 2 || image.channels == 4;
  const int colours = alpha ? image.channels - 1 : image.channels;
  const std::size_t row_bytes = std::size_t{image.width} * colours;
  Raster result{image.width, image.height, colours,
                Buffer<std::uint8_t>(row_bytes * image.height)};
  for (std::uint32_t y = 0; y < image.height; ++y) {
    std::uint8_t* out = result.samples.data() + y * row_bytes;
    if (alpha)
      flatten_row(image.row(y), image.width, colours, out);
    else
      std::copy_n(image.row(y), row_bytes, out);
  }
  return result;
}

AreaAverage::AreaAverage(Size source, int channels, Size size, LanczosRows* next)
    : next_(next),
      source_(source),
      alpha_(channels == 2 || channels == 4),
      colours_(channels >= 3 ? 3 : 1),
      across_(spans(source.width, size.width)),
      down_(spans(source.height, size.height)),
      row_samples_(std::size_t{source.width} * colours_),
      // Only the row being made when the rows go on.
      result_{size.width, size.height, colours_,
              Buffer<std::uint8_t>(std::size_t{size.width} * (next ? 1 : size.height) * colours_)},
      flat_(alpha_ ? row_samples_ : 0),
      narrow_(row_samples_),
      inner_(row_samples_),
      sums_(row_samples_) {}

void AreaAverage::add_row(const std::uint8_t* row) {
  if (next_row_ >= source_.height) return;
  const std::uint32_t y = next_row_++;
  if (alpha_) {
    flatten_row(row, source_.width, colours_, flat_.data());
    row = flat_.data();
  }
  // A row on the border of two new rows counts in both.
  while (out_row_ < down_.size()) {
    const Span& s = down_[out_row_];
    if (y < s.first) break;
    if (y == s.first) {
      for (std::size_t i = 0; i < row_samples_; ++i) sums_[i] = s.first_weight * row[i];
      narrowed_ = 0;
    } else if (y < s.last) {
      add_row_narrow(row, row_samples_, narrow_.data());
      if (++narrowed_ == kNarrowRows) {
        widen(narrow_.data(), row_samples_, inner_.data());
        narrowed_ = 0;
      }
    }
    if (y != s.last) break;
    complete(s.first == s.last ? nullptr : row, s.last_weight);
  }
}

void AreaAverage::complete(const std::uint8_t* last, std::uint32_t last_weight) {
  widen(narrow_.data(), row_samples_, inner_.data());
  narrowed_ = 0;
  const std::uint32_t full = result_.height;
  for (std::size_t i = 0; i < row_samples_; ++i) {
    sums_[i] += full * inner_[i] + (last != nullptr ? last_weight * last[i] : 0);
    inner_[i] = 0;
  }
  const double per_area = 1.0 / (static_cast<double>(source_.width) * source_.height);
  std::uint8_t* out =
      result_.samples.data() + (next_ ? 0 : std::size_t{out_row_} * result_.width * colours_);
  if (colours_ == 3)
    reduce_across<3>(sums_.data(), across_, result_.width, per_area, out);
  else
    reduce_across<1>(sums_.data(), across_, result_.width, per_area, out);
  ++out_row_;
  if (next_) next_->add_row(out);
}

Raster AreaAverage::take() { return std::move(result_); }

Raster reduce_area(const PixelView& image, Size size) {
  AreaAverage average({image.width, image.height}, image.channels, size);
  for (std::uint32_t y = 0; y < image.height; ++y) average.add_row(image.row(y));
  return average.take();
}

namespace {

// Lanczos-3: sinc(x) sinc(x / 3) within three lobes.
double lanczos3(double x) {
  x = std::fabs(x);
  if (x < 1e-9) return 1.0;
  if (x >= 3.0) return 0.0;
  const double px = M_PI * x;
  return 3.0 * std::sin(px) * std::sin(px / 3.0) / (px * px);
}

// The weights of the source pixels that make up each new pixel along one
// axis, the kernel stretched by the reduction so that it passes only what
// the new spacing can hold. Pixels beyond the edges count as the edge pixel.
LanczosRows::Taps lanczos_taps(std::uint32_t source, std::uint32_t target) {
  LanczosRows::Taps taps;
  const double scale = static_cast<double>(source) / target;
  const double support = 3.0 * std::max(scale, 1.0);
  const double stretch = std::max(scale, 1.0);
  std::vector<double> weights;
  for (std::uint32_t i = 0; i < target; ++i) {
    const double centre = (i + 0.5) * scale;
    const auto left = static_cast<std::int64_t>(std::floor(centre - support));
    const auto right = static_cast<std::int64_t>(std::ceil(centre + support));
    const std::int64_t last = static_cast<std::int64_t>(source) - 1;
    const std::int64_t lo = std::clamp<std::int64_t>(left, 0, last);
    const std::int64_t hi = std::clamp<std::int64_t>(right, 0, last);
    weights.assign(static_cast<std::size_t>(hi - lo + 1), 0.0);
    double total = 0;
    for (std::int64_t j = left; j <= right; ++j) {
      const double w = lanczos3((j + 0.5 - centre) / stretch);
      if (w == 0.0) continue;
      weights[static_cast<std::size_t>(std::clamp(j, lo, hi) - lo)] += w;
      total += w;
    }
    taps.first.push_back(static_cast<std::uint32_t>(lo));
    taps.count.push_back(static_cast<std::uint32_t>(weights.size()));
    taps.at.push_back(taps.weights.size());
    for (const double w : weights) taps.weights.push_back(static_cast<float>(w / total));
  }
  return taps;
}

// One row reduced across: per new pixel, the weighted sum of its taps. The
// samples are made floats once, not once per tap that reads them.
template <int C>
void lanczos_across(const float* in, const LanczosRows::Taps& taps, std::uint32_t width,
                    float* out) {
  for (std::uint32_t x = 0; x < width; ++x, out += C) {
    const float* w = taps.weights.data() + taps.at[x];
    const float* from = in + std::size_t{taps.first[x]} * C;
    float sum[C] = {};
    for (std::uint32_t t = 0; t < taps.count[x]; ++t, from += C)
      for (int k = 0; k < C; ++k) sum[k] += w[t] * from[k];
    for (int k = 0; k < C; ++k) out[k] = sum[k];
  }
}

}  // namespace

LanczosRows::LanczosRows(Size source, int channels, Size size)
    : source_(source),
      channels_(channels),
      across_(lanczos_taps(source.width, size.width)),
      down_(lanczos_taps(source.height, size.height)),
      out_row_(std::size_t{size.width} * channels),
      result_{size.width, size.height, channels, Buffer<std::uint8_t>(out_row_ * size.height)},
      samples_(std::size_t{source.width} * channels),
      sums_(out_row_) {
  for (std::uint32_t y = 0; y < size.height; ++y) window_rows_ = std::max(window_rows_, down_.count[y]);
  window_.resize(out_row_ * window_rows_);
}

void LanczosRows::add_row(const std::uint8_t* in) {
  if (next_in_ >= source_.height) return;
  // Across, into the window of rows the next new rows take.
  float* out = window_.data() + (next_in_ % window_rows_) * out_row_;
  std::copy_n(in, samples_.size(), samples_.begin());
  if (channels_ == 3)
    lanczos_across<3>(samples_.data(), across_, result_.width, out);
  else
    lanczos_across<1>(samples_.data(), across_, result_.width, out);
  ++next_in_;
  // Down, for every new row whose source rows are all in.
  while (next_out_ < result_.height && down_.first[next_out_] + down_.count[next_out_] <= next_in_) {
    const std::uint32_t y = next_out_++;
    std::fill(sums_.begin(), sums_.end(), 0.0f);
    const float* w = down_.weights.data() + down_.at[y];
    for (std::uint32_t t = 0; t < down_.count[y]; ++t) {
      const float* from = window_.data() + ((down_.first[y] + t) % window_rows_) * out_row_;
      for (std::size_t i = 0; i < out_row_; ++i) sums_[i] += w[t] * from[i];
    }
    // The kernel's negative lobes overshoot at sharp edges: clamped.
    std::uint8_t* row = result_.samples.data() + y * out_row_;
    for (std::size_t i = 0; i < out_row_; ++i)
      row[i] = static_cast<std::uint8_t>(std::clamp(sums_[i] + 0.5f, 0.0f, 255.0f));
  }
}

Raster LanczosRows::take() { return std::move(result_); }

Raster reduce_lanczos(const Raster& image, Size size) {
  LanczosRows lanczos({image.width, image.height}, image.channels, size);
  for (std::uint32_t y = 0; y < image.height; ++y)
    lanczos.add_row(image.samples.data() + std::size_t{y} * image.width * image.channels);
  return lanczos.take();
}

bool swaps_sides(int orientation) { return orientation >= 5 && orientation <= 8; }

Raster orient(Raster image, int orientation) {
  if (orientation < 2 || orientation > 8) return image;
  const std::int64_t w = image.width;
  const std::int64_t h = image.height;
  // The stored pixel that lands at (x, y): start + x * step_x + y * step_y.
  struct Walk {
    std::int64_t start, step_x, step_y;
  };
  const Walk walks[] = {
      {w - 1, -1, w},                // 2: mirrored left to right
      {h * w - 1, -1, -w},           // 3: turned half round
      {(h - 1) * w, 1, -w},          // 4: mirrored top to bottom
      {0, w, 1},                     // 5: mirrored along the main diagonal
      {(h - 1) * w, -w, 1},          // 6: stored a quarter anticlockwise
      {h * w - 1, -w, -1},           // 7: mirrored along the other diagonal
      {w - 1, w, -1},                // 8: stored a quarter clockwise
  };
  const Walk& walk = walks[orientation - 2];
  const bool swap = swaps_sides(orientation);
  Raster result{swap ? image.height : image.width, swap ? image.width : image.height,
                image.channels, Buffer<std::uint8_t>(image.samples.size())};
  const int c = image.channels;
  std::uint8_t* out = result.samples.data();
  for (std::int64_t y = 0; y < result.height; ++y) {
    std::int64_t at = walk.start + y * walk.step_y;
    for (std::int64_t x = 0; x < result.width; ++x, at += walk.step_x, out += c)
      for (int k = 0; k < c; ++k) out[k] = image.samples[at * c + k];
  }
  return result;
}

}  // namespace quarn::thumb
