// What the memory budget is asked for, per format, against what a thumbnail
// takes: each image in a fresh process (thumbnail_memory_probe), its peak
// resident size's rise over the call. Never below; for the images whose
// decoding is large, not far above either.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "encoded_images.h"
#include "handmade_jpeg.h"
#include "images.h"
#include "test_util.h"

namespace {

using quarn::test::ImageFormat;
using quarn::test::Samples;

constexpr unsigned kWidth = 2400, kHeight = 1800;
constexpr double kMiB = 1 << 20;

Samples gradient(unsigned width, unsigned height, int channels) {
  Samples samples(std::size_t{width} * height * channels);
  for (std::size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<std::uint8_t>((i / channels % width) * 255 / width + i % channels * 60);
  return samples;
}

TEST(MemoryEstimate, CoversThePeakOfEveryFormat) {
  const Samples rgb = gradient(kWidth, kHeight, 3), rgba = gradient(kWidth, kHeight, 4);
  const Samples half = gradient(kWidth / 2, kHeight / 2, 3);
  quarn::test::HeifOptions avif, preview;
  avif.codec = quarn::test::HeifCodec::kAv1;
  preview.preview = 512;
  quarn::test::TiffOptions tiled;
  tiled.bits = 16;
  tiled.tiled = true;
  // Noise in one LZW strip: as large stored as decoded, read in place or
  // copied whole.
  Samples noise(rgb.size());
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<std::uint8_t>(i * 2654435761u >> 13);
  quarn::test::TiffOptions one_strip;
  one_strip.rows_per_strip = kHeight;
  quarn::handmade::JpegOptions progressive;
  progressive.progressive = true;
  const Samples indices(std::size_t{kWidth} * kHeight, 1), palette{0, 0, 0, 255, 255, 255};
  quarn::test::JxlOptions lossless, animated;
  lossless.lossless = true;
  animated.more_frames = {half, half};
  const struct {
    const char* name;
    std::function<std::string()> image;
    unsigned threads = 1;  // thumbnail-threads
  } cases[] = {
      {"JPEG", [&] { return quarn::handmade::jpeg(rgb, kWidth, kHeight); }},
      {"JPEG progressive", [&] { return quarn::handmade::jpeg(rgb, kWidth, kHeight, progressive); }},
      {"PNG", [&] { return quarn::test::encode_image(kWidth, kHeight, ImageFormat::kPng); }},
      {"GIF", [&] { return quarn::test::gif({{indices, 0, 0, kWidth, kHeight}}, kWidth, kHeight, palette); }},
      {"TIFF strips", [&] { return quarn::test::tiff(rgb, kWidth, kHeight, 3, {}); }},
      {"TIFF one strip", [&] { return quarn::test::tiff(noise, kWidth, kHeight, 3, one_strip); }},
      {"TIFF 16-bit tiles", [&] { return quarn::test::tiff(rgba, kWidth, kHeight, 4, tiled); }},
      {"WebP", [&] { return quarn::test::webp(rgb, kWidth, kHeight, 3, false); }},
      {"WebP alpha", [&] { return quarn::test::webp(rgba, kWidth, kHeight, 4, false); }},
      {"WebP lossless", [&] { return quarn::test::webp(rgb, kWidth, kHeight, 3, true); }},
      {"WebP animated", [&] { return quarn::test::webp_animation({rgba, rgba}, kWidth, kHeight); }},
      {"HEIC", [&] { return quarn::test::heif(rgb, kWidth, kHeight, 3, {}); }},
      {"HEIC alpha", [&] { return quarn::test::heif(rgba, kWidth, kHeight, 4, {}); }},
      {"HEIC grid", [&] { return quarn::test::heic_grid(rgb, kWidth, kHeight); }},
      // Its 4 large tiles decoded at once: their peaks together outweigh the
      // grid's conversion at the end.
      {"HEIC grid 4 thr.", [&] { return quarn::test::heic_grid(rgb, kWidth, kHeight, {1200, 1200}); }, 4},
      {"HEIC preview", [&] { return quarn::test::heif(rgb, kWidth, kHeight, 3, preview); }},
      {"AVIF", [&] { return quarn::test::heif(rgb, kWidth, kHeight, 3, avif); }},
      {"AVIF alpha", [&] { return quarn::test::heif(rgba, kWidth, kHeight, 4, avif); }},
      {"AVIF 10-bit", [&] { return quarn::test::avif_10bit(rgb, kWidth, kHeight); }},
      {"JXL", [&] { return quarn::test::jxl(rgb, kWidth, kHeight, 3); }},
      {"JXL lossless", [&] { return quarn::test::jxl(rgb, kWidth, kHeight, 3, lossless); }},
      {"JXL alpha", [&] { return quarn::test::jxl(rgba, kWidth, kHeight, 4); }},
      {"JXL lossless alpha", [&] { return quarn::test::jxl(rgba, kWidth, kHeight, 4, lossless); }},
      {"JXL animated", [&] { return quarn::test::jxl(half, kWidth / 2, kHeight / 2, 3, animated); }},
      {"BMP", [&] { return quarn::test::encode_image(kWidth, kHeight, ImageFormat::kBmp); }},
      {"PSD", [&] { return quarn::test::encode_image(kWidth, kHeight, ImageFormat::kPsd); }},
      {"PNM", [&] { return quarn::test::encode_image(kWidth, kHeight, ImageFormat::kPnm); }},
  };
  quarn::test::TempDir dir;
  std::printf("%-18s %9s %9s\n", "image", "reserved", "measured");
  for (const auto& c : cases) {
    const std::string image = c.image();
    ASSERT_FALSE(image.empty()) << c.name;
    const std::string file = dir.file("image");
    quarn::test::write_file(file, image);
    FILE* probe =
        popen((std::string(QUARN_MEMORY_PROBE) + " " + file + " 200 " + std::to_string(c.threads)).c_str(), "r");
    ASSERT_NE(probe, nullptr);
    double reserved = 0, measured = 0;
    const bool read = std::fscanf(probe, "%lf %lf", &reserved, &measured) == 2;
    ASSERT_TRUE(pclose(probe) == 0 && read) << c.name << ": no thumbnail";
    std::printf("%-18s %6.1f MB %6.1f MB\n", c.name, reserved / kMiB, measured / kMiB);
    EXPECT_GE(reserved, measured) << c.name;
    // Tiles decoded at once reach their peaks together only by chance on
    // a machine of few cores: no bound above.
    if (measured > 8 * kMiB && c.threads == 1) {
      EXPECT_LE(reserved, 2 * measured + 4 * kMiB) << c.name;
    }
  }
}

}  // namespace
