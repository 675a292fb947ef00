// The image codecs read the environment themselves (libjpeg asks for
// JPEGMEM whenever it sets up a coder, libheif for LIBHEIF_PLUGIN_PATH as
// it registers its decoders). Those reads must happen while the environment
// lock is held, or a reload's setenv can free the array they walk. This
// program defines getenv, so the dynamic loader binds the codecs' calls to
// the counting version below.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "encoded_images.h"
#include "env_watch.h"
#include "handmade_images.h"
#include "images.h"
#include "test_util.h"
#include "udf_call.h"

namespace {

// Any variable but the plug-in's own settings, which it reads itself.
quarn::test::EnvWatch codec_reads([](const char* name) { return std::strncmp(name, "UDF_", 4) != 0; });

}  // namespace

extern "C" __attribute__((visibility("default"))) char* getenv(const char* name) {
  return codec_reads.lookup(name);
}

namespace {

using quarn::test::Args;
using quarn::test::Function;
using quarn::test::ImageFormat;
using quarn::test::Plugin;
using quarn::test::TempDir;

TEST(CodecEnvironment, TheCodecsReadTheEnvironmentOnlyUnderTheLock) {
  Plugin plugin("tarvik");
  Function tarvik(plugin, "tarvik");
  auto* lock = static_cast<pthread_rwlock_t*>(plugin.symbol(quarn::test::kEnvLockSymbol));
  ASSERT_NE(lock, nullptr);
  TempDir images;
  ::setenv("UDF_IMAGEDIR", images.path().c_str(), 1);

  const quarn::test::Samples rgb(64 * 48 * 3, 140);
  using quarn::test::HeifCodec;
  struct Case {
    const char* name;
    std::string image;
    int min_reads;  // reads by decoder and encoder set-ups that must have been seen
  };
  const Case cases[] = {
      {"png", quarn::test::encode_image(64, 48, ImageFormat::kPng), 1},    // JPEG encoder only
      {"gif", quarn::handmade::gif(64, 48), 1},
      {"tiff", quarn::test::tiff(rgb, 64, 48, 3, {}), 1},
      {"tiff_jpeg", quarn::test::tiff(rgb, 64, 48, 3, {8, 1, false, quarn::test::TiffCompression::kJpeg}), 2},
      {"jpeg", quarn::test::encode_image(64, 48, ImageFormat::kJpeg), 2},  // decoder and encoder
      {"webp", quarn::test::webp(rgb, 64, 48, 3, false), 1},  // libwebp reads nothing
      {"heic", quarn::test::heif(rgb, 64, 48, 3, {HeifCodec::kHevc}), 2},  // and libheif
      {"avif", quarn::test::heif(rgb, 64, 48, 3, {HeifCodec::kAv1}), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.image.empty());
    codec_reads.watch(lock);
    Args args;
    args.text(c.image).text(c.name).integer(16).integer(16);
    const auto result = tarvik.call_string(args);
    codec_reads.watch(nullptr);
    EXPECT_EQ(result.text, "File written as " + images.path() + "/" + c.name + ".jpg");
    // Without reads seen, the interposition did not work and proves nothing.
    EXPECT_GE(codec_reads.reads(), c.min_reads);
    EXPECT_EQ(codec_reads.unlocked_reads(), 0);
  }
  ::unsetenv("UDF_IMAGEDIR");
}

}  // namespace
