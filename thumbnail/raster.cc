#include "raster.h"

#include <algorithm>
#include <cstddef>

namespace quarn::thumb {
namespace {

// Which source pixels one new pixel covers along one axis. In units of
// 1/(new length) of a source pixel, a source pixel is `new length` long and
// a new pixel `source length`, so every overlap is a whole number: the
// first and last source pixels count by their overlap, those between fully.
struct Span {
  std::uint32_t first;
  std::uint32_t last;
  std::uint32_t first_weight;
  std::uint32_t last_weight;  // 0 when first == last
};

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

void add_row(const std::uint8_t* row, std::size_t samples, std::uint16_t* sums) {
  for (std::size_t i = 0; i < samples; ++i) sums[i] = static_cast<std::uint16_t>(sums[i] + row[i]);
}

// Moves 16-bit sums into the 32-bit ones.
void widen(std::uint16_t* narrow, std::size_t samples, std::uint32_t* sums) {
  for (std::size_t i = 0; i < samples; ++i) {
    sums[i] += narrow[i];
    narrow[i] = 0;
  }
}

// The rows of one new row added up with their weights: the inner ones' sum
// and the partly covered first and last rows.
void weigh_rows(const std::uint8_t* first, std::uint32_t first_weight, const std::uint8_t* last,
                std::uint32_t last_weight, std::uint32_t full, std::size_t samples,
                std::uint32_t* sums) {
  for (std::size_t i = 0; i < samples; ++i)
    sums[i] = first_weight * first[i] + full * sums[i] + last_weight * last[i];
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

// One row composited onto white: `colours` samples per pixel from
// colours + 1.
void flatten_row(const std::uint8_t* in, std::uint32_t width, int colours, std::uint8_t* out) {
  for (std::uint32_t x = 0; x < width; ++x, in += colours + 1) {
    const unsigned alpha = in[colours];
    for (int c = 0; c < colours; ++c)
      *out++ = static_cast<std::uint8_t>((in[c] * alpha + 255 * (255 - alpha) + 127) / 255);
  }
}

// C is the number of channels after compositing: 1 or 3. Down the rows
// first, then across, so that the pass over most source samples is a plain
// addition over a whole row.
template <int C>
Raster reduce_channels(const PixelView& image, Size size) {
  const auto across = spans(image.width, size.width);
  const auto down = spans(image.height, size.height);
  const bool alpha = image.channels == C + 1;
  const std::size_t row_samples = std::size_t{image.width} * C;
  const std::size_t out_samples = std::size_t{size.width} * C;
  // Weights add up to the source width across and its height down.
  const double per_area = 1.0 / (static_cast<double>(image.width) * image.height);
  Raster result{size.width, size.height, C, std::vector<std::uint8_t>(out_samples * size.height)};
  // Composited copies of the first and last rows, and the row being added.
  std::vector<std::uint8_t> flat(alpha ? 3 * row_samples : 0);
  const auto composited = [&](std::uint32_t y, std::size_t slot) {
    const std::uint8_t* samples = image.row(y);
    if (!alpha) return samples;
    std::uint8_t* out = flat.data() + slot * row_samples;
    flatten_row(samples, image.width, C, out);
    return static_cast<const std::uint8_t*>(out);
  };
  std::vector<std::uint16_t> narrow(row_samples);
  std::vector<std::uint32_t> sums(row_samples);
  for (std::uint32_t y = 0; y < size.height; ++y) {
    const Span& s = down[y];
    std::fill(sums.begin(), sums.end(), 0);
    unsigned rows = 0;
    for (std::uint32_t inner = s.first + 1; inner < s.last; ++inner) {
      add_row(composited(inner, 2), row_samples, narrow.data());
      if (++rows == kNarrowRows) {
        widen(narrow.data(), row_samples, sums.data());
        rows = 0;
      }
    }
    if (rows > 0) widen(narrow.data(), row_samples, sums.data());
    weigh_rows(composited(s.first, 0), s.first_weight, composited(s.last, 1), s.last_weight,
               size.height, row_samples, sums.data());
    reduce_across<C>(sums.data(), across, size.width, per_area,
                     result.samples.data() + y * out_samples);
  }
  return result;
}

}  // namespace

Raster flatten_on_white(const PixelView& image) {
  const bool alpha = image.channels == 2 || image.channels == 4;
  const int colours = alpha ? image.channels - 1 : image.channels;
  const std::size_t row_bytes = std::size_t{image.width} * colours;
  Raster result{image.width, image.height, colours,
                std::vector<std::uint8_t>(row_bytes * image.height)};
  for (std::uint32_t y = 0; y < image.height; ++y) {
    std::uint8_t* out = result.samples.data() + y * row_bytes;
    if (alpha)
      flatten_row(image.row(y), image.width, colours, out);
    else
      std::copy_n(image.row(y), row_bytes, out);
  }
  return result;
}

Raster reduce_area(const PixelView& image, Size size) {
  return image.channels >= 3 ? reduce_channels<3>(image, size) : reduce_channels<1>(image, size);
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
                image.channels, std::vector<std::uint8_t>(image.samples.size())};
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
