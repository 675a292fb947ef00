// libheif's registry of decoders, which tarvik shares with every other user
// of libheif in the process.
#include <gtest/gtest.h>
#include <libheif/heif.h>

#include <string>

#include "encoded_images.h"
#include "test_util.h"
#include "udf_call.h"

namespace {

using quarn::test::Args;
using quarn::test::Function;
using quarn::test::Plugin;
using quarn::test::TempDir;

// libheif's decoders are registered for the whole process and counted: a
// thumbnail must leave them registered for any other user of libheif.
TEST(HeifRegistry, HeifDecodersStayRegisteredAfterAThumbnail) {
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
