// One BLOB through the pre-flight check and, when it passes, the real
// load / scale / save path, as one row of tarvik would run it: within a
// memory budget of 192 MB (scripts/fuzz.sh gives -malloc_limit_mb=256, so
// a decode that takes far more than it reserved is a finding) and a time
// limit of a second (a decode that can be stopped and runs past
// libFuzzer's -timeout is one too).
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "image_stage.h"
#include "preflight_watch.h"
#include "write/jpeg_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // tmpfs, one file per fuzzing process, overwritten by every input.
  static const std::string path = "/dev/shm/quarn-fuzz-" + std::to_string(getpid()) + ".jpg";
  quarn::thumb::watched_preflight(data, size);
  const quarn::thumb::Deadline deadline(quarn::thumb::Deadline::Clock::now() + std::chrono::seconds(1));
  const quarn::thumb::Thumbnail made =
      quarn::thumb::run_image_stage(data, size, 64, 48, {std::uint64_t{192} << 20}, deadline);
  if (made.result.stage == quarn::thumb::Stage::kDone) quarn::thumb::write_jpeg(made.pixels, path);
  return 0;
}
