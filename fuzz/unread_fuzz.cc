// What the library does with the formats the pre-flight check refuses
// unread, were they let through: the same load / scale / save path, without
// the check, over inputs of those formats only. Its findings are why they
// are refused.
#include <IL/il.h>
#include <IL/ilu.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "decode/preflight.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (quarn::thumb::detect_kind(data, size) != quarn::thumb::ImageKind::kUnread) return -1;
  static const std::string path = "/dev/shm/quarn-fuzz-" + std::to_string(getpid()) + ".jpg";
  ilInit();
  ilEnable(IL_FILE_OVERWRITE);
  ILuint name = 0;
  ilGenImages(1, &name);
  ilBindImage(name);
  if (ilLoadL(IL_TYPE_UNKNOWN, data, static_cast<ILuint>(size))) {
    if (ilGetInteger(IL_IMAGE_FORMAT) == IL_COLOUR_INDEX) ilConvertImage(IL_RGB, IL_UNSIGNED_BYTE);
    if (iluScale(64, 48, static_cast<ILuint>(ilGetInteger(IL_IMAGE_DEPTH)))) ilSave(IL_JPG, path.c_str());
  }
  ilDeleteImages(1, &name);
  while (ilGetError() != IL_NO_ERROR) {
  }
  return 0;
}
