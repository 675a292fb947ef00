// The image codecs read the environment themselves (libjpeg asks for
// JPEGMEM whenever it sets up a coder). Those reads must happen while the
// environment lock is held, or a reload's setenv can free the array they
// walk. This program defines getenv, so the dynamic loader binds the
// codecs' calls to the counting version below.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "env_watch.h"
#include "images.h"
#include "test_util.h"
#include "udf_call.h"

namespace {

quarn::test::EnvWatch codec_reads([](const char* name) { return std::strcmp(name, "JPEGMEM") == 0; });

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

  struct Case {
    const char* name;
    ImageFormat format;
    int min_reads;  // decoder and encoder set-ups that must have been seen
  };
  const Case cases[] = {
      {"png", ImageFormat::kPng, 1},    // encoder only
      {"jpeg", ImageFormat::kJpeg, 2},  // decoder and encoder
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string image = quarn::test::encode_image(64, 48, c.format);
    ASSERT_FALSE(image.empty());
    codec_reads.watch(lock);
    Args args;
    args.text(image).text(c.name).integer(16).integer(16);
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
