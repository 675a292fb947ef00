#include "thumbnail.h"

#include "env.h"
#include "preflight.h"

#include <IL/il.h>
#include <IL/ilu.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <mutex>

namespace quarn::thumb {

std::string build_path(const std::optional<std::string>& directory,
                       std::string_view file_name) {
  std::string path = directory.value_or(std::string());
  if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';

  // A NUL would end the path handed to the image library after the suffix
  // check, so "x.php\0y" would be written without ".jpg".
  const auto nul = file_name.find('\0');
  if (nul != std::string_view::npos) file_name = file_name.substr(0, nul);
  const auto separator = file_name.find_last_of("/\\");
  if (separator != std::string_view::npos) file_name = file_name.substr(separator + 1);
  path.append(file_name.data(), file_name.size());

  bool has_suffix = false;
  if (path.size() >= 4) {
    static const char kSuffix[] = ".jpg";
    has_suffix = true;
    for (std::size_t i = 0; i < 4; ++i) {
      char c = path[path.size() - 4 + i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != kSuffix[i]) has_suffix = false;
    }
  }
  if (!has_suffix) path += ".jpg";
  return path;
}

std::uint32_t box_limit(long long value) {
  const auto low = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
  const std::int64_t wide = low;
  return static_cast<std::uint32_t>(wide < 0 ? -wide : wide);
}

float round_half_down(float x) {
  const float fraction = std::fmod(x, 1.0f);
  return fraction > 0.5f ? std::ceil(x) : std::floor(x);
}

namespace {

// The library keeps a stack of pending errors for the whole process.
void clear_pending_errors() {
  while (ilGetError() != IL_NO_ERROR) {
  }
}

// A whole JPEG ends with the EOI marker; entropy-coded data never holds
// FF D9, so a file cut short ends otherwise.
bool jpeg_file_complete(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  unsigned char tail[2] = {0, 0};
  const bool read = std::fseek(file, -2, SEEK_END) == 0 && std::fread(tail, 1, 2, file) == 2;
  std::fclose(file);
  return read && tail[0] == 0xFF && tail[1] == 0xD9;
}

// Truncates like a float-to-integer conversion, but defined for any value:
// negative or NaN gives 0, beyond 32 bits saturates (the size check refuses it).
std::uint32_t truncate_to_u32(float x) {
  if (!(x > 0.0f)) return 0;
  if (x >= 4294967296.0f) return std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(x);
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

// The JPEG writer passes anything but 8-bit RGB or luminance through its own
// conversion; converting here first means the encoder, whose error handler
// ends the process, only ever sees the two layouts it takes.
bool prepare_for_jpeg() {
  const ILint format = ilGetInteger(IL_IMAGE_FORMAT);
  const ILint type = ilGetInteger(IL_IMAGE_TYPE);
  const ILint bytes = ilGetInteger(IL_IMAGE_BYTES_PER_PIXEL);
  if (type == IL_UNSIGNED_BYTE &&
      ((format == IL_RGB && bytes == 3) || (format == IL_LUMINANCE && bytes == 1)))
    return true;
  const bool grey = format == IL_LUMINANCE || format == IL_LUMINANCE_ALPHA || format == IL_ALPHA;
  return ilConvertImage(grey ? IL_LUMINANCE : IL_RGB, IL_UNSIGNED_BYTE) == IL_TRUE;
}

}  // namespace

Size fit_size(std::uint32_t width, std::uint32_t height, std::uint32_t max_width,
              std::uint32_t max_height) {
  const float w = static_cast<float>(width);
  const float h = static_cast<float>(height);
  const float ratio_w = static_cast<float>(max_width) / w;
  const float ratio_h = static_cast<float>(max_height) / h;
  const float scale = ratio_w > ratio_h ? ratio_h : ratio_w;
  return Size{truncate_to_u32(round_half_down(w * scale)),
              truncate_to_u32(round_half_down(h * scale))};
}

bool scaled_size_allowed(Size size, std::uint32_t depth) {
  const std::uint64_t pixels = std::uint64_t{size.width} * size.height;
  return size.width <= kMaxScaledSide && size.height <= kMaxScaledSide &&
         depth <= kMaxScaledSide && pixels * (depth == 0 ? 1 : depth) <= kMaxScaledPixels;
}

StageResult run_image_stage(const void* data, unsigned long size,
                            std::uint32_t max_width, std::uint32_t max_height,
                            const std::string& path) {
  // Refused before the lock: a hostile image never waits for, nor holds up,
  // the image work of other rows.
  const Preflight check = preflight_image(data, size);
  if (check.refused) return {Stage::kLoad, IL_ILLEGAL_FILE_VALUE};

  // The image library keeps one bound image, one pending error and its
  // settings for the whole process: one row's image work at a time.
  std::lock_guard<std::mutex> guard(image_library_lock());
  // The codecs read the environment (libjpeg: JPEGMEM) while a reload may
  // be moving it. Taken after the image lock so a waiting reload is never
  // held up by rows that queue for the image library.
  EnvReadHold environment;
  ilInit();
  iluImageParameter(ILU_FILTER, ILU_SCALE_BSPLINE);
  ilSetInteger(IL_JPG_QUALITY, 90);
  ilEnable(IL_FILE_OVERWRITE);
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
  if (!ilLoadL(IL_TYPE_UNKNOWN, data, static_cast<ILuint>(size))) {
    return {Stage::kLoad, static_cast<unsigned int>(ilGetError())};
  }

  const auto height = static_cast<std::uint32_t>(ilGetInteger(IL_IMAGE_HEIGHT));
  const auto width = static_cast<std::uint32_t>(ilGetInteger(IL_IMAGE_WIDTH));
  const auto depth = static_cast<std::uint32_t>(ilGetInteger(IL_IMAGE_DEPTH));
  // Some corrupt files decode to an image whose pixel size does not match
  // its format (a 16-bit grey Targa: luminance with 2 bytes per pixel); the
  // JPEG encoder then ends the process with "Bogus input colorspace".
  if (!consistent_layout()) {
    clear_pending_errors();
    return {Stage::kLoad, IL_ILLEGAL_FILE_VALUE};
  }
  // The scaler refuses colour-indexed images (most GIFs, palette PNGs).
  if (!expand_palette()) {
    return {Stage::kScale, static_cast<unsigned int>(ilGetError())};
  }
  const Size target = fit_size(width, height, max_width, max_height);
  // A huge box would make the scaler overflow its buffer size and write out
  // of bounds; refuse it as a parameter the library cannot take.
  if (!scaled_size_allowed(target, depth)) {
    ilGetError();  // drop anything pending so the next call starts clean
    return {Stage::kScale, IL_INVALID_PARAM};
  }
  if (!iluScale(target.width, target.height, depth)) {
    return {Stage::kScale, static_cast<unsigned int>(ilGetError())};
  }
  if (!prepare_for_jpeg()) {
    return {Stage::kSave, static_cast<unsigned int>(ilGetError())};
  }
  clear_pending_errors();
  if (!ilSave(IL_JPG, path.c_str())) {
    return {Stage::kSave, static_cast<unsigned int>(ilGetError())};
  }
  // The writer reports success for a file it could not write whole (a full
  // disk, a file size limit): it leaves a write error pending, or, when the
  // tail failed only as the file was closed, nothing at all. A cut-short
  // thumbnail is removed rather than left to be served.
  const ILenum pending = ilGetError();
  if (pending != IL_NO_ERROR || !jpeg_file_complete(path)) {
    clear_pending_errors();
    std::remove(path.c_str());
    return {Stage::kSave, pending != IL_NO_ERROR ? static_cast<unsigned int>(pending)
                                                 : static_cast<unsigned int>(IL_FILE_WRITE_ERROR)};
  }
  return {Stage::kDone, 0};
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
