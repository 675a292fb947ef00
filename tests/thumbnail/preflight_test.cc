// The pre-flight check on its own: which format it sees, the size it reads,
// and what it refuses.
#include <gtest/gtest.h>
#include <IL/il.h>
#include <jxl/decode.h>
#include <lcms2.h>

#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "encoded_images.h"
#include "handmade_images.h"
#include "handmade_jpeg.h"
#include "images.h"
#include "replaced_allocator.h"
#include "decode/jxl_header.h"
#include "decode/preflight.h"
#include "image_stage.h"
#include "test_util.h"

// Every operator new of this program, counted while `on`: what the
// pre-flight holds at its peak.
namespace counted {
bool on = false;
long long live = 0, peak = 0;
}  // namespace counted

bool replaced_allocator::fail_now() { return false; }
void replaced_allocator::count(long long bytes) {
  if (counted::on) counted::peak = std::max(counted::peak, counted::live += bytes);
}

namespace {

using quarn::handmade::put_be32;
using quarn::handmade::put_le16;
using quarn::handmade::put_le32;
using quarn::test::encode_image;
using quarn::test::ImageFormat;
using quarn::thumb::ImageKind;
using quarn::thumb::preflight_image;

quarn::thumb::Preflight check(const std::string& bytes) {
  return preflight_image(bytes.data(), bytes.size());
}

// The image library writes TIFF and PCX only to files.
std::string encode_through_file(unsigned width, unsigned height, ILenum type) {
  quarn::test::TempDir dir;
  const std::string path = dir.file("image");
  ilInit();
  ilEnable(IL_FILE_OVERWRITE);
  ILuint name = 0;
  ilGenImages(1, &name);
  ilBindImage(name);
  std::vector<unsigned char> pixels(std::size_t{width} * height * 3, 90);
  ilTexImage(width, height, 1, 3, IL_RGB, IL_UNSIGNED_BYTE, pixels.data());
  const bool saved = ilSave(type, path.c_str());
  ilDeleteImages(1, &name);
  while (ilGetError() != IL_NO_ERROR) {
  }
  return saved ? quarn::test::read_file(path) : std::string();
}

// ---- headers that claim a size, with just enough structure to be read ----

std::string png_claiming(std::uint32_t width, std::uint32_t height) {
  return quarn::handmade::png_header(width, height, 8, 2) + quarn::handmade::png_chunk("IEND", "");
}

std::string gif_claiming(unsigned width, unsigned height) {
  std::string s = "GIF89a";
  put_le16(s, width);
  put_le16(s, height);
  s += std::string("\0\0\0", 3);
  s += '\x2c';
  put_le16(s, 0);
  put_le16(s, 0);
  put_le16(s, width);
  put_le16(s, height);
  s += std::string("\0\x02\x01\x44\0\x3b", 6);
  return s;
}

std::string jpeg_claiming(unsigned width, unsigned height) {
  std::string s("\xff\xd8\xff\xc0\x00\x11\x08", 7);
  s += static_cast<char>(height >> 8);
  s += static_cast<char>(height & 0xFF);
  s += static_cast<char>(width >> 8);
  s += static_cast<char>(width & 0xFF);
  s += std::string("\x03\x01\x22\x00\x02\x11\x00\x03\x11\x00", 10);
  s += std::string("\xff\xda\x00\x0c\x03\x01\x00\x02\x11\x03\x11\x00\x3f\x00", 14);  // scan
  return s + std::string("\x00\xff\xd9", 3);
}

// Uncompressed true-colour Targa with all its pixels present.
std::string tga_claiming(unsigned width, unsigned height, std::size_t pixel_bytes) {
  std::string s(18, '\0');
  s[2] = 2;
  s[12] = static_cast<char>(width & 0xFF);
  s[13] = static_cast<char>(width >> 8);
  s[14] = static_cast<char>(height & 0xFF);
  s[15] = static_cast<char>(height >> 8);
  s[16] = 24;
  return s + std::string(pixel_bytes, '\0');
}

std::string bmp_claiming(std::int32_t width, std::int32_t height, std::size_t pixel_bytes) {
  std::string s = "BM";
  put_le32(s, static_cast<std::uint32_t>(54 + pixel_bytes));
  put_le32(s, 0);
  put_le32(s, 54);
  put_le32(s, 40);
  put_le32(s, static_cast<std::uint32_t>(width));
  put_le32(s, static_cast<std::uint32_t>(height));
  put_le16(s, 1);
  put_le16(s, 24);
  for (int i = 0; i < 6; ++i) put_le32(s, 0);
  return s + std::string(pixel_bytes, '\0');
}

std::string psd_claiming(std::uint32_t width, std::uint32_t height) {
  std::string s("8BPS\0\1\0\0\0\0\0\0\0\3", 14);
  put_be32(s, height);
  put_be32(s, width);
  s += std::string("\0\x08\0\x03", 4);
  s += std::string(12, '\0');         // three empty sections
  s += std::string("\0\1", 2);        // run-length rows
  return s + std::string(std::size_t{height} * 3 * 2, '\0');
}

// A little-endian TIFF of width x height with one strip at `strip_offset`.
std::string tiff_claiming(unsigned width, unsigned height, std::uint32_t strip_offset,
                          std::uint32_t strip_bytes) {
  std::string s("II*\0\x08\0\0\0\x04\0", 10);
  const auto entry = [&s](unsigned tag, unsigned type, std::uint32_t value) {
    put_le16(s, tag);
    put_le16(s, type);
    put_le32(s, 1);
    put_le32(s, value);
  };
  entry(256, 4, width);
  entry(257, 4, height);
  entry(273, 4, strip_offset);
  entry(279, 4, strip_bytes);
  put_le32(s, 0);
  return s + std::string(strip_bytes, '\0');
}

std::string pnm_claiming(const std::string& header, std::size_t sample_bytes) {
  return header + std::string(sample_bytes, '\0');
}

// A 64 x 64 picture (ispe 64 x 64, property 1) with a preview item whose
// coded size is 512 x 384, each with the properties after their coded
// configuration given: 4 and 5 crop the middle half of a 64 x 64 and of a
// 128 x 128 image (clap), 6 says the preview is 128 x 128 (ispe).
std::string heif_preview_with(std::vector<unsigned> picture, std::vector<unsigned> preview) {
  using namespace quarn::handmade;
  const auto clap = [](std::uint32_t side) {
    std::string s;
    for (const std::uint32_t v : {side, 1u, side, 1u, 0u, 1u, 0u, 1u}) put_be32(s, v);
    return iso_box("clap", s);
  };
  picture.insert(picture.begin(), 2);
  preview.insert(preview.begin(), 3);
  return heif_file({{1, "hvc1", std::string(8, '\0'), picture}, {2, "hvc1", std::string(8, '\0'), preview}}, 1,
                   {}, {ispe(64, 64), hvcc_claiming(64, 64), hvcc_claiming(512, 384), clap(32), clap(64), ispe(128, 128)},
                   {{2, 1}});
}

// The HEIF structure as heif_with builds it, with the iloc or ipma body given.
std::string heif_locations(std::uint32_t items, unsigned extents) {
  std::string iloc("\0\0\0\0\x44\0", 6);
  quarn::handmade::put_be16(iloc, items);
  for (std::uint32_t i = 0; i < items; ++i) {
    quarn::handmade::put_be16(iloc, 1 + i);
    quarn::handmade::put_be16(iloc, 0);
    quarn::handmade::put_be16(iloc, extents);
    for (unsigned e = 0; e < extents; ++e) {
      put_be32(iloc, 32);
      put_be32(iloc, 8);
    }
  }
  return quarn::handmade::heif_with(iloc, quarn::handmade::heif_properties_of_item_1(), 64, 64);
}

struct SizeCase {
  const char* name;
  std::string bytes;
  ImageKind kind;
  bool refused;
  std::uint32_t width;
  std::uint32_t height;
  std::size_t previews = 0;  // HEIF previews that may be decoded
};

class ClaimedSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(ClaimedSize, RefusesBeyondTheLimitsOnly) {
  const auto& c = GetParam();
  const auto result = check(c.bytes);
  EXPECT_EQ(result.kind, c.kind) << kind_name(result.kind);
  EXPECT_EQ(result.refused, c.refused) << result.reason;
  EXPECT_EQ(result.width, c.width);
  EXPECT_EQ(result.height, c.height);
  EXPECT_EQ(result.heif_preview_count, c.previews);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ClaimedSize,
    ::testing::Values(
        // 32768 x 3051 is just under 100 million pixels; one row more is over.
        SizeCase{"png_side_limit", png_claiming(32768, 3051), ImageKind::kPng, false, 32768, 3051},
        SizeCase{"png_pixels_over", png_claiming(32768, 3052), ImageKind::kPng, true, 32768, 3052},
        SizeCase{"png_exactly_1e8", png_claiming(10000, 10000), ImageKind::kPng, false, 10000, 10000},
        SizeCase{"png_side_over", png_claiming(32769, 1), ImageKind::kPng, true, 32769, 1},
        SizeCase{"png_40000_square", png_claiming(40000, 40000), ImageKind::kPng, true, 40000, 40000},
        SizeCase{"png_zero_width", png_claiming(0, 10), ImageKind::kPng, true, 0, 10},
        SizeCase{"png_4g_side", png_claiming(0xFFFFFFFFu, 1), ImageKind::kPng, true, 0xFFFFFFFFu, 1},
        SizeCase{"gif_side_limit", gif_claiming(32768, 8), ImageKind::kGif, false, 32768, 8},
        SizeCase{"gif_side_over", gif_claiming(8, 32769), ImageKind::kGif, true, 8, 32769},
        SizeCase{"jpeg_ok", jpeg_claiming(4000, 3000), ImageKind::kJpeg, false, 4000, 3000},
        SizeCase{"jpeg_40000", jpeg_claiming(40000, 40000), ImageKind::kJpeg, true, 40000, 40000},
        SizeCase{"jpeg_dnl_height", jpeg_claiming(100, 0), ImageKind::kJpeg, true, 100, 0},
        SizeCase{"tga_ok", tga_claiming(300, 200, 300 * 200 * 3), ImageKind::kTga, false, 300, 200},
        SizeCase{"tga_side_over", tga_claiming(39394, 42384, 1006), ImageKind::kTga, true, 39394, 42384},
        SizeCase{"bmp_top_down", bmp_claiming(4, -3, 36), ImageKind::kBmp, false, 4, 3},
        SizeCase{"bmp_min_height", bmp_claiming(4, INT32_MIN, 36), ImageKind::kBmp, true, 4, 2147483648u},
        SizeCase{"psd_ok", psd_claiming(640, 480), ImageKind::kPsd, false, 640, 480},
        SizeCase{"psd_pixels_over", psd_claiming(20000, 20000), ImageKind::kPsd, true, 20000, 20000},
        SizeCase{"pnm_ok", pnm_claiming("P6\n# c\n20 10\n255\n", 600), ImageKind::kPnm, false, 20, 10},
        SizeCase{"pnm_text_ok", std::string("P2\n3 2\n255\n0 1 2\r\n3\t4 5\n"), ImageKind::kPnm, false, 3, 2},
        SizeCase{"pnm_side_over", pnm_claiming("P5 40000 2 255 ", 80000), ImageKind::kPnm, true, 40000, 2},
        SizeCase{"tiff_ok", tiff_claiming(4, 4, 62, 48), ImageKind::kTiff, false, 4, 4},
        SizeCase{"tiff_side_over", tiff_claiming(4, 40000, 62, 48), ImageKind::kTiff, true, 4, 40000},
        SizeCase{"ico_ok", quarn::handmade::ico(48, 32), ImageKind::kIco, false, 48, 32},
        SizeCase{"webp_ok", quarn::handmade::webp_lossless_claiming(1000, 800), ImageKind::kWebp, false, 1000, 800},
        SizeCase{"webp_pixels_over", quarn::handmade::webp_lossless_claiming(16384, 16384), ImageKind::kWebp, true, 16384, 16384},
        SizeCase{"webp_canvas_over", quarn::handmade::webp_animation_canvas(40000, 2), ImageKind::kWebp, true, 40000, 2},
        // HEIF: the coded pictures' sizes count, whatever the image item
        // says (64 x 64 in all of these); the image's own size is libheif's.
        SizeCase{"heic_ok", quarn::handmade::heif_claiming(false, 4032, 3024), ImageKind::kHeif, false, 0, 0},
        SizeCase{"heic_side_over", quarn::handmade::heif_claiming(false, 40000, 8), ImageKind::kHeif, true, 40000, 8},
        SizeCase{"avif_ok", quarn::handmade::heif_claiming(true, 32768, 3051), ImageKind::kHeif, false, 0, 0},
        SizeCase{"avif_side_over", quarn::handmade::heif_claiming(true, 65536, 65536), ImageKind::kHeif, true, 65536, 65536},
        SizeCase{"heic_grid_ok", quarn::handmade::heif_grid_claiming(6, 8, 512), ImageKind::kHeif, false, 0, 0},
        SizeCase{"heic_grid_pixels_over", quarn::handmade::heif_grid_claiming(4, 4, 16384), ImageKind::kHeif, true, 16384, 16384},
        SizeCase{"heic_grid_too_many_tiles", quarn::handmade::heif_grid_claiming(50, 100, 64), ImageKind::kHeif, true, 0, 0},
        // A preview is checked as the picture is, and must be turned as it
        // is; one that fails is never decoded, the picture still is.
        SizeCase{"heic_preview_ok", quarn::handmade::heif_preview_claiming(512, 384), ImageKind::kHeif, false, 0, 0, 1},
        SizeCase{"heic_preview_side_over", quarn::handmade::heif_preview_claiming(40000, 8), ImageKind::kHeif, false, 0, 0},
        SizeCase{"heic_preview_turned_otherwise", quarn::handmade::heif_preview_claiming(512, 384, true), ImageKind::kHeif,
                 false, 0, 0},
        SizeCase{"jxl_ok", quarn::handmade::jxl_claiming(1000, 800), ImageKind::kJxl, false, 1000, 800},
        SizeCase{"jxl_side_over", quarn::handmade::jxl_claiming(40000, 2), ImageKind::kJxl, true, 40000, 2},
        SizeCase{"jxl_pixels_over", quarn::handmade::jxl_claiming(20000, 20000), ImageKind::kJxl, true, 20000, 20000},
        // A preview shows what its picture shows only when both are cropped
        // alike, as shares of their sizes.
        SizeCase{"heic_preview_cropped_alike", heif_preview_with({1, 4}, {1, 4}), ImageKind::kHeif, false, 0, 0, 1},
        SizeCase{"heic_preview_cropped_alike_at_its_size", heif_preview_with({1, 4}, {6, 5}), ImageKind::kHeif, false,
                 0, 0, 1},
        SizeCase{"heic_preview_cropped_otherwise", heif_preview_with({1, 4}, {6, 4}), ImageKind::kHeif, false, 0, 0},
        SizeCase{"heic_preview_of_a_cropped_picture", heif_preview_with({1, 4}, {1}), ImageKind::kHeif, false, 0, 0},
        SizeCase{"heic_cropped_preview", heif_preview_with({1}, {1, 4}), ImageKind::kHeif, false, 0, 0},
        // The most scans a JPEG may have, and one more.
        SizeCase{"jpeg_scans_limit", quarn::handmade::progressive_scan_bomb(64, 48, 100), ImageKind::kJpeg, false, 64, 48},
        SizeCase{"jpeg_scans_over", quarn::handmade::progressive_scan_bomb(64, 48, 101), ImageKind::kJpeg, true, 64, 48}),
    [](const auto& info) { return std::string(info.param.name); });

struct FormatCase {
  const char* name;
  std::string bytes;
  ImageKind kind;
  unsigned width;
  unsigned height;
  bool library_may_decode = true;  // else only a decoder that reads the first frame
};

class ValidImage : public ::testing::TestWithParam<FormatCase> {};

TEST_P(ValidImage, IsAcceptedWithItsSize) {
  const auto& c = GetParam();
  ASSERT_FALSE(c.bytes.empty()) << "the image library could not write " << c.name;
  const auto result = check(c.bytes);
  EXPECT_EQ(result.kind, c.kind) << kind_name(result.kind);
  EXPECT_FALSE(result.refused) << result.reason;
  EXPECT_EQ(result.width, c.width);
  EXPECT_EQ(result.height, c.height);
  EXPECT_EQ(result.library_refusal == nullptr, c.library_may_decode);
}

// A GIF's second frame outside the screen.
std::string gif_stray_second_frame() {
  std::string s = quarn::handmade::gif(8, 8, 2);
  const std::size_t second = 25 + (s.size() - 26) / 2;  // after header, palette and one frame
  s[second + 5] = 9;  // frame width 9 on an 8-wide screen
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ValidImage,
    ::testing::Values(
        FormatCase{"png", encode_image(37, 21, ImageFormat::kPng), ImageKind::kPng, 37, 21},
        FormatCase{"jpeg", encode_image(37, 21, ImageFormat::kJpeg), ImageKind::kJpeg, 37, 21},
        FormatCase{"bmp", encode_image(37, 21, ImageFormat::kBmp), ImageKind::kBmp, 37, 21},
        FormatCase{"tga", encode_image(37, 21, ImageFormat::kTga), ImageKind::kTga, 37, 21},
        FormatCase{"psd", encode_image(37, 21, ImageFormat::kPsd), ImageKind::kPsd, 37, 21},
        FormatCase{"pnm", encode_image(37, 21, ImageFormat::kPnm), ImageKind::kPnm, 37, 21},
        FormatCase{"tiff", encode_through_file(37, 21, IL_TIF), ImageKind::kTiff, 37, 21},
        FormatCase{"pcx", encode_through_file(37, 21, IL_PCX), ImageKind::kPcx, 37, 21},
        FormatCase{"gif", quarn::handmade::gif(37, 21), ImageKind::kGif, 37, 21},
        FormatCase{"gif_animated", quarn::handmade::gif(37, 21, 4), ImageKind::kGif, 37, 21},
        // Judged by the first frame; the rest keep it from the image library.
        FormatCase{"gif_second_frame_outside", gif_stray_second_frame(), ImageKind::kGif, 8, 8, false},
        FormatCase{"gif_frames_over_the_limits", quarn::handmade::gif_of_empty_frames(3000, 3000, 12),
                   ImageKind::kGif, 3000, 3000, false},
        FormatCase{"palette_png", quarn::handmade::palette_png(37, 21), ImageKind::kPng, 37, 21},
        FormatCase{"cursor", quarn::handmade::ico(37, 21, 2), ImageKind::kIco, 37, 21},
        FormatCase{"webp", quarn::test::webp(quarn::test::Samples(37 * 21 * 3, 90), 37, 21, 3, false), ImageKind::kWebp, 37, 21},
        // libheif reads the size of HEIF images.
        FormatCase{"heic", quarn::test::heif(quarn::test::Samples(37 * 21 * 3, 90), 37, 21, 3, {}), ImageKind::kHeif, 0, 0},
        FormatCase{"avif", quarn::test::heif(quarn::test::Samples(37 * 21 * 3, 90), 37, 21, 3, {quarn::test::HeifCodec::kAv1}), ImageKind::kHeif, 0, 0},
        FormatCase{"jxl", quarn::test::jxl(quarn::test::Samples(37 * 21 * 3, 90), 37, 21, 3), ImageKind::kJxl, 37, 21}),
    [](const auto& info) { return std::string(info.param.name); });

// Cuts and flips that leave a header readable but its structure broken.
struct BrokenCase {
  const char* name;
  std::string bytes;
};

std::string png_chunk_length(std::uint32_t length) {
  std::string s = quarn::handmade::palette_png(8, 8);
  // The PLTE chunk follows the 33 bytes of signature and IHDR.
  s[33] = static_cast<char>(length >> 24);
  s[34] = static_cast<char>(length >> 16);
  s[35] = static_cast<char>(length >> 8);
  s[36] = static_cast<char>(length);
  return s;
}

std::string without_first_chunk(std::string png) { return png.substr(0, 8) + png.substr(33); }

class BrokenStructure : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenStructure, IsRefused) {
  const auto result = check(GetParam().bytes);
  EXPECT_TRUE(result.refused) << kind_name(result.kind);
  EXPECT_STRNE(result.reason, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BrokenStructure,
    ::testing::Values(
        BrokenCase{"png_chunk_past_end", png_chunk_length(0x10000)},
        BrokenCase{"png_chunk_length_top_bit", png_chunk_length(0x8000000C)},
        BrokenCase{"png_no_ihdr", without_first_chunk(quarn::handmade::palette_png(8, 8))},
        BrokenCase{"png_cut_in_idat", quarn::handmade::palette_png(40, 40).substr(0, 70)},
        BrokenCase{"png_no_iend",
                   [] {
                     const std::string s = quarn::handmade::palette_png(8, 8);
                     return s.substr(0, s.size() - 12);
                   }()},
        BrokenCase{"gif_frame_outside_screen",
                   [] {
                     std::string s = gif_claiming(8, 8);
                     s[18] = 9;  // frame width 9 on an 8-wide screen
                     return s;
                   }()},
        BrokenCase{"gif_cut_in_frame", quarn::handmade::gif(30, 30).substr(0, 40)},
        BrokenCase{"gif_no_frame", std::string("GIF89a\x08\0\x08\0\0\0\0\x3b", 14)},
        BrokenCase{"jpeg_segment_past_end", std::string("\xff\xd8\xff\xe0\x40\x00JFIF", 10)},
        BrokenCase{"jpeg_segment_past_end_after_frame",
                   jpeg_claiming(33, 20).substr(0, 21) + std::string("\xff\xeb\x38\x32", 4)},
        BrokenCase{"jpeg_no_scan", jpeg_claiming(33, 20).substr(0, 21) + "\xff\xd9"},
        BrokenCase{"jpeg_scan_before_frame", std::string("\xff\xd8\xff\xda\x00\x02\xff\xd9", 8)},
        BrokenCase{"tga_pixels_missing", tga_claiming(300, 200, 1000)},
        BrokenCase{"tga_mapped_without_map",
                   [] {
                     std::string s = tga_claiming(1, 32, 96);
                     s[2] = 1;  // colour-mapped, but no colour map
                     return s;
                   }()},
        BrokenCase{"tga_grey_16_bit",
                   [] {
                     std::string s = tga_claiming(8, 8, 8 * 8 * 2);
                     s[2] = 3;  // grey
                     s[16] = 16;
                     return s;
                   }()},
        BrokenCase{"bmp_pixels_missing", bmp_claiming(300, 200, 1000)},
        BrokenCase{"pnm_samples_missing", pnm_claiming("P6 100 100 255\n", 100)},
        BrokenCase{"pnm_text_samples_with_binary_bytes",
                   std::string("P1\n2\n8\n\0\x0a\xd4\x09&\0\0\0\0\xe1{k\xff\xb0\xaa \xff", 25)},
        BrokenCase{"pnm_huge_number", std::string("P6 99999999999 1 255\n")},
        BrokenCase{"psd_section_past_end", psd_claiming(64, 64).substr(0, 30)},
        BrokenCase{"tiff_directory_past_end", std::string("II*\0\xff\0\0\0", 8)},
        BrokenCase{"tiff_strip_past_end", tiff_claiming(4, 4, 5000, 48)},
        BrokenCase{"tiff_strip_longer_than_data", tiff_claiming(4, 4, 62, 48).substr(0, 100)},
        BrokenCase{"ico_image_past_end", quarn::handmade::ico(16, 16).substr(0, 100)},
        BrokenCase{"pcx_short_header", std::string("\x0a\x05\x01\x08", 4)},
        // Formats the library reads whose headers are not checked here.
        BrokenCase{"dds", "DDS " + std::string(200, '\0')},
        BrokenCase{"sgi", std::string("\x01\xda\x00\x01", 4) + std::string(600, '\0')},
        BrokenCase{"xpm_split_by_carriage_return", std::string("/* XP\rM */\0", 11)},
        BrokenCase{"bmp_cut_header", std::string("BM\xae\0\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\x07", 19)},
        BrokenCase{"hdr", "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 9000 +X 9000\n"},
        BrokenCase{"webp_cut_header", quarn::handmade::webp_lossless_claiming(64, 64).substr(0, 22)},
        BrokenCase{"heif_cut_in_meta", quarn::handmade::heif_claiming(false, 64, 64).substr(0, 90)},
        BrokenCase{"heif_cut_in_coded_data",
                   [] {
                     const std::string s = quarn::handmade::heif_claiming(false, 64, 64);
                     return s.substr(0, s.size() - 3);
                   }()},
        BrokenCase{"heif_without_parameter_sets",
                   quarn::handmade::heif_file({{1, "hvc1", std::string(8, '\0'), {1}}}, 1, {},
                                              {quarn::handmade::ispe(64, 64)})},
        BrokenCase{"jxl_too_many_extra_channels", quarn::handmade::jxl_claiming(64, 64, 17)},
        BrokenCase{"jxl_profile_over_4_mb", quarn::handmade::jxl_claiming(64, 64, 0, (4 << 20) + 1)},
        BrokenCase{"jxl_cut_header", quarn::handmade::jxl_claiming(64, 64).substr(0, 6)},
        BrokenCase{"jxl_box_past_end",
                   [] {
                     const std::string stream = quarn::handmade::jxl_claiming(64, 64) + std::string(64, '\0');
                     std::string s("\0\0\0\x0cJXL \x0d\x0a\x87\x0a\0\0\0\x14" "ftypjxl \0\0\0\0jxl ", 32);
                     put_be32(s, static_cast<std::uint32_t>(8 + stream.size() + 1));  // a byte beyond the file
                     return s + "jxlc" + stream;
                   }()},
        BrokenCase{"heif_no_primary_image", [] {
                     std::string s = quarn::handmade::heif_claiming(false, 64, 64);
                     s.replace(s.find("pitm"), 4, "xitm");
                     return s;
                   }()},
        // Counts beyond the bytes there, or beyond libheif's own limits:
        // refused before anything is allocated for them.
        BrokenCase{"heif_33_extents", heif_locations(1, 33)},
        BrokenCase{"heif_20001_items", heif_locations(20001, 0)},
        // Extents whose fields take no bytes still take one each.
        BrokenCase{"heif_empty_extents_past_the_box",
                   quarn::handmade::heif_with(std::string("\0\0\0\0\0\0\0\x01\0\x01\0\0\0\x05", 14),
                                              quarn::handmade::heif_properties_of_item_1(), 64, 64)},
        BrokenCase{"heif_20001_property_associations", quarn::handmade::heif_association_bomb(20001)},
        BrokenCase{"heif_association_count_past_the_box",
                   quarn::handmade::heif_with(quarn::handmade::heif_location_of_item_1(),
                                              std::string("\0\0\0\0\0\0\x10\0\0\x01\x02\x81\x82", 13), 64, 64)},
        BrokenCase{"heif_reference_count_past_the_box", [] {
                     std::string s = quarn::handmade::heif_preview_claiming(512, 384);
                     s[s.find("thmb") + 7] = 9;  // 9 references where 1 is stored
                     return s;
                   }()},
        BrokenCase{"heif_item_count_past_the_box", [] {
                     std::string s = quarn::handmade::heif_claiming(false, 64, 64);
                     s[s.find("iinf") + 9] = 9;  // 9 items where 1 is stored
                     return s;
                   }()},
        // A grid drawn on a canvas beyond the limits, whatever its tile.
        BrokenCase{"heif_grid_canvas_over",
                   quarn::handmade::heif_file({{1, "grid", quarn::handmade::heif_grid(1, 1, 20000, 20000), {1}},
                                               {2, "hvc1", std::string(8, '\0'), {1, 2}}},
                                              1, {{1, 2}}, {quarn::handmade::ispe(64, 64), quarn::handmade::hvcc_claiming(64, 64)})},
        BrokenCase{"heif_20001_boxes", [] {
                     std::string s = quarn::handmade::heif_claiming(false, 64, 64);
                     for (int i = 0; i < 20001; ++i) s += quarn::handmade::iso_box("free", "");
                     return s;
                   }()}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Fixtures, HostileFilesNeverReachTheImageLibrary) {
  for (const auto& image : quarn::handmade::hostile_images()) {
    const auto result = check(image.bytes);
    EXPECT_TRUE(result.refused || result.library_refusal != nullptr) << image.name;
  }
}

// The pre-flight holds at most one byte per byte of BLOB beyond its fixed
// part: for the files that once took gigabytes, for the largest structures
// it indexes (a grid of the most tiles with properties, references and
// previews) and for a tile stored in many pieces, which it joins.
TEST(PreflightMemory, StaysWithinOneBytePerByteOfBlob) {
  using namespace quarn::handmade;
  std::string pieces("\0\0\0\0\x44\0\0\x01\0\x01\0\0\0\x20", 14);  // item 1 in 32 extents of 1 KB
  for (std::uint32_t i = 0; i < 32; ++i) {
    put_be32(pieces, 32 + i * 1024);
    put_be32(pieces, 1024);
  }
  std::vector<NamedImage> files = costly_images();
  files.push_back({"grid_of_4096_tiles", heif_grid_claiming(64, 64, 64)});
  files.push_back({"extent_bomb_400k", heif_extent_bomb(65535)});
  {  // a grid of 4095 grids of 3 tiles each: the most items it keeps
    std::vector<HeifItem> items{{1, "grid", heif_grid(64, 64, 64, 64), {1}}};
    std::vector<std::vector<unsigned>> derived{{1}};
    for (unsigned g = 0; g < 4095; ++g) {
      const unsigned id = 2 + g * 4;
      items.push_back({id, "grid", heif_grid(1, 3, 192, 64), {1}});
      derived[0].push_back(id);
      derived.push_back({id, id + 1, id + 2, id + 3});
      for (unsigned t = 1; t <= 3; ++t) items.push_back({id + t, "hvc1", "", {1, 2}});
    }
    files.push_back({"grid_of_4095_grids", heif_file(items, 1, derived, {ispe(64, 64), hvcc_claiming(64, 64)})});
  }
  files.push_back({"tile_in_32_pieces", heif_with(pieces, heif_properties_of_item_1(), 64, 64, std::string(32 * 1024, '\0'))});
  for (const auto& file : files) {
    counted::live = counted::peak = 0;
    counted::on = true;
    check(file.bytes);
    counted::on = false;
    EXPECT_LE(counted::peak, static_cast<long long>(file.bytes.size() + quarn::thumb::kPreflightFixedBytes))
        << file.name;
  }
}

TEST(Detection, BytesWithoutSignatureAreLeftToTheLibrary) {
  // Not refused: the image stage asks the library, whose answer for these is
  // "unknown", so they keep the library's own load error.
  for (const std::string& bytes : {std::string(), std::string("not an image"), std::string(5, '\0'),
                                  std::string(64, 'x')}) {
    const auto result = check(bytes);
    EXPECT_EQ(result.kind, ImageKind::kUnknown) << bytes;
    EXPECT_FALSE(result.refused);
  }
  EXPECT_FALSE(preflight_image(nullptr, 0).refused);
}

TEST(Detection, FollowsTheLibrarysOrder) {
  // The library tests JPEG before anything else and takes a GIF signature in
  // any letter case; every "BM" is read as a bitmap, header-less bytes that
  // pass the library's Targa guess as a Targa.
  EXPECT_EQ(check(std::string("\xff\xd8" "GIF89a", 8)).kind, ImageKind::kJpeg);
  EXPECT_EQ(check(gif_claiming(4, 4).replace(0, 6, "gIf87A")).kind, ImageKind::kGif);
  EXPECT_EQ(check(std::string("BM") + std::string(60, '\0')).kind, ImageKind::kBmp);
  EXPECT_EQ(check(tga_claiming(40, 40, 4800)).kind, ImageKind::kTga);
  // HEIF by a brand of its file type box, major or compatible; other ISO
  // media files are left to the library.
  using quarn::handmade::iso_box;
  EXPECT_EQ(check(iso_box("ftyp", std::string("avis\0\0\0\0", 8))).kind, ImageKind::kHeif);
  EXPECT_EQ(check(iso_box("ftyp", std::string("XXXX\0\0\0\0isommif1", 16))).kind, ImageKind::kHeif);
  EXPECT_EQ(check(iso_box("ftyp", std::string("mp42\0\0\0\0isommp41", 16))).kind, ImageKind::kUnknown);
  // A PCX header whose bytes also pass the Targa guess is checked as both:
  // its resolution fields are the Targa size.
  std::string pcx = encode_through_file(8, 8, IL_PCX);
  ASSERT_GE(pcx.size(), 128u);
  EXPECT_FALSE(check(pcx).refused);
  pcx[12] = pcx[13] = pcx[14] = pcx[15] = '\xff';  // 65535 dpi: a 65535 x 65535 Targa
  pcx[16] = 24;                                   // Targa depth
  pcx[17] = 0;
  const auto both = check(pcx);
  EXPECT_EQ(both.kind, ImageKind::kPcx);
  EXPECT_TRUE(both.refused);
  EXPECT_STREQ(both.reason, "unsafe as Targa");
}

TEST(ExifOrientation, ReadFromTheFirstDirectoryInEitherByteOrder) {
  const auto tiff = [](int orientation, bool big_endian) {
    return quarn::handmade::exif_orientation_block(orientation, big_endian).substr(6);
  };
  const auto read = [](const std::string& bytes) {
    return quarn::thumb::exif_orientation(reinterpret_cast<const unsigned char*>(bytes.data()),
                                          bytes.size());
  };
  std::string as_long = tiff(6, true);
  as_long[8 + 2 + 3] = 4;  // the entry's type: LONG instead of SHORT
  const struct {
    const char* what;
    std::string bytes;
    int expected;
  } cases[] = {
      {"big-endian", tiff(6, true), 6},
      {"little-endian", tiff(8, false), 8},
      {"out of range", tiff(9, true), 1},
      {"not a SHORT", as_long, 1},
      {"cut inside the entry", tiff(6, true).substr(0, 16), 1},
      {"no TIFF header", "Exif data", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(read(c.bytes), c.expected) << c.what;
  // In a JPEG, from its APP1 segment.
  const std::vector<std::uint8_t> grey(16 * 8, 100);
  const auto jpeg = quarn::handmade::jpeg(grey, 16, 8, {JCS_GRAYSCALE, 5});
  EXPECT_EQ(check(jpeg).orientation, 5);
  EXPECT_EQ(check(quarn::handmade::jpeg(grey, 16, 8, {JCS_GRAYSCALE})).orientation, 1);
  // In a WebP, from its EXIF chunk.
  const std::string webp = quarn::test::webp(quarn::test::Samples(16 * 8 * 3, 100), 16, 8, 3, true);
  EXPECT_EQ(check(quarn::test::webp_with_exif(webp, 7)).orientation, 7);
  EXPECT_EQ(check(webp).orientation, 1);
  // In a PNG, from its eXIf chunk, with or without JPEG's prefix.
  const std::string png = quarn::handmade::palette_png(8, 8);
  for (const std::size_t prefix : {std::size_t{0}, std::size_t{6}})
    EXPECT_EQ(check(std::string(png).insert(33, quarn::handmade::png_chunk(
                  "eXIf", quarn::handmade::exif_orientation_block(3).substr(6 - prefix)))).orientation, 3);
  EXPECT_EQ(check(png).orientation, 1);
}

// A bare codestream in the container, in two jxlp boxes split inside its
// headers.
std::string in_parts(const std::string& stream) {
  std::string s("\0\0\0\x0cJXL \x0d\x0a\x87\x0a\0\0\0\x14" "ftypjxl \0\0\0\0jxl ", 32);
  const std::size_t split = 7;
  put_be32(s, static_cast<std::uint32_t>(12 + split));
  s += "jxlp" + std::string(4, '\0') + stream.substr(0, split);
  put_be32(s, static_cast<std::uint32_t>(12 + stream.size() - split));
  return s + "jxlp" + std::string("\x80\0\0\x01", 4) + stream.substr(split);
}

// The pre-flight's reading of a JPEG XL file's headers is libjxl's own,
// and so is the walk over the frames (from where libjxl says the headers
// end) to the first frame shown, for the kinds of file that change what its
// decoding takes.
TEST(JxlHeaders, ReadAsLibjxlReadsThem) {
  using quarn::test::JxlOptions;
  const auto samples = [](int channels, unsigned width = 40, unsigned height = 30) {
    return quarn::test::Samples(std::size_t{width} * height * channels, 77);
  };
  const std::string icc = quarn::test::rgb_profile(
      {0.3457, 0.3585, 1}, {{0.7347, 0.2653, 1}, {0.1596, 0.8404, 1}, {0.0366, 0.0001, 1}}, cmsBuildGamma(nullptr, 1.8));
  const auto with = [](auto change) {
    JxlOptions options;
    change(options);
    return options;
  };
  const JxlOptions::Layer square{samples(3, 10, 12), 7, 5, 10, 12};
  const struct {
    const char* name;
    std::string bytes;
    std::uint32_t frames;  // walked, the one shown included
    bool modular;          // the one shown
  } cases[] = {
      {"lossy", quarn::test::jxl(samples(3), 40, 30, 3), 1, false},
      {"lossless", quarn::test::jxl(samples(3), 40, 30, 3, with([](JxlOptions& o) { o.lossless = true; })), 1, true},
      {"grey lossless", quarn::test::jxl(samples(1), 40, 30, 1, with([](JxlOptions& o) { o.lossless = true; })), 1,
       true},
      {"rgba lossy", quarn::test::jxl(samples(4), 40, 30, 4), 1, false},
      {"grey+alpha lossless",
       quarn::test::jxl(samples(2), 40, 30, 2, with([](JxlOptions& o) { o.lossless = true; })), 1, true},
      {"orientation 6", quarn::test::jxl(samples(3), 40, 30, 3, with([](JxlOptions& o) { o.orientation = 6; })), 1,
       false},
      {"display p3", quarn::test::jxl(samples(3), 40, 30, 3, with([](JxlOptions& o) { o.primaries = 11; })), 1,
       false},
      {"profile lossless",
       quarn::test::jxl(samples(3), 40, 30, 3, with([&icc](JxlOptions& o) { o.icc = &icc, o.lossless = true; })), 1,
       true},
      {"animation", quarn::test::jxl(samples(3), 40, 30, 3, with([&](JxlOptions& o) { o.more_frames = {samples(3)}; })),
       1, false},
      {"container", quarn::test::jxl(samples(3), 40, 30, 3, with([](JxlOptions& o) { o.container = true; })), 1,
       false},
      {"progressive dc",
       quarn::test::jxl(samples(3, 400, 300), 400, 300, 3, with([](JxlOptions& o) { o.progressive_dc = true; })), 2,
       false},
      {"layers", quarn::test::jxl(samples(3), 40, 30, 3, with([&](JxlOptions& o) { o.layers = {square, square}; })),
       3, false},
      {"codestream in two jxlp boxes", in_parts(quarn::test::jxl(samples(3), 40, 30, 3)), 1, false},
      {"layers lossless alpha",
       quarn::test::jxl(samples(4), 40, 30, 4,
                        with([&](JxlOptions& o) {
                          o.lossless = true;
                          o.layers = {{samples(4, 10, 12), -3, 20, 10, 12}};
                        })),
       2, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.bytes.empty()) << "the encoder failed";
    const auto result = check(c.bytes);
    ASSERT_EQ(result.kind, ImageKind::kJxl);
    ASSERT_FALSE(result.refused) << result.reason;
    const quarn::thumb::JxlLayout& layout = result.jxl;
    JxlDecoder* decoder = JxlDecoderCreate(nullptr);
    JxlDecoderSubscribeEvents(decoder, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING);
    JxlDecoderSetKeepOrientation(decoder, JXL_TRUE);  // as stored, as tarvik reads it
    JxlDecoderSetInput(decoder, reinterpret_cast<const std::uint8_t*>(c.bytes.data()), c.bytes.size());
    JxlBasicInfo info{};
    ASSERT_EQ(JxlDecoderProcessInput(decoder), JXL_DEC_BASIC_INFO);
    JxlDecoderGetBasicInfo(decoder, &info);
    ASSERT_EQ(JxlDecoderProcessInput(decoder), JXL_DEC_COLOR_ENCODING);
    const std::size_t first_frame = c.bytes.size() - JxlDecoderReleaseInput(decoder);
    JxlDecoderDestroy(decoder);
    EXPECT_EQ(layout.width, info.xsize);
    EXPECT_EQ(layout.height, info.ysize);
    EXPECT_EQ(layout.orientation, static_cast<int>(info.orientation));
    EXPECT_EQ(result.orientation, layout.orientation);
    EXPECT_EQ(layout.grey, info.num_color_channels == 1);
    EXPECT_EQ(layout.extra_channels, info.num_extra_channels);
    EXPECT_EQ(layout.alpha, info.alpha_bits != 0);
    EXPECT_EQ(layout.xyb, !info.uses_original_profile);
    EXPECT_EQ(layout.animation, info.have_animation != 0);
    EXPECT_EQ(layout.has_profile, std::string(c.name) == "profile lossless");
    EXPECT_EQ(layout.profile_bytes != 0, layout.has_profile);
    const auto frames = quarn::thumb::walk_jxl_frames(reinterpret_cast<const unsigned char*>(c.bytes.data()),
                                                      c.bytes.size(), layout, first_frame);
    ASSERT_EQ(frames.refusal, nullptr) << frames.refusal;
    EXPECT_EQ(frames.count, c.frames);
    EXPECT_EQ(frames.modular, c.modular);
    EXPECT_EQ(frames.largest, std::uint64_t{info.xsize} * info.ysize);
  }
}

// A frame may be larger than its image: libjxl allocates it at its own size
// and ends the process when that fails. Beyond the limits it is refused
// before libjxl decodes anything; within them, what it takes is reckoned.
TEST(JxlHeaders, FramesAreHeldToTheLimitsAndReckonedBeforeLibjxlDecodesThem) {
  using quarn::test::JxlOptions;
  const quarn::test::Samples base(64 * 64 * 3, 90);
  JxlOptions wide, large;
  wide.layers = {{quarn::test::Samples(40000 * 2 * 3, 30), 0, 0, 40000, 2}};
  large.layers = {{quarn::test::Samples(3000 * 3000 * 3, 30), 0, 0, 3000, 3000}};
  const quarn::thumb::MemoryAllowance unbounded{std::uint64_t{1} << 40};
  const std::string refused = quarn::test::jxl(base, 64, 64, 3, wide);
  ASSERT_FALSE(refused.empty());
  ASSERT_FALSE(check(refused).refused) << "the image itself is 64 x 64";
  const auto stage = quarn::thumb::run_image_stage(refused.data(), refused.size(), 20, 20, unbounded);
  EXPECT_EQ(stage.result.code, IL_ILLEGAL_FILE_VALUE);
  EXPECT_EQ(stage.memory, 0u) << "nothing decoded";
  const std::string reckoned = quarn::test::jxl(base, 64, 64, 3, large);
  ASSERT_FALSE(reckoned.empty());
  const auto made = quarn::thumb::run_image_stage(reckoned.data(), reckoned.size(), 20, 20, unbounded);
  EXPECT_EQ(made.result.stage, quarn::thumb::Stage::kDone);
  EXPECT_GE(made.memory, std::uint64_t{3000} * 3000 * 4);
}

}  // namespace
