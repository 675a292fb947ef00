// The pre-flight check must read the header of the very format the image
// library will decode: its detection is compared with the library's.
#include <IL/il.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "decode/preflight.h"

namespace {

using quarn::thumb::ImageKind;

ILenum library_type(ImageKind kind) {
  switch (kind) {
    case ImageKind::kJpeg: return IL_JPG;
    case ImageKind::kPng: return IL_PNG;
    case ImageKind::kBmp: return IL_BMP;
    case ImageKind::kGif: return IL_GIF;
    case ImageKind::kPcx: return IL_PCX;
    case ImageKind::kPnm: return IL_PNM;
    case ImageKind::kPsd: return IL_PSD;
    case ImageKind::kTiff: return IL_TIF;
    case ImageKind::kTga: return IL_TGA;
    default: return IL_TYPE_UNKNOWN;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool initialised = (ilInit(), true);
  (void)initialised;
  const ILenum library = ilDetermineTypeL(data, static_cast<ILuint>(size));
  while (ilGetError() != IL_NO_ERROR) {
  }
  if (library == IL_TYPE_UNKNOWN) return 0;
  const ImageKind kind = quarn::thumb::detect_kind(data, size);
  // Safe: the same format; a refused unread one; or Targa, whose size the
  // pre-flight checks whenever its Targa test matches as well. An unknown
  // kind is safe too (the library is asked again under the lock), but it is
  // reported: such an image takes the lock before it is refused.
  // WebP and HEIF never reach the library, whatever it would take them for.
  if (kind == ImageKind::kUnread || kind == ImageKind::kWebp || kind == ImageKind::kHeif ||
      library_type(kind) == library)
    return 0;
  if (library == IL_TGA && kind != ImageKind::kUnknown && quarn::thumb::looks_like_tga(data, size))
    return 0;
  std::fprintf(stderr, "detection differs: library 0x%04x, pre-flight %s\n", library,
               quarn::thumb::kind_name(kind));
  std::abort();
}
