// One BLOB through the pre-flight check and, when it passes, the real
// load / scale / save path, as one row of tarvik would run it.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "image_stage.h"
#include "write/jpeg_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // tmpfs, one file per fuzzing process, overwritten by every input.
  static const std::string path = "/dev/shm/quarn-fuzz-" + std::to_string(getpid()) + ".jpg";
  const quarn::thumb::Thumbnail made = quarn::thumb::run_image_stage(data, size, 64, 48, {std::uint64_t{1} << 40});
  if (made.result.stage == quarn::thumb::Stage::kDone) quarn::thumb::write_jpeg(made.pixels, path);
  return 0;
}
