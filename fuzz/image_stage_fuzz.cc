// One BLOB through the pre-flight check and, when it passes, the real
// load / scale / save path, as one row of tarvik would run it.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "thumbnail.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // tmpfs, one file per fuzzing process, overwritten by every input.
  static const std::string path = "/dev/shm/quarn-fuzz-" + std::to_string(getpid()) + ".jpg";
  quarn::thumb::run_image_stage(data, size, 64, 48, path);
  return 0;
}
