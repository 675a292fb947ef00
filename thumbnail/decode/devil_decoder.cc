#include "decode/devil_decoder.h"

#include <IL/il.h>
#include <IL/ilu.h>

#include <limits>
#include <mutex>

#include "decode/decoder.h"

namespace quarn::thumb {
namespace {

// The library keeps a stack of pending errors for the whole process.
void clear_pending_errors() {
  while (ilGetError() != IL_NO_ERROR) {
  }
}

std::mutex& image_library_lock() {
  static std::mutex lock;
  return lock;
}

// Releases the image name on every way out of the image stage.
class ImageName {
 public:
  ImageName() { ilGenImages(1, &name_); }
  ~ImageName() { ilDeleteImages(1, &name_); }
  ImageName(const ImageName&) = delete;
  ImageName& operator=(const ImageName&) = delete;
  ILuint get() const { return name_; }

 private:
  ILuint name_ = 0;
};

// Whether the bound image's bytes per pixel match its format and type.
bool consistent_layout() {
  int channels = 0;
  switch (ilGetInteger(IL_IMAGE_FORMAT)) {
    case IL_COLOUR_INDEX: case IL_LUMINANCE: case IL_ALPHA: channels = 1; break;
    case IL_LUMINANCE_ALPHA: channels = 2; break;
    case IL_RGB: case IL_BGR: channels = 3; break;
    case IL_RGBA: case IL_BGRA: channels = 4; break;
    default: return false;
  }
  int sample = 0;
  switch (ilGetInteger(IL_IMAGE_TYPE)) {
    case IL_BYTE: case IL_UNSIGNED_BYTE: sample = 1; break;
    case IL_SHORT: case IL_UNSIGNED_SHORT: case IL_HALF: sample = 2; break;
    case IL_INT: case IL_UNSIGNED_INT: case IL_FLOAT: sample = 4; break;
    case IL_DOUBLE: sample = 8; break;
    default: return false;
  }
  return ilGetInteger(IL_IMAGE_BPC) == sample &&
         ilGetInteger(IL_IMAGE_BYTES_PER_PIXEL) == channels * sample;
}

// Colour-indexed to RGB, or RGBA when the palette has alpha.
bool expand_palette() {
  if (ilGetInteger(IL_IMAGE_FORMAT) != IL_COLOUR_INDEX) return true;
  const ILint palette = ilGetInteger(IL_PALETTE_TYPE);
  const bool alpha = palette == IL_PAL_RGBA32 || palette == IL_PAL_BGRA32;
  return ilConvertImage(alpha ? IL_RGBA : IL_RGB, IL_UNSIGNED_BYTE) == IL_TRUE;
}

// 8-bit grey, grey+alpha, RGB or RGBA: what the steps after decoding take.
// Returns the channels, 0 when the conversion failed.
int to_eight_bits() {
  const ILint format = ilGetInteger(IL_IMAGE_FORMAT);
  ILenum wanted = IL_RGBA;
  int channels = 4;
  switch (format) {
    case IL_LUMINANCE: case IL_ALPHA: wanted = IL_LUMINANCE; channels = 1; break;
    case IL_LUMINANCE_ALPHA: wanted = IL_LUMINANCE_ALPHA; channels = 2; break;
    case IL_RGB: case IL_BGR: wanted = IL_RGB; channels = 3; break;
    default: break;
  }
  if (format == static_cast<ILint>(wanted) && ilGetInteger(IL_IMAGE_TYPE) == IL_UNSIGNED_BYTE)
    return channels;
  return ilConvertImage(wanted, IL_UNSIGNED_BYTE) == IL_TRUE ? channels : 0;
}

// The bound 8-bit image's first (or only) layer, where the library holds it.
PixelView bound_pixels(int channels) {
  return {ilGetData(), static_cast<std::uint32_t>(ilGetInteger(IL_IMAGE_WIDTH)),
          static_cast<std::uint32_t>(ilGetInteger(IL_IMAGE_HEIGHT)), channels,
          ilGetInteger(IL_IMAGE_ORIGIN) == IL_ORIGIN_LOWER_LEFT};
}

// Decodes with the image library, under its lock: the same checks,
// failures and codes as ever. The lock is held from the header to the last
// row: the rows go into the reduction there, read where the library holds
// them (copying them out would cost more).
class DevilDecoder : public ImageDecoder {
 public:
  DevilDecoder(const unsigned char* data, std::size_t size, const Preflight& check)
      : data_(data), size_(size), kind_(check.kind) {}

  // Loads the whole image and makes it 8-bit.
  bool read_header(ImageHeader& header) override {
    // The image library keeps one bound image, one pending error and its
    // settings for the whole process: one row's image work at a time.
    lock_ = std::unique_lock<std::mutex>(image_library_lock());
    ilInit();
    // Errors left over from an earlier row would be reported as this row's.
    clear_pending_errors();
    image_.emplace();
    ilBindImage(image_->get());

    if (size_ > std::numeric_limits<ILuint>::max()) {
      return fail(Stage::kLoad, IL_ILLEGAL_FILE_VALUE);
    }
    if (kind_ == ImageKind::kUnknown && data_ != nullptr && size_ > 0) {
      // Bytes without a signature the pre-flight knows: should the library
      // still recognise a format in them, its header went unchecked. Asked
      // only here, under the lock, because detection swaps the library's
      // process-wide input functions and leaves an error when it finds nothing.
      const ILenum type = ilDetermineTypeL(data_, static_cast<ILuint>(size_));
      clear_pending_errors();
      if (type != IL_TYPE_UNKNOWN) return fail(Stage::kLoad, IL_ILLEGAL_FILE_VALUE);
    }
    const bool loaded = ilLoadL(IL_TYPE_UNKNOWN, data_, static_cast<ILuint>(size_)) == IL_TRUE;
    if (!loaded) {
      // Bytes that no reader takes leave no error at all; a failure never
      // reports 0, "no error".
      const ILenum error = ilGetError();
      return fail(Stage::kLoad, error != IL_NO_ERROR ? error : IL_FORMAT_NOT_SUPPORTED);
    }
    // Some corrupt files decode to an image whose pixel size does not match
    // its format (a 16-bit grey Targa: luminance with 2 bytes per pixel).
    if (!consistent_layout()) {
      clear_pending_errors();
      return fail(Stage::kLoad, IL_ILLEGAL_FILE_VALUE);
    }
    // Colour-indexed images (most GIFs, palette PNGs) become RGB or RGBA.
    if (!expand_palette()) {
      return fail(Stage::kScale, static_cast<unsigned int>(ilGetError()));
    }
    channels_ = to_eight_bits();
    if (channels_ == 0) {
      return fail(Stage::kScale, static_cast<unsigned int>(ilGetError()));
    }
    pixels_ = bound_pixels(channels_);
    header.size = {pixels_.width, pixels_.height};
    return true;
  }

  // Decoded whole as the header was read.
  DecodePlan plan(Size, Size) override { return {{pixels_.width, pixels_.height}, true}; }

  // Hands on the rows at full size, then gives back the lock; outside it,
  // what a PNG's chunks say of its colours, which the image library drops.
  bool decode(Size, Reduction& rows, ColourSpace& colour) override {
    rows.start({pixels_.width, pixels_.height}, channels_);
    rows.add_rows(pixels_);
    clear_pending_errors();  // so the next call starts clean
    image_.reset();
    lock_.unlock();
    if (kind_ == ImageKind::kPng) colour = png_colour_space(data_, size_);
    return true;
  }


 private:
  bool fail(Stage stage, unsigned int code) { return stop({stage, code}); }

  const unsigned char* data_;
  std::size_t size_;
  ImageKind kind_;
  std::unique_lock<std::mutex> lock_;  // before the image name, which goes first
  std::optional<ImageName> image_;
  PixelView pixels_{};
  int channels_ = 0;
};

}  // namespace

std::unique_ptr<ImageDecoder> open_devil(const unsigned char* data, std::size_t size,
                                         const Preflight& check) {
  return std::make_unique<DevilDecoder>(data, size, check);
}

StageResult enlarge_with_library(Raster& image, Size target) {
  std::lock_guard<std::mutex> guard(image_library_lock());
  ilInit();
  iluImageParameter(ILU_FILTER, ILU_SCALE_BSPLINE);
  clear_pending_errors();
  ImageName name;
  ilBindImage(name.get());
  const ILenum format = image.channels == 1 ? IL_LUMINANCE : IL_RGB;
  if (!ilTexImage(image.width, image.height, 1, static_cast<ILubyte>(image.channels), format,
                  IL_UNSIGNED_BYTE, image.samples.data())) {
    return {Stage::kScale, static_cast<unsigned int>(ilGetError())};
  }
  ilRegisterOrigin(IL_ORIGIN_UPPER_LEFT);
  if (!iluScale(target.width, target.height, 1)) {
    return {Stage::kScale, static_cast<unsigned int>(ilGetError())};
  }
  image = flatten_on_white(bound_pixels(image.channels));
  return {Stage::kDone, 0};
}

}  // namespace quarn::thumb
