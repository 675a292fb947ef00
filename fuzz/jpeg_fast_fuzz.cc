// One BLOB through the pre-flight check and, for a JPEG it passes, the
// decoder that runs outside the image library, at a small and a larger
// scale, then the steps after it (reduce or enlarge, orient, write).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "decode/jpeg_decoder.h"
#include "decode/preflight.h"
#include "image_stage.h"
#include "pixels/reduction.h"
#include "preflight_watch.h"
#include "write/jpeg_writer.h"

using namespace quarn::thumb;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // tmpfs, one file per fuzzing process, overwritten by every input.
  static const std::string path = "/dev/shm/quarn-fuzz-fast-" + std::to_string(getpid()) + ".jpg";
  const Preflight check = watched_preflight(data, size);
  if (check.refused || check.kind != ImageKind::kJpeg) return 0;
  if (check.orientation < 1 || check.orientation > 8) std::abort();
  for (const Size box : {Size{7, 5}, Size{64, 48}}) {
    const Size target = thumbnail_size({check.width, check.height}, check.orientation, box.width,
                                       box.height);
    const auto decoded = decode_jpeg(data, size, target);
    if (!decoded) continue;
    // The scale chosen covers the thumbnail, or is the full size.
    const PixelView& p = decoded->pixels;
    const bool covers = p.width >= target.width && p.height >= target.height;
    const bool full = p.width == check.width && p.height == check.height;
    if ((!covers && !full) || (p.channels != 1 && p.channels != 3) || p.stride != 0 || p.bottom_up)
      std::abort();
    const Thumbnail made = finish_thumbnail(*decoded, target, check.orientation);
    if (made.result.stage == Stage::kDone) write_jpeg(made.pixels, path);
  }
  return 0;
}
