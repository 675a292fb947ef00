#include "thumbnail.h"

#include "ascii.h"
#include "pixels/colour.h"
#include "decode/decoder.h"
#include "env.h"
#include "write/jpeg_writer.h"
#include "decode/preflight.h"

#include <IL/il.h>
#include <IL/ilu.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

namespace quarn::thumb {

std::optional<std::string> build_path(const std::optional<std::string>& directory,
                                      std::string_view file_name) {
  // A NUL would end the path handed to the image library after the suffix
  // check, so "x.php\0y" would be written without ".jpg".
  const auto nul = file_name.find('\0');
  if (nul != std::string_view::npos) file_name = file_name.substr(0, nul);
  const auto separator = file_name.find_last_of("/\\");
  if (separator != std::string_view::npos) file_name = file_name.substr(separator + 1);
  // Every such name would become the one hidden file ".jpg" (or "...jpg"),
  // which each call without a name would overwrite.
  if (file_name.empty() || file_name == "." || file_name == "..") return std::nullopt;

  std::string path = directory.value_or(std::string());
  if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
  path.append(file_name.data(), file_name.size());

  const bool has_suffix =
      path.size() >= 4 && ascii_iequals(std::string_view(path).substr(path.size() - 4), ".jpg");
  if (!has_suffix) path += ".jpg";
  return path;
}

std::uint32_t box_limit(long long value) {
  const auto low = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
  const std::int64_t wide = low;
  return static_cast<std::uint32_t>(wide < 0 ? -wide : wide);
}

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
// failures and codes as ever. The rows go into the reduction there too,
// read where the library holds them: copying them out would cost more.
StageResult decode_with_library(const void* data, unsigned long size, const Preflight& check,
                                std::uint32_t max_width, std::uint32_t max_height,
                                std::optional<Reduction>& rows, Size& target) {
  // The image library keeps one bound image, one pending error and its
  // settings for the whole process: one row's image work at a time.
  std::lock_guard<std::mutex> guard(image_library_lock());
  ilInit();
  // Errors left over from an earlier row would be reported as this row's.
  clear_pending_errors();
  ImageName image;
  ilBindImage(image.get());

  if (size > std::numeric_limits<ILuint>::max()) {
    return {Stage::kLoad, IL_ILLEGAL_FILE_VALUE};
  }
  if (check.kind == ImageKind::kUnknown && data != nullptr && size > 0) {
    // Bytes without a signature the pre-flight knows: should the library
    // still recognise a format in them, its header went unchecked. Asked
    // only here, under the lock, because detection swaps the library's
    // process-wide input functions and leaves an error when it finds nothing.
    const ILenum type = ilDetermineTypeL(data, static_cast<ILuint>(size));
    clear_pending_errors();
    if (type != IL_TYPE_UNKNOWN) return {Stage::kLoad, IL_ILLEGAL_FILE_VALUE};
  }
  // Of the library's readers, libjpeg's reads the environment (JPEGMEM as
  // it sets up, its JSIMD_* switches on a thread's first use), and so does
  // libtiff's (libjpeg again for JPEG-compressed TIFFs, and
  // LIBTIFF_STRILE_ARRAY_MAX_RESIZE_COUNT for huge strip tables); the others
  // (libpng, libmng, lcms2 and its own) read none.
  std::optional<EnvReadHold> environment;
  if (check.kind == ImageKind::kJpeg || check.kind == ImageKind::kTiff) environment.emplace();
  const bool loaded = ilLoadL(IL_TYPE_UNKNOWN, data, static_cast<ILuint>(size)) == IL_TRUE;
  environment.reset();
  if (!loaded) {
    // Bytes that no reader takes leave no error at all; a failure never
    // reports 0, "no error".
    const ILenum error = ilGetError();
    return {Stage::kLoad, error != IL_NO_ERROR ? error : IL_FORMAT_NOT_SUPPORTED};
  }
  // Some corrupt files decode to an image whose pixel size does not match
  // its format (a 16-bit grey Targa: luminance with 2 bytes per pixel).
  if (!consistent_layout()) {
    clear_pending_errors();
    return {Stage::kLoad, IL_ILLEGAL_FILE_VALUE};
  }
  // Colour-indexed images (most GIFs, palette PNGs) become RGB or RGBA.
  if (!expand_palette()) {
    return {Stage::kScale, static_cast<unsigned int>(ilGetError())};
  }
  const int channels = to_eight_bits();
  if (channels == 0) {
    return {Stage::kScale, static_cast<unsigned int>(ilGetError())};
  }
  const PixelView decoded = bound_pixels(channels);
  target = thumbnail_size({decoded.width, decoded.height}, check.orientation, max_width, max_height);
  // A huge box would make the scaler overflow its buffer size and write out
  // of bounds; refuse it as a parameter the library cannot take.
  if (!scaled_size_allowed(target, 1)) {
    clear_pending_errors();  // so the next call starts clean
    return {Stage::kScale, IL_INVALID_PARAM};
  }
  rows.emplace(target);
  rows->start({decoded.width, decoded.height}, channels);
  rows->add_rows(decoded);
  return {Stage::kDone, 0};
}

// Enlarges with the image library's B-spline filter, under its lock. It
// also takes a size of 0, and what it makes of that stays its answer.
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

StageResult save(const Raster& image, const std::string& path) {
  switch (write_jpeg(image, path)) {
    case WriteResult::kWritten: return {Stage::kDone, 0};
    case WriteResult::kCannotOpen: return {Stage::kSave, IL_COULD_NOT_OPEN_FILE};
    // Not written whole (a full disk, a file size limit): the previous file stays.
    case WriteResult::kWriteFailed: return {Stage::kSave, IL_FILE_WRITE_ERROR};
    case WriteResult::kEncodeFailed: break;
  }
  return {Stage::kSave, IL_LIB_JPEG_ERROR};
}

// Converted to sRGB from what the decoder read of the pixels' colours (few
// pixels are left), enlarged where the thumbnail is larger, turned upright
// and written.
StageResult complete_thumbnail(Raster pixels, Size target, const ColourSpace& colour,
                               int orientation, const std::string& path) {
  to_srgb(pixels, colour);
  if (pixels.width != target.width || pixels.height != target.height) {
    const StageResult enlarged = enlarge_with_library(pixels, target);
    if (enlarged.stage != Stage::kDone) return enlarged;
  }
  return save(orient(std::move(pixels), orientation), path);
}

// Decodes with the format's own decoder, outside the image library's lock.
// Nothing when the decoder refuses the file or fails on it.
std::optional<StageResult> decode_apart(const DecoderEntry& entry, const unsigned char* data,
                                        std::size_t size, const Preflight& check,
                                        std::uint32_t max_width, std::uint32_t max_height,
                                        const std::string& path) {
  const std::unique_ptr<ImageDecoder> decoder = entry.open(data, size, check);
  ImageHeader header{{check.width, check.height}, check.orientation};
  if (!decoder || !decoder->read_header(header)) return std::nullopt;
  // The one place the thumbnail's size is decided.
  const Size target = thumbnail_size(header.size, header.orientation, max_width, max_height);
  Reduction rows(target);
  ColourSpace colour;
  if (!decoder->decode(rows.decode_at_least(), rows, colour)) return std::nullopt;
  if (!scaled_size_allowed(target, 1)) return StageResult{Stage::kScale, IL_INVALID_PARAM};
  return complete_thumbnail(rows.finish(), target, colour, header.orientation, path);
}

}  // namespace

StageResult finish_thumbnail(const DecodedImage& decoded, Size target, int orientation,
                             const std::string& path) {
  if (!scaled_size_allowed(target, 1)) return {Stage::kScale, IL_INVALID_PARAM};
  Reduction rows(target);
  rows.start({decoded.pixels.width, decoded.pixels.height}, decoded.pixels.channels);
  rows.add_rows(decoded.pixels);
  return complete_thumbnail(rows.finish(), target, decoded.colour, orientation, path);
}

StageResult run_image_stage(const void* data, unsigned long size,
                            std::uint32_t max_width, std::uint32_t max_height,
                            const std::string& path) {
  // Refused before any decoder: a hostile image never reaches one, nor
  // waits for or holds up the image work of other rows.
  const Preflight check = preflight_image(data, size);
  if (check.refused) return {Stage::kLoad, IL_ILLEGAL_FILE_VALUE};

  if (const DecoderEntry* entry = decoder_for(check.kind)) {
    const auto done = decode_apart(*entry, static_cast<const unsigned char*>(data), size, check,
                                   max_width, max_height, path);
    if (done) return *done;
    // Formats the image library does not read fail as illegal files; so do
    // files it must not see (a GIF whose later frames are too many).
    if (!entry->library_fallback || check.library_refusal != nullptr)
      return {Stage::kLoad, IL_ILLEGAL_FILE_VALUE};
  }
  std::optional<Reduction> rows;
  Size target{};
  const StageResult decoded =
      decode_with_library(data, size, check, max_width, max_height, rows, target);
  if (decoded.stage != Stage::kDone) return decoded;
  // Reduced the rest of the way outside the lock. The image library drops
  // what PNGs say of their colours; their chunks do not.
  const ColourSpace colour = check.kind == ImageKind::kPng
                                 ? png_colour_space(static_cast<const unsigned char*>(data), size)
                                 : ColourSpace{};
  return complete_thumbnail(rows->finish(), target, colour, check.orientation, path);
}

std::string stage_message(StageResult result, const std::string& path) {
  const std::string code = std::to_string(result.code);
  switch (result.stage) {
    case Stage::kLoad:
      return "Error loading the image for " + path + ". Err Code: " + code;
    case Stage::kScale:
      return "Error attempting to scale the image for " + path + ". Err Code: " + code;
    case Stage::kSave:
      return "Error saving the thumbnail for " + path + ". Err Code: " + code;
    case Stage::kDone:
      break;
  }
  return "File written as " + path;
}

}  // namespace quarn::thumb
