// HEIF, HEIC and AVIF decoding with libheif (libde265 for HEVC, dav1d or
// libaom for AV1), apart from the image library: any number of threads may
// run it at once. The primary image (its first image, also in a file that
// holds a sequence), or a preview of it, is decoded to 8-bit RGB or RGBA as
// libheif shows it: rotated, mirrored and cropped as the file says (EXIF
// orientation, which HEIF files also carry, describes the same turn and is
// not applied on top), deeper samples reduced to 8 bits; its colour box (an
// ICC profile or nclx code points) is its colour space.
#include <libheif/heif.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "c_handle.h"
#include "common/image_limits.h"
#include "decode/decoder.h"

namespace quarn::thumb {
namespace {

// libheif's registry of decoders is shared by the process and counted:
// this library holds one reference for as long as it is loaded, so that
// neither its calls nor any other user's heif_deinit empties it, and it
// never empties it for others. heif_init counts even when it reports an
// error.
class HeifRegistration {
 public:
  HeifRegistration() { heif_init(nullptr); }
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

// Whether a colour box says what the samples' colours are: an ICC
// profile, or nclx primaries or transfer other than "unspecified".
bool says_colours(const ColourSpace& colour) {
  return !colour.icc.empty() ||
         (colour.nclx && (colour.nclx->primaries != 2 || colour.nclx->transfer != 2));
}

Size shown_size(const heif_image_handle* handle) {
  return {static_cast<std::uint32_t>(std::max(0, heif_image_handle_get_width(handle))),
          static_cast<std::uint32_t>(std::max(0, heif_image_handle_get_height(handle)))};
}

bool allowed(Size size) {
  return allowed(static_cast<int>(size.width), static_cast<int>(size.height));
}

// Whether a preview shows the picture's whole frame: its aspect ratio within
// 1% of the picture's. A stale or cropped preview is not taken for it.
bool same_frame(Size preview, Size picture) {
  const std::uint64_t a = std::uint64_t{preview.width} * picture.height;
  const std::uint64_t b = std::uint64_t{picture.width} * preview.height;
  return 100 * (a > b ? a - b : b - a) <= b;
}

// Decodes an image of the file to 8-bit RGB or RGBA as libheif shows it,
// at the size it showed before decoding (`shown`): libheif 1.15 takes the
// size of a coded picture or a canvas for what the file says (ispe), and
// may make another; such a file is refused.
std::optional<DecodedImage> decode_image(const heif_image_handle* handle, Size shown) {
  const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
  const Options options(heif_decoding_options_alloc());
  if (!options) return std::nullopt;
  options->convert_hdr_to_8bit = 1;
  heif_image* image = nullptr;
  const heif_error decoded =
      heif_decode_image(handle, &image, heif_colorspace_RGB,
                        alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                        options.get());
  const std::shared_ptr<const heif_image> owner(image, heif_image_release);
  if (!ok(decoded) || image == nullptr) return std::nullopt;
  const int channels = alpha ? 4 : 3;
  int stride = 0;
  const std::uint8_t* plane = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
  const int width = heif_image_get_width(image, heif_channel_interleaved);
  const int height = heif_image_get_height(image, heif_channel_interleaved);
  if (plane == nullptr || !allowed(width, height) || static_cast<std::uint32_t>(width) != shown.width ||
      static_cast<std::uint32_t>(height) != shown.height ||
      heif_image_get_bits_per_pixel(image, heif_channel_interleaved) != 8 * channels ||
      stride < width * channels)
    return std::nullopt;
  const PixelView pixels{plane, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height),
                         channels, false, static_cast<std::size_t>(stride)};
  return DecodedImage{pixels, owner, {}};
}

// libheif, which decodes at full size only and turns the image upright
// itself: the header is the primary image's size as shown, read without
// decoding; the decode takes the smallest preview at least as large as
// the thumbnail, or the picture.
class HeifDecoder : public ImageDecoder {
 public:
  HeifDecoder(const unsigned char* data, std::size_t size, const Preflight& check)
      : data_(data), size_(size), check_(check) {}

  bool read_header(ImageHeader& header) override {
    context_.reset(heif_context_alloc());
    if (!context_) return false;
    // libheif's own limit on every image's side.
    heif_context_set_maximum_image_size_limit(context_.get(), static_cast<int>(kMaxImageSide));
    if (!ok(heif_context_read_from_memory_without_copy(context_.get(), data_, size_, nullptr)))
      return false;
    heif_image_handle* primary = nullptr;
    if (!ok(heif_context_get_primary_image_handle(context_.get(), &primary))) return false;
    picture_.handle.reset(primary);
    picture_.coded = check_.heif_coded_pixels;
    // The size as shown, turned and cropped: refused before any decoding.
    picture_.size = shown_size(primary);
    if (!allowed(picture_.size)) return false;
    header.size = picture_.size;
    header.orientation = 1;
    find_previews();
    return true;
  }

  // libheif holds the decoded RGB(A) image whole; before it, the coded
  // pictures' planes (twice over at more than 8 bits a sample), the
  // codec's own copies and what it keeps per block, and the conversion's
  // steps. An alpha picture, as large as the image, has one plane. A grid's
  // tiles decoded at once each hold their own codec and planes.
  DecodePlan plan(Size target, Size) override {
    chosen_ = &picture_;
    for (const Image& preview : previews_) {
      const bool covers = preview.size.width >= target.width && preview.size.height >= target.height;
      if (covers && preview.size.width < chosen_->size.width) chosen_ = &preview;
    }
    const heif_image_handle* handle = chosen_->handle.get();
    const std::uint64_t depth = heif_image_handle_get_luma_bits_per_pixel(handle) > 8 ? 2 : 1;
    const std::uint64_t alpha = heif_image_handle_has_alpha_channel(handle) != 0
                                    ? std::min(chosen_->coded, std::uint64_t{chosen_->size.width} *
                                                                   chosen_->size.height)
                                    : 0;
    const std::uint64_t codec = ((chosen_->coded - alpha) * 6 + alpha * 4) * depth;
    const std::uint64_t more_tiles =
        (tiles_at_once() - 1) * (check_.heif_tile_pixels * kTileBytesPerPixel * depth + kTileContextBytes);
    return {chosen_->size, true, chosen_ != &picture_, codec + more_tiles};
  }

  bool decode(Size, Reduction& rows, ColourSpace& colour) override {
    if (chosen_ == nullptr) plan({0, 0}, {0, 0});
    const heif_image_handle* handle = chosen_->handle.get();
    // A preview's colours are the picture's unless its own box says otherwise.
    ColourSpace colours = colour_space(handle);
    if (chosen_ != &picture_ && !says_colours(colours)) colours = colour_space(picture_.handle.get());
    // libheif's threads decode a grid's tiles; 0 decodes them one after
    // another on this thread. A preview is small: never split.
    const std::uint64_t tiles = tiles_at_once();
    heif_context_set_max_decoding_threads(context_.get(), tiles > 1 ? static_cast<int>(tiles) : 0);
    std::optional<DecodedImage> image = decode_image(handle, chosen_->size);
    if (image) image->colour = std::move(colours);
    return hand_on(image, rows, colour);
  }

 private:
  struct Image {
    Handle handle;
    Size size{};             // as shown
    std::uint64_t coded = 0;  // pixels of the coded pictures it is decoded from
  };

  // What one more tile decoded beside the others holds at its peak: per
  // pixel, libheif's copy of the coded planes and the tile in RGB before it
  // is pasted into the grid (or libde265's picture and its per-block data
  // beside that copy); and a decoder context of its own.
  static constexpr std::uint64_t kTileBytesPerPixel = 5;
  static constexpr std::uint64_t kTileContextBytes = 64 << 10;

  // The tiles libheif decodes at once: one unless the picture is a grid and
  // the call may use more threads.
  std::uint64_t tiles_at_once() const {
    if (chosen_ != &picture_ || check_.heif_tiles < 2) return 1;
    return std::min<std::uint64_t>(threads(), check_.heif_tiles);
  }

  // The thumbnail items the pre-flight accepted, where they show the same
  // frame as the picture with the same kind of samples (alpha or not).
  void find_previews() {
    const heif_image_handle* primary = picture_.handle.get();
    const bool alpha = heif_image_handle_has_alpha_channel(primary) != 0;
    for (std::size_t i = 0; i < check_.heif_preview_count; ++i) {
      heif_image_handle* thumbnail = nullptr;
      if (!ok(heif_image_handle_get_thumbnail(primary, check_.heif_previews[i], &thumbnail))) continue;
      Image preview{Handle(thumbnail), shown_size(thumbnail), check_.heif_preview_pixels[i]};
      if (allowed(preview.size) && same_frame(preview.size, picture_.size) &&
          (heif_image_handle_has_alpha_channel(thumbnail) != 0) == alpha)
        previews_.push_back(std::move(preview));
    }
  }

  const unsigned char* data_;
  std::size_t size_;
  Preflight check_;
  Context context_;
  Image picture_;
  std::vector<Image> previews_;
  const Image* chosen_ = nullptr;
};

}  // namespace

std::unique_ptr<ImageDecoder> open_heif(const unsigned char* data, std::size_t size,
                                        const Preflight& check) {
  return std::make_unique<HeifDecoder>(data, size, check);
}

}  // namespace quarn::thumb
