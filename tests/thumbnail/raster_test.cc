#include "pixels/raster.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using quarn::thumb::orient;
using quarn::thumb::Raster;

// A 3 x 2 image with one letter per pixel, read back row by row.
std::string letters(const Raster& image) {
  return std::string(image.samples.begin(), image.samples.end());
}

TEST(Orient, EveryExifOrientationMakesTheStoredImageUpright) {
  // Each stored image is what a camera writes for the upright picture
  //   a b c
  //   d e f
  // with the orientation it records.
  const struct {
    int orientation;
    std::uint32_t width, height;
    const char* stored;
  } cases[] = {
      {1, 3, 2, "abcdef"}, {2, 3, 2, "cbafed"}, {3, 3, 2, "fedcba"}, {4, 3, 2, "defabc"},
      {5, 2, 3, "adbecf"}, {6, 2, 3, "cfbead"}, {7, 2, 3, "fcebda"}, {8, 2, 3, "daebfc"},
      {0, 3, 2, "abcdef"}, {9, 3, 2, "abcdef"},  // not orientations: left as they are
  };
  for (const auto& c : cases) {
    Raster stored{c.width, c.height, 1, {}};
    stored.samples.assign(c.stored, c.stored + 6);
    const Raster upright = orient(stored, c.orientation);
    EXPECT_EQ(upright.width, 3u) << c.orientation;
    EXPECT_EQ(upright.height, 2u) << c.orientation;
    EXPECT_EQ(letters(upright), "abcdef") << c.orientation;
  }
}

}  // namespace
