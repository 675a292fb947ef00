#include "thumbnail.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

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

}  // namespace
