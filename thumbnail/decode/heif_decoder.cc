#include "decode/heif_decoder.h"

#include <libheif/heif.h>

#include <memory>

#include "c_handle.h"
#include "common/image_limits.h"
#include "decode/decoder.h"
#include "env.h"

namespace quarn::thumb {
namespace {

// libheif's registry of decoders is shared by the process and counted:
// this library holds one reference for as long as it is loaded, so that
// neither its calls nor any other user's heif_deinit empties it, and it
// never empties it for others. heif_init reads the environment
// (LIBHEIF_PLUGIN_PATH); it counts even when it reports an error.
class HeifRegistration {
 public:
  HeifRegistration() {
    EnvReadHold environment;
    heif_init(nullptr);
  }
  ~HeifRegistration() { heif_deinit(); }
  HeifRegistration(const HeifRegistration&) = delete;
  HeifRegistration& operator=(const HeifRegistration&) = delete;
} const registration;

using Context = CHandle<heif_context, heif_context_free>;
using Handle = CHandle<const heif_image_handle, heif_image_handle_release>;
using Options = CHandle<heif_decoding_options, heif_decoding_options_free>;
using Nclx = CHandle<heif_color_profile_nclx, heif_nclx_color_profile_free>;

bool ok(const heif_error& error) { return error.code == heif_error_Ok; }

bool allowed(int width, int height) {
  return width > 0 && height > 0 && static_cast<std::uint32_t>(width) <= kMaxImageSide &&
         static_cast<std::uint32_t>(height) <= kMaxImageSide &&
         std::uint64_t{static_cast<std::uint32_t>(width)} * static_cast<std::uint32_t>(height) <=
             kMaxImagePixels;
}

// The colour box: an ICC profile where there is one, else nclx code points.
ColourSpace colour_space(const heif_image_handle* handle) {
  ColourSpace colour;
  const std::size_t icc_size = heif_image_handle_get_raw_color_profile_size(handle);
  if (icc_size > 0) {
    colour.icc.resize(icc_size);
    if (!ok(heif_image_handle_get_raw_color_profile(handle, colour.icc.data()))) colour.icc.clear();
    return colour;
  }
  heif_color_profile_nclx* box = nullptr;
  const bool found = ok(heif_image_handle_get_nclx_color_profile(handle, &box));
  const Nclx nclx(box);
  if (found && nclx)
    colour.nclx = ColourSpace::Nclx{nclx->color_primaries, nclx->transfer_characteristics,
                                    nclx->matrix_coefficients, nclx->full_range_flag != 0};
  return colour;
}

}  // namespace

std::optional<DecodedImage> decode_heif(const unsigned char* data, std::size_t size) {
  // No environment hold: once registered, libheif and the decoders it
  // uses here (libde265, dav1d) read no environment.
  const Context context(heif_context_alloc());
  if (!context) return std::nullopt;
  // libheif's own limit on every image's side; tiles are decoded one after
  // another on this thread, which is one of the server's many.
  heif_context_set_maximum_image_size_limit(context.get(), static_cast<int>(kMaxImageSide));
  heif_context_set_max_decoding_threads(context.get(), 0);
  if (!ok(heif_context_read_from_memory_without_copy(context.get(), data, size, nullptr)))
    return std::nullopt;
  heif_image_handle* primary = nullptr;
  if (!ok(heif_context_get_primary_image_handle(context.get(), &primary))) return std::nullopt;
  const Handle handle(primary);
  // The size as shown, turned and cropped: refused before any decoding.
  if (!allowed(heif_image_handle_get_width(primary), heif_image_handle_get_height(primary)))
    return std::nullopt;
  const bool alpha = heif_image_handle_has_alpha_channel(primary) != 0;
  const Options options(heif_decoding_options_alloc());
  if (!options) return std::nullopt;
  options->convert_hdr_to_8bit = 1;
  heif_image* image = nullptr;
  const heif_error decoded =
      heif_decode_image(primary, &image, heif_colorspace_RGB,
                        alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                        options.get());
  const std::shared_ptr<const heif_image> owner(image, heif_image_release);
  if (!ok(decoded) || image == nullptr) return std::nullopt;
  const int channels = alpha ? 4 : 3;
  int stride = 0;
  const std::uint8_t* plane = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
  const int width = heif_image_get_width(image, heif_channel_interleaved);
  const int height = heif_image_get_height(image, heif_channel_interleaved);
  if (plane == nullptr || !allowed(width, height) ||
      heif_image_get_bits_per_pixel(image, heif_channel_interleaved) != 8 * channels ||
      stride < width * channels)
    return std::nullopt;
  const PixelView pixels{plane, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height),
                         channels, false, static_cast<std::size_t>(stride)};
  return DecodedImage{pixels, owner, colour_space(primary)};
}

namespace {

// libheif, which decodes at full size only and turns the image upright
// itself: its size is known once it is decoded.
class HeifDecoder : public ImageDecoder {
 public:
  HeifDecoder(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
  bool read_header(ImageHeader& header) override {
    image_ = decode_heif(data_, size_);
    if (!image_) return false;
    header.size = {image_->pixels.width, image_->pixels.height};
    header.orientation = 1;
    return true;
  }
  bool decode(Size, Reduction& rows, ColourSpace& colour) override {
    const bool handed = hand_on(image_, rows, colour);
    image_.reset();
    return handed;
  }

 private:
  const unsigned char* data_;
  std::size_t size_;
  std::optional<DecodedImage> image_;
};

}  // namespace

std::unique_ptr<ImageDecoder> open_heif(const unsigned char* data, std::size_t size, const Preflight&) {
  return std::make_unique<HeifDecoder>(data, size);
}

}  // namespace quarn::thumb
