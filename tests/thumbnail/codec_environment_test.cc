// The image codecs read the environment themselves (libjpeg asks for
// JPEGMEM whenever it sets up a coder and for its JSIMD_* switches on a
// thread's first use, libheif for LIBHEIF_PLUGIN_PATH as it registers its
// decoders). Those reads must happen while the environment lock is held, or
// a reload's setenv can free the array they walk; the decoding itself must
// not, or a reload waits for the slowest decode. This program defines
// getenv and the decoders' main calls, so the dynamic loader binds the
// plug-in's calls to the watching versions below.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <IL/il.h>
#include <gif_lib.h>
#include <jpeglib.h>
#include <libheif/heif.h>
#include <png.h>
#include <tiffio.h>
#include <webp/decode.h>

#include <cstring>
#include <string>
#include <thread>

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

// Decoding calls seen while a lock is watched, and how many of them began
// with the lock free (a writer could have taken it).
struct DecodeWatch {
  std::atomic<pthread_rwlock_t*> lock{nullptr};
  std::atomic<int> calls{0}, free{0};
  void watch(pthread_rwlock_t* watched) {
    if (watched != nullptr) calls = free = 0;
    lock = watched;
  }
  void note() {
    pthread_rwlock_t* watched = lock.load();
    if (watched == nullptr) return;
    ++calls;
    if (pthread_rwlock_trywrlock(watched) == 0) {
      ++free;
      pthread_rwlock_unlock(watched);
    }
  }
} decodes;

// The real function: the next definition in the global scope, or else the
// one in `library`, which the plug-in loaded (the test need not link it).
template <class F>
F next(const char* name, const char* library = nullptr) {
  void* real = dlsym(RTLD_NEXT, name);
  if (real == nullptr && library != nullptr)
    if (void* loaded = dlopen(library, RTLD_LAZY | RTLD_NOLOAD)) real = dlsym(loaded, name);
  return reinterpret_cast<F>(real);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) JDIMENSION jpeg_read_scanlines(
    j_decompress_ptr info, JSAMPARRAY rows, JDIMENSION count) {
  static const auto real = next<decltype(&jpeg_read_scanlines)>("jpeg_read_scanlines");
  decodes.note();
  return real(info, rows, count);
}

extern "C" __attribute__((visibility("default"))) VP8StatusCode WebPDecode(
    const std::uint8_t* data, std::size_t size, WebPDecoderConfig* config) {
  static const auto real = next<decltype(&WebPDecode)>("WebPDecode");
  decodes.note();
  return real(data, size, config);
}

extern "C" __attribute__((visibility("default"))) heif_error heif_decode_image(
    const heif_image_handle* handle, heif_image** image, heif_colorspace colours, heif_chroma chroma,
    const heif_decoding_options* options) {
  static const auto real = next<decltype(&heif_decode_image)>("heif_decode_image");
  decodes.note();
  return real(handle, image, colours, chroma, options);
}

extern "C" __attribute__((visibility("default"))) void png_read_row(png_structp png, png_bytep row,
                                                                  png_bytep display) {
  static const auto real = next<decltype(&png_read_row)>("png_read_row", "libpng16.so.16");
  decodes.note();
  real(png, row, display);
}

extern "C" __attribute__((visibility("default"))) int DGifGetLine(GifFileType* file, GifPixelType* line,
                                                                 int length) {
  static const auto real = next<decltype(&DGifGetLine)>("DGifGetLine");
  decodes.note();
  return real(file, line, length);
}

extern "C" __attribute__((visibility("default"))) int TIFFReadScanline(TIFF* file, void* buffer,
                                                                      std::uint32_t row,
                                                                      std::uint16_t sample) {
  static const auto real = next<decltype(&TIFFReadScanline)>("TIFFReadScanline");
  decodes.note();
  return real(file, buffer, row, sample);
}

extern "C" __attribute__((visibility("default"))) ILboolean ilLoadL(ILenum type, const void* data, ILuint size) {
  static const auto real = next<decltype(&ilLoadL)>("ilLoadL");
  decodes.note();
  return real(type, data, size);
}

namespace {

using quarn::test::Args;
using quarn::test::Function;
using quarn::test::ImageFormat;
using quarn::test::Plugin;
using quarn::test::TempDir;

TEST(CodecEnvironment, TheCodecsReadTheEnvironmentOnlyUnderTheLockAndDecodeWithoutIt) {
  Plugin plugin("tarvik");
  Function tarvik(plugin, "tarvik");
  auto* lock = static_cast<pthread_rwlock_t*>(plugin.symbol(quarn::test::kEnvLockSymbol));
  ASSERT_NE(lock, nullptr);
  TempDir images;
  ::setenv("UDF_IMAGEDIR", images.path().c_str(), 1);

  const quarn::test::Samples rgb(64 * 48 * 3, 140);
  using quarn::test::HeifCodec;
  const std::string jpeg = quarn::test::encode_image(64, 48, ImageFormat::kJpeg);
  struct Case {
    const char* name;
    std::string image;
    int min_reads;         // reads by coder set-ups that must have been seen
    bool decodes_unlocked;  // the decoding call runs without the lock
  };
  const Case cases[] = {
      // The JPEG encoder's set-up (JPEGMEM) and first start on the thread
      // (JSIMD_*): the PNG, GIF and TIFF readers read nothing.
      {"png", quarn::test::encode_image(64, 48, ImageFormat::kPng), 2, true},
      {"gif", quarn::handmade::gif(64, 48), 2, true},
      {"tiff", quarn::test::tiff(rgb, 64, 48, 3, {}), 2, true},
      // libtiff's JPEG codec is libjpeg: that decode is held.
      {"tiff_jpeg", quarn::test::tiff(rgb, 64, 48, 3, {8, 1, false, quarn::test::TiffCompression::kJpeg}),
       3, false},
      {"jpeg", jpeg, 3, true},  // and the decoder's set-up
      // Refused by libjpeg's decoder for a warning: the image library's
      // libjpeg reader, which is held.
      {"jpeg_cut_short", jpeg.substr(0, jpeg.size() / 2) + "\xFF\xD9", 3, false},
      {"webp", quarn::test::webp(rgb, 64, 48, 3, false), 2, true},  // libwebp reads nothing
      {"heic", quarn::test::heif(rgb, 64, 48, 3, {HeifCodec::kHevc}), 2, true},
      {"avif", quarn::test::heif(rgb, 64, 48, 3, {HeifCodec::kAv1}), 2, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.image.empty());
    codec_reads.watch(lock);
    decodes.watch(lock);
    Args args;
    args.text(c.image).text(c.name).integer(16).integer(16);
    // A thread of its own, as the server's: libjpeg looks up its SIMD
    // switches once per thread.
    quarn::test::StringOutcome result;
    std::thread call([&] { result = tarvik.call_string(args); });
    call.join();
    codec_reads.watch(nullptr);
    decodes.watch(nullptr);
    EXPECT_EQ(result.text, "File written as " + images.path() + "/" + c.name + ".jpg");
    // Without reads seen, the interposition did not work and proves nothing.
    EXPECT_GE(codec_reads.reads(), c.min_reads);
    EXPECT_EQ(codec_reads.unlocked_reads(), 0) << "last unlocked read: " << codec_reads.last_unlocked();
    EXPECT_GT(decodes.calls, 0);
    if (c.decodes_unlocked) {
      EXPECT_EQ(decodes.free, decodes.calls);
    }
  }
  ::unsetenv("UDF_IMAGEDIR");
}

// libheif's decoders are registered for the whole process and counted: a
// thumbnail must leave them registered for any other user of libheif.
TEST(CodecEnvironment, HeifDecodersStayRegisteredAfterAThumbnail) {
  Plugin plugin("tarvik");
  Function tarvik(plugin, "tarvik");
  TempDir images;
  ::setenv("UDF_IMAGEDIR", images.path().c_str(), 1);
  const std::string heic = quarn::test::heif(quarn::test::Samples(64 * 48 * 3, 90), 64, 48, 3, {});
  ASSERT_FALSE(heic.empty());
  Args args;
  args.text(heic).text("heic").integer(16).integer(16);
  EXPECT_EQ(tarvik.call_string(args).text, "File written as " + images.path() + "/heic.jpg");
  ::unsetenv("UDF_IMAGEDIR");

  heif_context* context = heif_context_alloc();
  heif_image_handle* handle = nullptr;
  heif_image* image = nullptr;
  ASSERT_EQ(heif_context_read_from_memory_without_copy(context, heic.data(), heic.size(), nullptr).code,
            heif_error_Ok);
  ASSERT_EQ(heif_context_get_primary_image_handle(context, &handle).code, heif_error_Ok);
  const heif_error decoded =
      heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr);
  EXPECT_EQ(decoded.code, heif_error_Ok) << decoded.message;
  if (image != nullptr) heif_image_release(image);
  heif_image_handle_release(handle);
  heif_context_free(context);
}

}  // namespace
