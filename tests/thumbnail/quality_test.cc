// What the thumbnails look like: tarvik's files, decoded, against pictures
// the test makes itself and reduces with an exact area average or a
// Lanczos-3 resampling of its own.
#include <gtest/gtest.h>
#include <IL/il.h>
#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "encoded_images.h"
#include "handmade_images.h"
#include "handmade_jpeg.h"
#include "tarvik_fixture.h"
#include "test_util.h"

namespace {

using quarn::handmade::JpegOptions;

// 8-bit samples, interleaved, top row first.
struct Picture {
  unsigned width = 0;
  unsigned height = 0;
  int channels = 0;
  std::vector<std::uint8_t> samples;
  std::uint8_t& at(unsigned x, unsigned y, int c) {
    return samples[(std::size_t{y} * width + x) * channels + c];
  }
};

template <class Paint>  // Paint(x, y, sample pointer)
Picture paint(unsigned width, unsigned height, int channels, Paint paint_pixel) {
  Picture p{width, height, channels, std::vector<std::uint8_t>(std::size_t{width} * height * channels)};
  for (unsigned y = 0; y < height; ++y)
    for (unsigned x = 0; x < width; ++x) paint_pixel(x, y, &p.at(x, y, 0));
  return p;
}

// The picture as its viewer sees it: alpha composited onto white.
Picture on_white(const Picture& p) {
  if (p.channels % 2 == 1) return p;
  const int colours = p.channels - 1;
  Picture out{p.width, p.height, colours, {}};
  for (std::size_t i = 0; i < p.samples.size(); i += p.channels) {
    const double alpha = p.samples[i + colours] / 255.0;
    for (int c = 0; c < colours; ++c)
      out.samples.push_back(static_cast<std::uint8_t>(
          std::lround(p.samples[i + c] * alpha + 255.0 * (1.0 - alpha))));
  }
  return out;
}

// Resamples a line of piecewise constant values to `length` values, each
// the exact mean over its interval, through the line's integral.
std::vector<double> average_line(const std::vector<double>& line, unsigned length) {
  std::vector<double> integral(line.size() + 1, 0.0);
  for (std::size_t i = 0; i < line.size(); ++i) integral[i + 1] = integral[i] + line[i];
  const auto integral_at = [&](double x) {
    const auto whole = static_cast<std::size_t>(x);
    return whole >= line.size() ? integral.back() : integral[whole] + (x - whole) * line[whole];
  };
  const double step = static_cast<double>(line.size()) / length;
  std::vector<double> out(length);
  for (unsigned i = 0; i < length; ++i)
    out[i] = (integral_at((i + 1) * step) - integral_at(i * step)) / step;
  return out;
}

// The exact area average, rows then columns (a box average separates).
Picture area_average(const Picture& p, unsigned width, unsigned height) {
  Picture out{width, height, p.channels, std::vector<std::uint8_t>(std::size_t{width} * height * p.channels)};
  for (int c = 0; c < p.channels; ++c) {
    std::vector<std::vector<double>> rows;
    for (unsigned y = 0; y < p.height; ++y) {
      std::vector<double> line;
      for (unsigned x = 0; x < p.width; ++x) line.push_back(p.samples[(std::size_t{y} * p.width + x) * p.channels + c]);
      rows.push_back(average_line(line, width));
    }
    for (unsigned x = 0; x < width; ++x) {
      std::vector<double> column;
      for (unsigned y = 0; y < p.height; ++y) column.push_back(rows[y][x]);
      const std::vector<double> averaged = average_line(column, height);
      for (unsigned y = 0; y < height; ++y) out.at(x, y, c) = static_cast<std::uint8_t>(std::lround(averaged[y]));
    }
  }
  return out;
}

std::string png(const Picture& p, const std::string& palette_chunks = "", int colour_type = -1) {
  static const int kTypes[] = {0, 0, 4, 2, 6};
  std::string raw;
  const std::size_t row_bytes = std::size_t{p.width} * p.channels;
  for (unsigned y = 0; y < p.height; ++y) {
    raw += '\0';
    raw.append(reinterpret_cast<const char*>(p.samples.data()) + y * row_bytes, row_bytes);
  }
  uLongf size = compressBound(raw.size());
  std::string deflated(size, '\0');
  compress2(reinterpret_cast<Bytef*>(deflated.data()), &size,
            reinterpret_cast<const Bytef*>(raw.data()), raw.size(), 6);
  deflated.resize(size);
  return quarn::handmade::png_header(p.width, p.height, 8, colour_type < 0 ? kTypes[p.channels] : colour_type) +
         palette_chunks + quarn::handmade::png_chunk("IDAT", deflated) +
         quarn::handmade::png_chunk("IEND", "");
}

// A 24-bit bitmap, rows stored from the bottom up as the format has them.
std::string bmp(const Picture& p) {
  using quarn::handmade::put_le16;
  using quarn::handmade::put_le32;
  const std::uint32_t row_bytes = (p.width * 3 + 3) / 4 * 4;
  std::string s = "BM";
  put_le32(s, 54 + row_bytes * p.height);
  put_le32(s, 0);
  put_le32(s, 54);
  put_le32(s, 40);
  put_le32(s, p.width);
  put_le32(s, p.height);
  put_le16(s, 1);
  put_le16(s, 24);
  for (int i = 0; i < 6; ++i) put_le32(s, 0);
  for (unsigned y = p.height; y-- > 0;) {
    std::string row;
    for (unsigned x = 0; x < p.width; ++x)
      for (int c = 2; c >= 0; --c) row += static_cast<char>(p.samples[(std::size_t{y} * p.width + x) * 3 + c]);
    s += row + std::string(row_bytes - row.size(), '\0');
  }
  return s;
}

// libjpeg's decompressor with the header of the JPEG read.
void read_jpeg_header(jpeg_decompress_struct& info, jpeg_error_mgr& errors,
                      const std::string& bytes) {
  info.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  jpeg_read_header(&info, TRUE);
}

// A JPEG decoded with libjpeg to grey or RGB.
Picture decode_jpeg_bytes(const std::string& bytes, int channels) {
  jpeg_decompress_struct info;
  jpeg_error_mgr errors;
  read_jpeg_header(info, errors, bytes);
  info.out_color_space = channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_start_decompress(&info);
  Picture p{info.output_width, info.output_height, channels,
            std::vector<std::uint8_t>(std::size_t{info.output_width} * info.output_height * channels)};
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = p.samples.data() + std::size_t{info.output_scanline} * info.output_width * channels;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return p;
}

// Whether every component of the JPEG is sampled 1x1: colour in full.
bool full_colour(const std::string& bytes) {
  jpeg_decompress_struct info;
  jpeg_error_mgr errors;
  read_jpeg_header(info, errors, bytes);
  bool full = true;
  for (int c = 0; c < info.num_components; ++c)
    full = full && info.comp_info[c].h_samp_factor == 1 && info.comp_info[c].v_samp_factor == 1;
  jpeg_destroy_decompress(&info);
  return full;
}

Picture decode_jpeg_file(const std::string& path, int channels) {
  return decode_jpeg_bytes(quarn::test::read_file(path), channels);
}

// The reference for sharpness: the full picture resampled with Lanczos-3
// in double precision, the kernel stretched by the reduction.
std::vector<std::vector<std::pair<unsigned, double>>> lanczos_weights(unsigned from, unsigned to) {
  const double scale = static_cast<double>(from) / to;
  const auto kernel = [](double x) {
    if (std::abs(x) < 1e-12) return 1.0;
    if (std::abs(x) >= 3) return 0.0;
    return 3 * std::sin(M_PI * x) * std::sin(M_PI * x / 3) / (M_PI * M_PI * x * x);
  };
  std::vector<std::vector<std::pair<unsigned, double>>> all(to);
  for (unsigned i = 0; i < to; ++i) {
    const double centre = (i + 0.5) * scale;
    double total = 0;
    for (long j = static_cast<long>(centre - 3 * scale) - 1; j <= static_cast<long>(centre + 3 * scale) + 1; ++j) {
      const double w = kernel((j + 0.5 - centre) / scale);
      if (w == 0) continue;
      all[i].push_back({static_cast<unsigned>(std::clamp<long>(j, 0, from - 1)), w});
      total += w;
    }
    for (auto& tap : all[i]) tap.second /= total;
  }
  return all;
}

Picture lanczos(const Picture& p, unsigned width, unsigned height) {
  const auto across = lanczos_weights(p.width, width), down = lanczos_weights(p.height, height);
  std::vector<double> rows(std::size_t{width} * p.height * p.channels);
  for (unsigned y = 0; y < p.height; ++y)
    for (unsigned x = 0; x < width; ++x)
      for (int c = 0; c < p.channels; ++c) {
        double sum = 0;
        for (const auto& [at, w] : across[x]) sum += w * p.samples[(std::size_t{y} * p.width + at) * p.channels + c];
        rows[(std::size_t{y} * width + x) * p.channels + c] = sum;
      }
  Picture out{width, height, p.channels, std::vector<std::uint8_t>(std::size_t{width} * height * p.channels)};
  for (unsigned y = 0; y < height; ++y)
    for (unsigned x = 0; x < width; ++x)
      for (int c = 0; c < p.channels; ++c) {
        double sum = 0;
        for (const auto& [at, w] : down[y]) sum += w * rows[(std::size_t{at} * width + x) * p.channels + c];
        out.at(x, y, c) = static_cast<std::uint8_t>(std::clamp(std::lround(sum), 0L, 255L));
      }
  return out;
}

// Sharpness: the energy of the Laplacian of the luma, inside the border.
double laplacian_energy(const Picture& p) {
  const auto luma = [&p](unsigned x, unsigned y) {
    const std::uint8_t* s = &p.samples[(std::size_t{y} * p.width + x) * p.channels];
    return p.channels == 1 ? s[0] : 0.299 * s[0] + 0.587 * s[1] + 0.114 * s[2];
  };
  double energy = 0;
  for (unsigned y = 1; y + 1 < p.height; ++y)
    for (unsigned x = 1; x + 1 < p.width; ++x) {
      const double l = 4 * luma(x, y) - luma(x - 1, y) - luma(x + 1, y) - luma(x, y - 1) - luma(x, y + 1);
      energy += l * l;
    }
  return energy;
}

// What a camera stores for the upright picture with the EXIF orientation.
Picture stored_for(const Picture& upright, int orientation) {
  const unsigned w = upright.width, h = upright.height;
  const bool turned = orientation >= 5;
  return paint(turned ? h : w, turned ? w : h, upright.channels, [&](unsigned x, unsigned y, std::uint8_t* s) {
    unsigned ux = x, uy = y;
    switch (orientation) {
      case 2: ux = w - 1 - x; break;
      case 3: ux = w - 1 - x; uy = h - 1 - y; break;
      case 4: uy = h - 1 - y; break;
      case 5: ux = y; uy = x; break;
      case 6: ux = w - 1 - y; uy = x; break;
      case 7: ux = w - 1 - y; uy = h - 1 - x; break;
      case 8: ux = y; uy = h - 1 - x; break;
      default: break;
    }
    const Picture& u = upright;
    for (int c = 0; c < u.channels; ++c) s[c] = u.samples[(std::size_t{uy} * w + ux) * u.channels + c];
  });
}

double mean_abs_difference(const Picture& a, const Picture& b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.samples.size(); ++i) sum += std::abs(a.samples[i] - b.samples[i]);
  return sum / a.samples.size();
}

struct QualityCase {
  const char* name;
  std::string image;
  unsigned box;
  Picture expected;      // what the thumbnail should look like
  double max_difference;  // mean absolute difference per sample; saturated colour
                          // edges lose most to the JPEG's halved chroma
  bool flat;             // a flat grey: mean 118-138, deviation at most 8
  double min_sharpness = 0;  // least Laplacian energy, as a share of the expected's
  // The same file with thumbnail-threads 1 and 4, as with the default.
  bool any_threads = false;
};

Picture checkerboard() {
  return paint(2000, 2000, 1, [](unsigned x, unsigned y, std::uint8_t* s) { *s = (x + y) % 2 ? 255 : 0; });
}

// Rings whose frequency rises to the sampling limit at the edges' middles.
Picture zone_plate(unsigned side) {
  return paint(side, side, 1, [side](unsigned x, unsigned y, std::uint8_t* s) {
    const double dx = x - side / 2.0, dy = y - side / 2.0;
    *s = static_cast<std::uint8_t>(std::lround(127.5 + 127.5 * std::cos(M_PI * (dx * dx + dy * dy) / side)));
  });
}

// Four flat quadrants in print colours, as RGB and as inverted CMYK inks.
const std::uint8_t kQuadrants[4][3] = {{200, 30, 40}, {40, 160, 60}, {30, 60, 190}, {230, 200, 120}};

Picture quadrants(bool cmyk) {
  return paint(400, 400, cmyk ? 4 : 3, [cmyk](unsigned x, unsigned y, std::uint8_t* s) {
    const std::uint8_t* rgb = kQuadrants[(y >= 200) * 2 + (x >= 200)];
    if (!cmyk) {
      for (int c = 0; c < 3; ++c) s[c] = rgb[c];
      return;
    }
    const int top = std::max({rgb[0], rgb[1], rgb[2]});
    for (int c = 0; c < 3; ++c) s[c] = static_cast<std::uint8_t>(std::lround(255.0 * rgb[c] / top));
    s[3] = static_cast<std::uint8_t>(top);  // inverted: 255 - ink
  });
}

std::string jpeg_of(const Picture& p, JpegOptions options) {
  return quarn::handmade::jpeg(p.samples, p.width, p.height, options);
}

// Grey or RGB samples with a transparent half where they hold black.
Picture with_alpha(int channels) {
  return paint(400, 300, channels, [channels](unsigned x, unsigned y, std::uint8_t* s) {
    const std::uint8_t alpha = static_cast<std::uint8_t>(x < 200 ? 0 : (y * 255) / 299);
    for (int c = 0; c + 1 < channels; ++c) s[c] = alpha == 0 ? 0 : static_cast<std::uint8_t>((x * 3 + y * (c + 1)) % 256);
    s[channels - 1] = alpha;
  });
}

// Indices 0-3 in stripes; entry 1 fully transparent (black), 2 half.
const std::uint8_t kPalette[4][4] = {{250, 20, 20, 255}, {0, 0, 0, 0}, {20, 20, 250, 128}, {20, 200, 20, 255}};

std::string palette_png() {
  const Picture indices = paint(300, 200, 1, [](unsigned x, unsigned, std::uint8_t* s) { *s = (x / 30) % 4; });
  std::string colours, alphas;
  for (const auto& entry : kPalette) {
    colours.append(reinterpret_cast<const char*>(entry), 3);
    alphas += static_cast<char>(entry[3]);
  }
  return png(indices, quarn::handmade::png_chunk("PLTE", colours) + quarn::handmade::png_chunk("tRNS", alphas), 3);
}

Picture palette_picture() {
  return paint(300, 200, 4, [](unsigned x, unsigned, std::uint8_t* s) {
    for (int c = 0; c < 4; ++c) s[c] = kPalette[(x / 30) % 4][c];
  });
}

// Stored turned a quarter anticlockwise (EXIF orientation 6): white on top.
// Upright, white is on the right.
Picture upright_halves() {
  return paint(200, 400, 1, [](unsigned x, unsigned, std::uint8_t* s) { *s = x >= 100 ? 255 : 0; });
}
Picture stored_halves() {
  return paint(400, 200, 1, [](unsigned, unsigned y, std::uint8_t* s) { *s = y < 100 ? 255 : 0; });
}

Picture gradient() {
  return paint(300, 200, 3, [](unsigned x, unsigned y, std::uint8_t* s) {
    s[0] = static_cast<std::uint8_t>(x * 255 / 299);
    s[1] = static_cast<std::uint8_t>(y * 255 / 199);
    s[2] = 90;
  });
}

// Saturated hues round the picture, paler towards its middle.
Picture vivid() {
  return paint(300, 200, 3, [](unsigned x, unsigned y, std::uint8_t* s) {
    const double hue = std::atan2(y - 100.0, x - 150.0), pale = std::max(0.0, 1 - std::hypot(x - 150.0, y - 100.0) / 100);
    for (int c = 0; c < 3; ++c)
      s[c] = static_cast<std::uint8_t>(std::lround(255 * (pale + (1 - pale) * (0.5 + 0.5 * std::cos(hue - c * 2.0944)))));
  });
}

// A grey picture as RGB samples, for encoders that take no grey.
Picture as_rgb(const Picture& p) {
  if (p.channels != 1) return p;
  return paint(p.width, p.height, 3, [&p](unsigned x, unsigned y, std::uint8_t* s) {
    s[0] = s[1] = s[2] = p.samples[std::size_t{y} * p.width + x];
  });
}

std::string webp_of(const Picture& p, bool lossless) {
  const Picture colours = as_rgb(p);
  return quarn::test::webp(colours.samples, colours.width, colours.height, colours.channels, lossless);
}

std::string heif_of(const Picture& p, quarn::test::HeifOptions options) {
  return quarn::test::heif(p.samples, p.width, p.height, p.channels, options);
}

std::string jxl_of(const Picture& p, bool lossless, int orientation = 1, const std::string* icc = nullptr,
                   int primaries = 1) {
  quarn::test::JxlOptions options;
  options.lossless = lossless;
  options.orientation = orientation;
  options.icc = icc;
  options.primaries = primaries;
  return quarn::test::jxl(p.samples, p.width, p.height, p.channels, options);
}

// A gradient, or the same with red and blue swapped: what the previews in
// the tests show, so that a thumbnail tells which image was decoded.
Picture wide_gradient(unsigned width, unsigned height, bool swapped) {
  return paint(width, height, 3, [=](unsigned x, unsigned y, std::uint8_t* s) {
    s[swapped ? 2 : 0] = static_cast<std::uint8_t>(x * 255 / (width - 1));
    s[1] = static_cast<std::uint8_t>(y * 255 / (height - 1));
    s[swapped ? 0 : 2] = 90;
  });
}

// A HEIC of the gradient with a preview of `shown` fitted into 320 x 320.
std::string heic_with_preview(const Picture& picture, const Picture& shown) {
  return heif_of(picture, {quarn::test::HeifCodec::kHevc, 1, 0, 90, 0, 320, &shown.samples, shown.width, shown.height});
}

// Two frames; the thumbnail shows the first.
std::string animation() {
  const Picture first = paint(300, 200, 4, [](unsigned x, unsigned y, std::uint8_t* s) {
    const std::uint8_t* rgb = kQuadrants[(y >= 100) * 2 + (x >= 150)];
    for (int c = 0; c < 3; ++c) s[c] = rgb[c];
    s[3] = 255;
  });
  const Picture second = paint(300, 200, 4, [](unsigned, unsigned, std::uint8_t* s) { s[0] = s[1] = s[2] = s[3] = 255; });
  return quarn::test::webp_animation({first.samples, second.samples}, 300, 200);
}

// A JPEG XL of the gradient with a white layer of 60 x 40 over it at
// (120, 80), lossless; and what it shows.
std::string jxl_layered() {
  quarn::test::JxlOptions options;
  options.lossless = true;
  options.layers = {{std::vector<std::uint8_t>(60 * 40 * 3, 255), 120, 80, 60, 40}};
  const Picture base = gradient();
  return quarn::test::jxl(base.samples, base.width, base.height, 3, options);
}
Picture layered_gradient() {
  Picture p = gradient();
  for (unsigned y = 80; y < 120; ++y)
    for (unsigned x = 120; x < 180; ++x)
      for (int c = 0; c < 3; ++c) p.at(x, y, c) = 255;
  return p;
}

// The same two frames as a JPEG XL animation, lossless.
std::string jxl_animation() {
  const Picture first = paint(300, 200, 4, [](unsigned x, unsigned y, std::uint8_t* s) {
    const std::uint8_t* rgb = kQuadrants[(y >= 100) * 2 + (x >= 150)];
    for (int c = 0; c < 3; ++c) s[c] = rgb[c];
    s[3] = 255;
  });
  quarn::test::JxlOptions options;
  options.lossless = true;
  options.more_frames = {std::vector<std::uint8_t>(300 * 200 * 4, 255)};
  return quarn::test::jxl(first.samples, 300, 200, 4, options);
}

Picture animation_first_frame() {
  return paint(300, 200, 3, [](unsigned x, unsigned y, std::uint8_t* s) {
    const std::uint8_t* rgb = kQuadrants[(y >= 100) * 2 + (x >= 150)];
    for (int c = 0; c < 3; ++c) s[c] = rgb[c];
  });
}

// Profiles made with lcms2, and the pictures converted through them to
// sRGB (perceptual, as tarvik converts): what tagged images should show.
using quarn::test::rgb_profile;
using quarn::test::saved_profile;

const std::string kAdobeRgb = rgb_profile({0.3127, 0.3290, 1}, {{0.64, 0.33, 1}, {0.21, 0.71, 1}, {0.15, 0.06, 1}},
                                          cmsBuildGamma(nullptr, 563.0 / 256));
const std::string kProPhoto = rgb_profile({0.3457, 0.3585, 1}, {{0.7347, 0.2653, 1}, {0.1596, 0.8404, 1}, {0.0366, 0.0001, 1}},
                                          cmsBuildGamma(nullptr, 1.8));
const cmsFloat64Number kSrgbCurve[] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
const std::string kDisplayP3 = rgb_profile({0.3127, 0.3290, 1}, {{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}},
                                           cmsBuildParametricToneCurve(nullptr, 4, kSrgbCurve));

// A printing press as a lookup table: paper not quite white, the densest
// black not quite black.
int press(const cmsUInt16Number ink[], cmsUInt16Number lab_out[], void* to_lab) {
  double rgb[3];
  for (int c = 0; c < 3; ++c) rgb[c] = 0.06 + 0.88 * (1 - ink[c] / 65535.0) * (1 - ink[3] / 65535.0);
  cmsCIELab lab;
  cmsDoTransform(to_lab, rgb, &lab, 1);
  cmsFloat2LabEncoded(lab_out, &lab);
  return TRUE;
}

std::string cmyk_profile() {
  cmsHPROFILE srgb = cmsCreate_sRGBProfile(), lab = cmsCreateLab4Profile(nullptr);
  cmsHTRANSFORM to_lab = cmsCreateTransform(srgb, TYPE_RGB_DBL, lab, TYPE_Lab_DBL, INTENT_RELATIVE_COLORIMETRIC, 0);
  cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
  cmsSetProfileVersion(profile, 4.3);
  cmsSetDeviceClass(profile, cmsSigOutputClass);
  cmsSetColorSpace(profile, cmsSigCmykData);
  cmsSetPCS(profile, cmsSigLabData);
  cmsPipeline* lut = cmsPipelineAlloc(nullptr, 4, 3);
  cmsStage* grid = cmsStageAllocCLut16bit(nullptr, 9, 4, 3, nullptr);
  cmsStageSampleCLut16bit(grid, press, to_lab, 0);
  // As lutAtoBType: A curves, the grid, B curves (both identity).
  cmsPipelineInsertStage(lut, cmsAT_END, cmsStageAllocToneCurves(nullptr, 4, nullptr));
  cmsPipelineInsertStage(lut, cmsAT_END, grid);
  cmsPipelineInsertStage(lut, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
  cmsWriteTag(profile, cmsSigAToB0Tag, lut);
  cmsWriteTag(profile, cmsSigMediaWhitePointTag, cmsD50_XYZ());
  cmsPipelineFree(lut);
  cmsDeleteTransform(to_lab);
  cmsCloseProfile(lab);
  cmsCloseProfile(srgb);
  return saved_profile(profile);
}
const std::string kPress = cmyk_profile();

Picture in_srgb(const Picture& p, const std::string& icc, cmsUInt32Number format = TYPE_RGB_8) {
  cmsHPROFILE source = cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size()));
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  cmsHTRANSFORM transform = cmsCreateTransform(source, format, srgb, TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
  if (transform == nullptr) return {};  // the test support's profile is broken
  Picture out{p.width, p.height, 3, std::vector<std::uint8_t>(std::size_t{p.width} * p.height * 3)};
  cmsDoTransform(transform, p.samples.data(), out.samples.data(), p.width * p.height);
  cmsDeleteTransform(transform);
  cmsCloseProfile(srgb);
  cmsCloseProfile(source);
  return out;
}

std::string be32(std::uint32_t v) {
  std::string s;
  quarn::handmade::put_be32(s, v);
  return s;
}

std::string iccp_chunk(const std::string& icc) {
  uLongf size = compressBound(icc.size());
  std::string deflated(size, '\0');
  compress2(reinterpret_cast<Bytef*>(deflated.data()), &size, reinterpret_cast<const Bytef*>(icc.data()), icc.size(), 6);
  deflated.resize(size);
  return quarn::handmade::png_chunk("iCCP", std::string("icc\0\0", 5) + deflated);
}

// ProPhoto's primaries, white and gamma 1.8 as gAMA and cHRM.
std::string prophoto_chunks() {
  std::string chrm;
  for (const double v : {0.3457, 0.3585, 0.7347, 0.2653, 0.1596, 0.8404, 0.0366, 0.0001})
    chrm += be32(static_cast<std::uint32_t>(std::lround(v * 100000)));
  return quarn::handmade::png_chunk("gAMA", be32(55556)) + quarn::handmade::png_chunk("cHRM", chrm);
}

// The JPEG with its ICC chunk numbered 0, which libjpeg refuses to join.
// The last byte of the image data (the stream's Adler-32) flipped; the
// chunk's CRC made to match again, or left to show the damage.
std::string damaged_idat(std::string png, bool crc_matches) {
  const std::size_t type = png.find("IDAT");
  std::size_t length = 0;
  for (std::size_t i = type - 4; i < type; ++i) length = length * 256 + static_cast<unsigned char>(png[i]);
  png[type + 4 + length - 1] ^= 1;
  if (!crc_matches) return png;
  return png.substr(0, type - 4) + quarn::handmade::png_chunk("IDAT", png.substr(type + 4, length)) +
         png.substr(type + 8 + length);
}

std::string misnumbered_icc(std::string jpeg) {
  const std::size_t at = jpeg.find(std::string("ICC_PROFILE\0", 12));
  if (at != std::string::npos) jpeg[at + 12] = 0;
  return jpeg;
}

// A photo's mix, mostly in brightness: soft shading, stripes up to and
// beyond what the thumbnail holds, hard-edged blocks; a gentle tint.
Picture detailed(unsigned width, unsigned height) {
  return paint(width, height, 3, [](unsigned x, unsigned y, std::uint8_t* s) {
    const double light = 120 + 45 * std::sin(0.05 * x + 2 * std::sin(0.003 * y)) +
                         30 * std::cos(0.17 * y + 0.02 * x) + 15 * std::sin(0.9 * x) +
                         ((x / 97 + y / 61) % 2 ? 35 : -35);
    const double v[3] = {light + 20 * std::sin(0.004 * x), light, light - 20 * std::cos(0.005 * y)};
    for (int c = 0; c < 3; ++c) s[c] = static_cast<std::uint8_t>(std::clamp(std::lround(v[c]), 0L, 255L));
  });
}

std::string tiff_of(const Picture& p, quarn::test::TiffOptions options) {
  return quarn::test::tiff(p.samples, p.width, p.height, p.channels, options);
}

// 150 frames on a 300 x 200 screen: the first, 200 x 100 at (50, 60), shows
// the quadrant colours with index 4 transparent in its left quarter; the
// others are black.
const std::uint8_t kGifPalette[8][3] = {{200, 30, 40}, {40, 160, 60}, {30, 60, 190}, {230, 200, 120},
                                        {0, 0, 0},     {0, 0, 0},     {0, 0, 0},     {0, 0, 0}};

std::string gif_animation() {
  quarn::test::GifFrame first{{}, 50, 60, 200, 100, 4};
  for (unsigned y = 0; y < 100; ++y)
    for (unsigned x = 0; x < 200; ++x)
      first.indices.push_back(static_cast<std::uint8_t>(x < 50 ? 4 : (y >= 50) * 2 + (x >= 125)));
  std::vector<quarn::test::GifFrame> frames(150, {std::vector<std::uint8_t>(300 * 200, 5), 0, 0, 300, 200, -1});
  frames[0] = first;
  return quarn::test::gif(frames, 300, 200, quarn::test::Samples(&kGifPalette[0][0], &kGifPalette[0][0] + 24));
}

Picture gif_first_frame() {
  return paint(300, 200, 3, [](unsigned x, unsigned y, std::uint8_t* s) {
    const bool inside = x >= 100 && x < 250 && y >= 60 && y < 160;
    const std::uint8_t* rgb = kGifPalette[(y >= 110) * 2 + (x >= 175)];
    for (int c = 0; c < 3; ++c) s[c] = inside ? rgb[c] : 255;
  });
}

class Quality : public quarn::test::TarvikTest {
 protected:
  static std::string thumbnail(const std::string& image, const std::string& name, long long box) {
    return call(image, name, box, box).text;
  }
};

TEST_F(Quality, ThumbnailsMatchAReferenceReductionOfWhatTheImageShows) {
  const Picture flat_grey = paint(200, 200, 1, [](unsigned, unsigned, std::uint8_t* s) { *s = 128; });
  const Picture board = checkerboard();
  const Picture plate = zone_plate(600);
  const Picture large_plate = zone_plate(2000);
  const Picture colours = quadrants(false);
  const Picture grey_alpha = with_alpha(2);
  const Picture rgba = with_alpha(4);
  const Picture saturated = vivid();
  const Picture upright = gradient();
  const Picture photo = detailed(2560, 1600);
  const std::string photo_jpeg = jpeg_of(photo, {JCS_YCbCr});
  const Picture upright_tiff = area_average(upright, 150, 100);
  const Picture picture = wide_gradient(960, 640, false), swapped = wide_gradient(960, 640, true);
  const std::string with_preview = heic_with_preview(picture, swapped);
  const std::string grid_with_preview =
      quarn::test::heic_grid(picture.samples, 960, 640, {256, 256, 1, 320, 90, &swapped.samples});
  const QualityCase cases[] = {
      {"checkerboard_png", png(board), 200, flat_grey, 10, true},
      {"checkerboard_jpeg", jpeg_of(board, {JCS_GRAYSCALE}), 200, flat_grey, 10, true},
      // Reduced with Lanczos-3 (an area average by whole blocks first, when
      // the image is over four times the thumbnail).
      {"zone_plate_png", png(plate), 250, lanczos(plate, 250, 250), 5, false},
      // Decoded at 1/8 scale (250 x 250), then reduced.
      {"zone_plate_jpeg", jpeg_of(large_plate, {JCS_GRAYSCALE}), 200, area_average(large_plate, 200, 200), 5, false},
      {"cmyk_jpeg", jpeg_of(quadrants(true), {JCS_CMYK}), 100, area_average(colours, 100, 100), 8, false},
      {"ycck_jpeg", jpeg_of(quadrants(true), {JCS_YCCK}), 100, area_average(colours, 100, 100), 8, false},
      {"orientation_6_jpeg", jpeg_of(stored_halves(), {JCS_GRAYSCALE, 6}), 100,
       area_average(upright_halves(), 50, 100), 5, false},
      {"grey_alpha_png", png(grey_alpha), 200, area_average(on_white(grey_alpha), 200, 150), 3, false},
      {"rgba_png", png(rgba), 200, area_average(on_white(rgba), 200, 150), 4, false},
      {"palette_alpha_png", palette_png(), 150, area_average(on_white(palette_picture()), 150, 100), 8, false},
      {"bmp_bottom_up", bmp(gradient()), 150, area_average(gradient(), 150, 100), 3, false},
      // WebP, HEIC and AVIF, decoded by their own libraries.
      {"webp_lossy", webp_of(gradient(), false), 150, area_average(gradient(), 150, 100), 3, false},
      // Reduced by libwebp's rescaler as it decodes.
      {"webp_lossless_zone_plate", webp_of(plate, true), 250, lanczos(plate, 250, 250), 5, false},
      {"webp_rgba", quarn::test::webp(rgba.samples, 400, 300, 4, true), 200,
       area_average(on_white(rgba), 200, 150), 4, false},
      {"webp_animated", animation(), 150, area_average(animation_first_frame(), 150, 100), 4, false},
      {"webp_exif_orientation_6", quarn::test::webp_with_exif(webp_of(stored_halves(), true), 6), 100,
       area_average(upright_halves(), 50, 100), 5, false},
      {"heic", heif_of(gradient(), {}), 150, area_average(gradient(), 150, 100), 3, false},
      // Stored turned, with irot/imir and an EXIF orientation that say the
      // same: turned upright once.
      {"heic_rotated", heif_of(as_rgb(stored_halves()), {quarn::test::HeifCodec::kHevc, 6, 6}), 100,
       area_average(upright_halves(), 50, 100), 5, false},
      {"heic_rgba", heif_of(rgba, {}), 200, area_average(on_white(rgba), 200, 150), 4, false},
      // 3 x 2 tiles, those on the right and bottom edges cropped by the grid.
      {"heic_grid", quarn::test::heic_grid(gradient().samples, 300, 200, {128, 128}), 150,
       area_average(gradient(), 150, 100), 3, false, 0, true},
      {"heic_grid_rotated", quarn::test::heic_grid(as_rgb(stored_halves()).samples, 400, 200, {128, 128, 6}), 100,
       area_average(upright_halves(), 50, 100), 5, false, 0, true},
      {"avif", heif_of(gradient(), {quarn::test::HeifCodec::kAv1}), 150, area_average(gradient(), 150, 100), 3, false},
      // The preview (320 x 213) covers a box of 200, not one of 600; one of
      // another frame (320 x 160) is never taken for the picture.
      {"heic_preview_box_200", with_preview, 200, area_average(swapped, 200, 133), 3, false},
      {"heic_preview_box_600", with_preview, 600, area_average(picture, 600, 400), 3, false},
      {"heic_grid_preview_box_200", grid_with_preview, 200, area_average(swapped, 200, 133), 3, false},
      {"heic_grid_preview_box_600", grid_with_preview, 600, area_average(picture, 600, 400), 3, false, 0, true},
      {"heic_preview_of_another_frame", heic_with_preview(picture, wide_gradient(960, 480, true)), 200,
       area_average(picture, 200, 133), 3, false},
      {"avif_10_bit", quarn::test::avif_10bit(gradient().samples, 300, 200), 150,
       area_average(gradient(), 150, 100), 3, false},
      {"avif_grey", heif_of(plate, {quarn::test::HeifCodec::kAv1}), 250, lanczos(plate, 250, 250), 5, false},
      // Tagged images, converted to sRGB; a damaged profile is shown as untagged.
      {"adobe_rgb_jpeg", jpeg_of(saturated, {JCS_YCbCr, 0, false, 95, kAdobeRgb}), 150,
       area_average(in_srgb(saturated, kAdobeRgb), 150, 100), 5, false},
      {"prophoto_jpeg", jpeg_of(saturated, {JCS_YCbCr, 0, false, 95, kProPhoto}), 150,
       area_average(in_srgb(saturated, kProPhoto), 150, 100), 5, false},
      {"adobe_rgb_png", png(saturated, iccp_chunk(kAdobeRgb)), 150, area_average(in_srgb(saturated, kAdobeRgb), 150, 100), 5, false},
      {"prophoto_png", png(saturated, iccp_chunk(kProPhoto)), 150, area_average(in_srgb(saturated, kProPhoto), 150, 100), 5, false},
      {"gama_chrm_png", png(saturated, prophoto_chunks()), 150, area_average(in_srgb(saturated, kProPhoto), 150, 100), 5, false},
      {"cmyk_profile_jpeg", jpeg_of(quadrants(true), {JCS_CMYK, 0, false, 95, kPress}), 100,
       area_average(in_srgb(quadrants(true), kPress, TYPE_CMYK_8_REV), 100, 100), 5, false},
      {"ycck_profile_jpeg", jpeg_of(quadrants(true), {JCS_YCCK, 0, false, 95, kPress}), 100,
       area_average(in_srgb(quadrants(true), kPress, TYPE_CMYK_8_REV), 100, 100), 5, false},
      {"heic_display_p3", heif_of(saturated, {quarn::test::HeifCodec::kHevc, 1, 0, 90, 12}), 150,
       area_average(in_srgb(saturated, kDisplayP3), 150, 100), 5, false},
      {"damaged_profile_jpeg", jpeg_of(saturated, {JCS_YCbCr, 0, false, 95, kAdobeRgb.substr(0, kAdobeRgb.size() / 2)}), 150,
       area_average(saturated, 150, 100), 3, false},
      // Every stored byte is under a CRC that matches: shown, as browsers do.
      {"png_wrong_adler32", damaged_idat(png(saturated), true), 150, area_average(saturated, 150, 100), 3, false},
      {"damaged_profile_png", png(saturated, iccp_chunk(kProPhoto.substr(0, kProPhoto.size() / 2))), 150,
       area_average(saturated, 150, 100), 3, false},
      {"misnumbered_icc_jpeg", misnumbered_icc(jpeg_of(saturated, {JCS_YCbCr, 0, false, 95, kProPhoto})), 150,
       area_average(saturated, 150, 100), 3, false},
      // Decoded at 1/4 scale (640 x 400), twice the thumbnail, then Lanczos:
      // as sharp as the full image resampled, and as close to it as libvips.
      {"photo_jpeg_sharpness", photo_jpeg, 200, lanczos(decode_jpeg_bytes(photo_jpeg, 3), 200, 125), 3.81,
       false, 0.95},
      // PNG, GIF and TIFF with decoders of their own.
      {"png_exif_orientation_6",
       png(stored_halves(), quarn::handmade::png_chunk("eXIf", quarn::handmade::exif_orientation_block(6).substr(6))),
       100, area_average(upright_halves(), 50, 100), 5, false},
      {"gif_150_frames_first", gif_animation(), 150, area_average(gif_first_frame(), 150, 100), 6, false},
      {"tiff_16_bit_rgba", tiff_of(rgba, {16}), 200, area_average(on_white(rgba), 200, 150), 4, false},
      {"tiff_tiled_grey", tiff_of(plate, {8, 1, true}), 250, lanczos(plate, 250, 250), 5, false},
      {"tiff_orientation_1", tiff_of(stored_for(upright, 1), {8, 1}), 150, upright_tiff, 3, false},
      {"tiff_orientation_2", tiff_of(stored_for(upright, 2), {8, 2}), 150, upright_tiff, 3, false},
      {"tiff_orientation_3", tiff_of(stored_for(upright, 3), {8, 3}), 150, upright_tiff, 3, false},
      {"tiff_orientation_4", tiff_of(stored_for(upright, 4), {8, 4}), 150, upright_tiff, 3, false},
      {"tiff_orientation_5", tiff_of(stored_for(upright, 5), {8, 5}), 150, upright_tiff, 3, false},
      {"tiff_orientation_6", tiff_of(stored_for(upright, 6), {8, 6}), 150, upright_tiff, 3, false},
      {"tiff_orientation_7", tiff_of(stored_for(upright, 7), {8, 7}), 150, upright_tiff, 3, false},
      {"tiff_orientation_8", tiff_of(stored_for(upright, 8), {8, 8, true}), 150, upright_tiff, 3, false},
      // JPEG XL, lossy (XYB) and lossless, by libjxl.
      {"jxl_lossy", jxl_of(gradient(), false), 150, area_average(gradient(), 150, 100), 3, false},
      {"jxl_lossless_grey_zone_plate", jxl_of(plate, true), 250, lanczos(plate, 250, 250), 5, false},
      {"jxl_rgba_lossy", jxl_of(rgba, false), 200, area_average(on_white(rgba), 200, 150), 4, false},
      {"jxl_grey_alpha_lossless", jxl_of(grey_alpha, true), 200, area_average(on_white(grey_alpha), 200, 150), 3,
       false},
      {"jxl_animated", jxl_animation(), 150, area_average(animation_first_frame(), 150, 100), 4, false},
      {"jxl_layered", jxl_layered(), 150, area_average(layered_gradient(), 150, 100), 3, false},
      {"jxl_orientation_6", jxl_of(stored_halves(), true, 6), 100, area_average(upright_halves(), 50, 100), 5, false},
      {"jxl_orientation_8_lossy", jxl_of(stored_for(upright, 8), false, 8), 150, upright_tiff, 3, false},
      // Named spaces and embedded profiles, lossy and lossless.
      {"jxl_display_p3_lossy", jxl_of(saturated, false, 1, nullptr, 11), 150,
       area_average(in_srgb(saturated, kDisplayP3), 150, 100), 5, false},
      {"jxl_display_p3_lossless", jxl_of(saturated, true, 1, nullptr, 11), 150,
       area_average(in_srgb(saturated, kDisplayP3), 150, 100), 5, false},
      {"jxl_adobe_rgb_profile_lossless", jxl_of(saturated, true, 1, &kAdobeRgb), 150,
       area_average(in_srgb(saturated, kAdobeRgb), 150, 100), 5, false},
      {"jxl_prophoto_profile_lossy", jxl_of(saturated, false, 1, &kProPhoto), 150,
       area_average(in_srgb(saturated, kProPhoto), 150, 100), 5, false},
  };
  for (const QualityCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.image.empty()) << "the encoder failed";
    ASSERT_EQ(thumbnail(c.image, c.name, c.box), "File written as " + dir_.file(std::string(c.name) + ".jpg"));
    const Picture written = decode_jpeg_file(dir_.file(std::string(c.name) + ".jpg"), c.expected.channels);
    ASSERT_EQ(written.width, c.expected.width);
    ASSERT_EQ(written.height, c.expected.height);
    EXPECT_TRUE(full_colour(quarn::test::read_file(dir_.file(std::string(c.name) + ".jpg"))));
    EXPECT_LE(mean_abs_difference(written, c.expected), c.max_difference);
    for (const char* threads : {"1", "4"}) {
      if (!c.any_threads) break;
      setenv("UDF_THUMBNAILTHREADS", threads, 1);
      const std::string name = std::string(c.name) + "_threads_" + threads;
      EXPECT_EQ(thumbnail(c.image, name, c.box), "File written as " + dir_.file(name + ".jpg"));
      unsetenv("UDF_THUMBNAILTHREADS");
      EXPECT_EQ(quarn::test::read_file(dir_.file(name + ".jpg")),
                quarn::test::read_file(dir_.file(std::string(c.name) + ".jpg")))
          << threads << " threads";
    }
    if (c.min_sharpness > 0) {
      EXPECT_GE(laplacian_energy(written) / laplacian_energy(c.expected), c.min_sharpness);
    }
    if (c.flat) {
      double sum = 0, squares = 0;
      for (const std::uint8_t s : written.samples) {
        sum += s;
        squares += static_cast<double>(s) * s;
      }
      const double mean = sum / written.samples.size();
      EXPECT_GE(mean, 118);
      EXPECT_LE(mean, 138);
      EXPECT_LE(std::sqrt(squares / written.samples.size() - mean * mean), 8);
    }
  }
}

// A JPEG that libjpeg does not decode cleanly, or a PNG whose stored bytes
// fail their CRC, gets what the image library makes of it, as before: a
// thumbnail or its load failure and code.
TEST_F(Quality, FilesWithErrorsOrWarningsKeepTheLibrarysOutcome) {
  const std::string whole = jpeg_of(gradient(), {JCS_YCbCr});
  std::string twelve_bit = whole;
  const std::size_t frame = twelve_bit.find("\xFF\xC0");
  ASSERT_NE(frame, std::string::npos);
  twelve_bit[frame + 4] = 12;  // sample precision
  const struct {
    const char* name;
    std::string image;
  } cases[] = {
      {"cut_short", whole.substr(0, whole.size() * 2 / 3) + "\xFF\xD9"},
      {"twelve_bit", twelve_bit},
      {"png_wrong_crc", damaged_idat(png(gradient()), false)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ilInit();
    ILuint name = 0;
    ilGenImages(1, &name);
    ilBindImage(name);
    while (ilGetError() != IL_NO_ERROR) {
    }
    const bool loads = ilLoadL(IL_TYPE_UNKNOWN, c.image.data(), static_cast<ILuint>(c.image.size()));
    const unsigned code = ilGetError();
    ilDeleteImages(1, &name);
    const std::string path = dir_.file(std::string(c.name) + ".jpg");
    quarn::test::StderrCapture quiet;  // failures also go to standard error
    EXPECT_EQ(thumbnail(c.image, c.name, 100),
              loads ? "File written as " + path
                    : "Error loading the image for " + path + ". Err Code: " + std::to_string(code));
  }
}

}  // namespace
