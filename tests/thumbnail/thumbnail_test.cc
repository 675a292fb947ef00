#include "thumbnail_call.h"

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "decode/decoder.h"
#include "decode/preflight.h"
#include "encoded_images.h"
#include "handmade_jpeg.h"
#include "image_stage.h"
#include "images.h"
#include "pixels/reduction.h"
#include "test_util.h"
#include "udf_call.h"

namespace {

using quarn::thumb::build_path;

struct PathCase {
  std::optional<std::string> directory;
  std::string file_name;
  std::optional<std::string> expected;  // nothing: no file name left
};

TEST(BuildPath, SeparatorsSuffixAndDirectoryParts) {
  const std::optional<std::string> none;
  const PathCase cases[] = {
      {std::nullopt, "cat.png", "cat.png.jpg"},
      {std::string(""), "cat.png", "cat.png.jpg"},
      {std::string("D:\\thumbs"), "photos\\cat.png", "D:\\thumbs/cat.png.jpg"},
      {std::string("D:\\thumbs\\"), "a/b/Cat.JPG", "D:\\thumbs\\Cat.JPG"},
      {std::string("/var/thumbs/"), "x.jpeg", "/var/thumbs/x.jpeg.jpg"},
      {std::string("/var/thumbs"), "x.jpg.png", "/var/thumbs/x.jpg.png.jpg"},
      {std::string("/var/thumbs"), "Y.JpG", "/var/thumbs/Y.JpG"},
      {std::string(""), "ab", "ab.jpg"},
      {std::string(""), "jpg", "jpg.jpg"},
      {std::string(""), ".jpg", ".jpg"},
      {std::string("t"), "../../etc/passwd", "t/passwd.jpg"},
      // Names that look empty but are names.
      {std::string("t"), "..jpg", "t/..jpg"},
      {std::string("t"), "...", "t/....jpg"},
      {std::string("t"), " ", "t/ .jpg"},
      {std::string("t"), "a/.b", "t/.b.jpg"},
      // Nothing left once the directory parts are gone.
      {std::string("D:\\thumbs"), "", none},
      {std::string("D:\\thumbs"), "dir/", none},
      {std::string("t"), "a/b\\", none},
      {std::string("t"), ".", none},
      {std::string("t"), "..", none},
      {std::string("t"), "./", none},
      {std::string("t"), "a/..", none},
      {std::nullopt, "x\\.", none},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(build_path(c.directory, c.file_name), c.expected)
        << c.directory.value_or("<unset>") << " + " << c.file_name;
  }
}

TEST(BuildPath, ANameIsCutAtItsFirstNulSoTheSuffixAlwaysEndsThePath) {
  using namespace std::string_literals;
  EXPECT_EQ(build_path("d"s, "x.php\0y"s), "d/x.php.jpg");
  EXPECT_EQ(build_path("d"s, "a.jpg\0/../../z"s), "d/a.jpg");
  EXPECT_EQ(build_path("d"s, "\0evil.php"s), std::nullopt);
  EXPECT_EQ(build_path("d"s, "sub/\0x/y.png"s), std::nullopt);
  EXPECT_EQ(build_path("d"s, "..\0x"s), std::nullopt);
}

TEST(BoxLimit, LowThirtyTwoBitsTakenAsMagnitude) {
  const struct {
    long long value;
    std::uint32_t expected;
  } cases[] = {
      {200, 200},
      {-320, 320},
      {0, 0},
      {(1LL << 32) + 200, 200},
      {-2147483648LL, 2147483648u},
      {2147483648LL, 2147483648u},  // low bits read as INT32_MIN
      {0xFFFFFFFFLL, 1},
      {(1LL << 40), 0},
  };
  for (const auto& c : cases) EXPECT_EQ(quarn::thumb::box_limit(c.value), c.expected) << c.value;
}

TEST(RoundHalfDown, NearestWithExactHalfGoingDown) {
  const struct {
    float x;
    float expected;
  } cases[] = {{1.5f, 1.0f}, {1.51f, 2.0f}, {1.49f, 1.0f}, {2.0f, 2.0f},
               {0.5f, 0.0f}, {66.666f, 67.0f}, {0.0f, 0.0f}};
  for (const auto& c : cases) EXPECT_EQ(quarn::thumb::round_half_down(c.x), c.expected) << c.x;
}

TEST(FitSize, FitsTheLimitingDimensionAndEnlargesSmallImages) {
  const struct {
    std::uint32_t w, h, max_w, max_h, new_w, new_h;
  } cases[] = {
      {1600, 1200, 200, 200, 200, 150}, {3000, 2000, 100, 100, 100, 67},
      {50, 40, 200, 200, 200, 160},     {4, 3, 2, 100, 2, 1},
      {640, 480, 320, 320, 320, 240},   {1200, 1600, 200, 200, 150, 200},
      {100, 100, 0, 0, 0, 0},           {100, 50, 200, 10, 20, 10},
  };
  for (const auto& c : cases) {
    const auto size = quarn::thumb::fit_size(c.w, c.h, c.max_w, c.max_h);
    EXPECT_EQ(size.width, c.new_w) << c.w << "x" << c.h << " into " << c.max_w << "x" << c.max_h;
    EXPECT_EQ(size.height, c.new_h) << c.w << "x" << c.h << " into " << c.max_w << "x" << c.max_h;
  }
}

TEST(FitSize, HugeBoxesSaturateAndAreRefusedBeforeScaling) {
  const auto size = quarn::thumb::fit_size(640, 480, 2147483648u, 2147483648u);
  EXPECT_FALSE(quarn::thumb::scaled_size_allowed(size, 1));
  EXPECT_TRUE(quarn::thumb::scaled_size_allowed({200, 150}, 1));
  EXPECT_TRUE(quarn::thumb::scaled_size_allowed({10000, 10000}, 1));
  EXPECT_FALSE(quarn::thumb::scaled_size_allowed({10000, 10001}, 1));
  EXPECT_FALSE(quarn::thumb::scaled_size_allowed({32769, 1}, 1));
  EXPECT_FALSE(quarn::thumb::scaled_size_allowed({1000, 1000}, 101));
}

// ---- the PNG decoder itself, not the image library behind it ----

struct PngLayout {
  const char* name;
  int bit_depth;
  int colour_type;
  bool interlaced;
  std::vector<std::uint8_t> stored;    // rows as stored (bit-packed, big-endian)
  std::vector<std::uint8_t> expected;  // 8-bit grey or RGB, alpha on white
};

// 4x3 pixels (unless told) written by libpng; palette: red, green, blue,
// and a fourth colour made transparent by tRNS.
std::string png_of(const PngLayout& c, unsigned width = 4, unsigned height = 3) {
  std::string out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(
      png, &out,
      [](png_structp w, png_bytep data, png_size_t size) {
        static_cast<std::string*>(png_get_io_ptr(w))->append(reinterpret_cast<char*>(data), size);
      },
      nullptr);
  png_set_IHDR(png, info, width, height, c.bit_depth, c.colour_type,
               c.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  if (c.colour_type == PNG_COLOR_TYPE_PALETTE) {
    const png_color palette[] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {9, 9, 9}};
    const png_byte alpha[] = {255, 255, 255, 0};
    png_set_PLTE(png, info, palette, 4);
    png_set_tRNS(png, info, alpha, 4, nullptr);
  }
  const std::size_t row_bytes = c.stored.size() / height;
  std::vector<png_bytep> rows;
  for (std::size_t y = 0; y < height; ++y) rows.push_back(const_cast<png_bytep>(c.stored.data()) + y * row_bytes);
  png_set_rows(png, info, rows.data());
  png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

TEST(PngDecoder, EveryLayoutDecodesToItsPixels) {
  using V = std::vector<std::uint8_t>;
  const V grey{0, 50, 100, 150, 200, 250, 10, 20, 30, 40, 60, 70};
  V rgb;
  for (int i = 0; i < 12; ++i) rgb.insert(rgb.end(), {std::uint8_t(i * 20), std::uint8_t(255 - i * 20), 7});
  V rgba, grey16;
  for (int i = 0; i < 12; ++i) {
    rgba.insert(rgba.end(), {rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2], std::uint8_t(i == 5 ? 0 : 255)});
    grey16.insert(grey16.end(), {grey[i], grey[i]});  // v * 257: scaled back to v
  }
  V rgb_on_white = rgb;
  std::fill_n(rgb_on_white.begin() + 15, 3, 255);
  // Indices 0 1 2 3 / 3 2 1 0 / 0 0 3 3, two bits each.
  const V palette_rows{0x1B, 0xE4, 0x0F};
  const V palette_rgb{255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255, 255, 255, 255, 0, 0, 255,
                      0, 255, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 255, 255, 255, 255, 255, 255};
  const PngLayout cases[] = {
      {"grey", 8, PNG_COLOR_TYPE_GRAY, false, grey, grey},
      {"grey_interlaced", 8, PNG_COLOR_TYPE_GRAY, true, grey, grey},
      {"grey_16_bit", 16, PNG_COLOR_TYPE_GRAY, false, grey16, grey},
      {"rgb_interlaced", 8, PNG_COLOR_TYPE_RGB, true, rgb, rgb},
      {"rgba", 8, PNG_COLOR_TYPE_RGB_ALPHA, false, rgba, rgb_on_white},
      {"rgba_interlaced", 8, PNG_COLOR_TYPE_RGB_ALPHA, true, rgba, rgb_on_white},
      {"palette_2_bit_trns", 2, PNG_COLOR_TYPE_PALETTE, false, palette_rows, palette_rgb},
  };
  using namespace quarn::thumb;
  for (const PngLayout& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = png_of(c);
    const auto* data = reinterpret_cast<const unsigned char*>(file.data());
    const auto decoder = open_png(data, file.size(), preflight_image(data, file.size()));
    ImageHeader header{};
    ASSERT_TRUE(decoder->read_header(header));
    EXPECT_EQ(header.size.width, 4u);
    Reduction rows({8, 6});  // larger: the decoded pixels come back as they are
    ColourSpace colour;
    ASSERT_TRUE(decoder->decode(rows.decode_at_least(), rows, colour));
    const Raster made = rows.finish();
    EXPECT_EQ(V(made.samples.begin(), made.samples.end()), c.expected);
  }
}


// ---- the memory budget shared by every call ----

using quarn::thumb::decode_budget;
constexpr std::uint64_t kLimit = std::uint64_t{16} << 20;

// A progressive JPEG: libjpeg holds all its coefficients, 3 bytes a pixel.
std::string progressive_jpeg(unsigned width, unsigned height) {
  quarn::handmade::JpegOptions options;
  options.progressive = true;
  return quarn::handmade::jpeg(std::vector<std::uint8_t>(std::size_t{width} * height * 3, 90), width,
                               height, options);
}

// A call with a budget of 16 MB.
quarn::Outcome call(const std::string& image, const std::string& dir, const std::string& name) {
  const std::map<std::string, std::string> env = {{"UDF_IMAGEDIR", dir}, {"UDF_THUMBNAILMEMORY", "16"}};
  const quarn::SettingsSnapshot settings([&env](const std::string& variable) {
    const auto found = env.find(variable);
    return found == env.end() ? std::nullopt : std::optional<std::string>(found->second);
  });
  quarn::test::Args args;
  args.text(image).text(name).integer(200).integer(200);
  return quarn::thumb::run_call(*args.get(), settings);
}

TEST(MemoryBudget, CallsBeyondItWaitTheirTurnAndNeverOverrunIt) {
  const std::string image = progressive_jpeg(1000, 750);  // about 7 MB: two fit at once
  quarn::test::TempDir dir;
  decode_budget().take_watermarks();
  // Held for a moment first, so that every call starts by waiting.
  auto held = decode_budget().reserve(kLimit - (4 << 20), kLimit);
  std::vector<std::string> texts(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 2; ++round)
        texts[t * 2 + round] = call(image, dir.path(), std::to_string(t)).text();
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  held.reservation.release();
  for (auto& thread : threads) thread.join();
  const auto seen = decode_budget().take_watermarks();
  EXPECT_LE(seen.peak, kLimit);
  EXPECT_GT(seen.peak, kLimit / 2) << "two calls at once";
  EXPECT_LE(seen.longest_wait, quarn::thumb::kBudgetWait + std::chrono::seconds(1));
  for (int i = 0; i < 8; ++i) EXPECT_EQ(texts[i], "File written as " + dir.file(std::to_string(i / 2) + ".jpg"));
}

TEST(MemoryBudget, AnImageBeyondTheWholeBudgetFailsAtOnceAndOneWithoutRoomAfterTheWait) {
  quarn::test::TempDir dir;
  const std::string failure = "Error loading the image for " + dir.file("big.jpg") + ". Err Code: 2001";
  const quarn::Outcome refused = call(progressive_jpeg(3000, 2250), dir.path(), "big");
  EXPECT_EQ(refused.text(), failure);
  EXPECT_EQ(refused.log_line(), failure + " (needs 27 MB to decode, more than the whole of the "
                                          "thumbnail-memory budget of 16 MB)");
  auto held = decode_budget().reserve(kLimit, kLimit);
  const std::string image = progressive_jpeg(1000, 750);
  EXPECT_EQ(quarn::thumb::run_image_stage(image.data(), image.size(), 200, 200,
                                          {kLimit, &decode_budget(), std::chrono::milliseconds(200)})
                .result.code,
            quarn::thumb::kNoRoomInMemoryBudget);
}

TEST(MemoryBudget, ASmallRequestThatFitsGoesAheadOfABigOneThatWaits) {
  quarn::thumb::MemoryBudget budget;
  auto held = budget.reserve(60, 100);
  std::thread big([&] { budget.reserve(60, 100, std::chrono::milliseconds(3000)); });
  while (budget.waiting() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // Served at once, without a wait, while the big one still waits.
  const auto small = budget.reserve(10, 100, std::chrono::milliseconds(0));
  EXPECT_EQ(small.refusal, quarn::thumb::MemoryBudget::Refusal::kNone);
  EXPECT_EQ(budget.waiting(), 1u);
  held.reservation.release();
  big.join();
}

TEST(MemoryBudget, ABigRequestIsNotStarvedByAStreamOfSmallOnes) {
  // Small requests that fit come and go, three holding 90 of 100 most of
  // the time, so that a request of 50 would rarely find room by chance.
  quarn::thumb::MemoryBudget budget;
  std::atomic<bool> stop{false};
  std::vector<std::thread> small;
  for (int t = 0; t < 4; ++t)
    small.emplace_back([&] {
      while (!stop) {
        auto got = budget.reserve(30, 100, std::chrono::milliseconds(5000));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto start = std::chrono::steady_clock::now();
  const auto big = budget.reserve(50, 100, std::chrono::milliseconds(4000));
  const auto waited = std::chrono::steady_clock::now() - start;
  stop = true;
  for (auto& thread : small) thread.join();
  EXPECT_EQ(big.refusal, quarn::thumb::MemoryBudget::Refusal::kNone);
  // Passed for a second, then served once the small ones before it ended.
  EXPECT_LT(waited, quarn::thumb::kPassFor + std::chrono::milliseconds(1000));
}

// ---- the time limit ----

// Every decoder that can be stopped stops past the deadline: a honest
// image of each layout, given a millisecond, fails with its own code.
TEST(TimeLimit, ADecodePastItFailsWithItsCode) {
  constexpr unsigned kWidth = 1200, kHeight = 900;
  quarn::test::Samples rgb(std::size_t{kWidth} * kHeight * 3);
  for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<std::uint8_t>(i * 7 % 251 + i / 6000);
  quarn::handmade::JpegOptions progressive;
  progressive.progressive = true;
  quarn::test::TiffOptions tiled;
  tiled.tiled = true;
  // libwebp is looked at between pieces of the file: noise, so that a
  // lossless file has many.
  quarn::test::Samples noise(rgb.size()), indices(std::size_t{kWidth} * kHeight);
  std::uint32_t state = 1;
  for (auto& sample : noise) sample = static_cast<std::uint8_t>((state = state * 1664525u + 1013904223u) >> 24);
  for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = static_cast<std::uint8_t>(i % 4);
  const struct {
    const char* name;
    std::string image;
  } cases[] = {
      {"jpeg", quarn::handmade::jpeg(rgb, kWidth, kHeight)},
      {"jpeg_progressive", quarn::handmade::jpeg(rgb, kWidth, kHeight, progressive)},
      {"png", quarn::test::encode_image(kWidth, kHeight, quarn::test::ImageFormat::kPng)},
      {"png_interlaced", png_of({"rgb_interlaced", 8, PNG_COLOR_TYPE_RGB, true, rgb, rgb}, kWidth, kHeight)},
      {"gif", quarn::test::gif({{indices, 0, 0, kWidth, kHeight}}, kWidth, kHeight, {0, 0, 0, 255, 255, 255})},
      {"tiff_strips", quarn::test::tiff(rgb, kWidth, kHeight, 3, {})},
      {"tiff_tiles", quarn::test::tiff(rgb, kWidth, kHeight, 3, tiled)},
      {"webp", quarn::test::webp(rgb, kWidth, kHeight, 3, false)},
      {"webp_lossless", quarn::test::webp(noise, kWidth, kHeight, 3, true)},
  };
  for (const auto& c : cases) {
    ASSERT_FALSE(c.image.empty()) << c.name;
    const quarn::thumb::Deadline deadline(quarn::thumb::Deadline::Clock::now() + std::chrono::milliseconds(1));
    const auto made = quarn::thumb::run_image_stage(c.image.data(), c.image.size(), 200, 200,
                                                    {std::uint64_t{1} << 40}, deadline);
    EXPECT_EQ(made.result.stage, quarn::thumb::Stage::kLoad) << c.name;
    EXPECT_EQ(made.result.code, quarn::thumb::kOverTimeLimit) << c.name;
  }
}

}  // namespace
