// One BLOB through the pre-flight check and, for a WebP it passes, libwebp
// outside the image library: reduced while decoding into a small and a
// larger box, and at full size when that is small enough to be quick, then
// the steps after it (reduce or enlarge, orient, write).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "decode/preflight.h"
#include "image_stage.h"
#include "pixels/reduction.h"
#include "write/jpeg_writer.h"
#include "decode/webp_decoder.h"
#include "preflight_watch.h"

using namespace quarn::thumb;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // tmpfs, one file per fuzzing process, overwritten by every input.
  static const std::string path = "/dev/shm/quarn-fuzz-webp-" + std::to_string(getpid()) + ".jpg";
  const Preflight check = watched_preflight(data, size);
  if (check.refused || check.kind != ImageKind::kWebp) return 0;
  if (check.orientation < 1 || check.orientation > 8) std::abort();
  const bool small = std::uint64_t{check.width} * check.height <= (1u << 22);
  for (const Size box : {Size{7, 5}, Size{64, 48}, Size{check.width, check.height}}) {
    if (!small && box.width == check.width) continue;
    const Size target = thumbnail_size({check.width, check.height}, check.orientation, box.width,
                                       box.height);
    const auto decoded = decode_webp(data, size, target);
    if (!decoded) continue;
    const PixelView& p = decoded->pixels;
    // Reduced to the thumbnail, or the full canvas.
    const bool reduced = p.width == target.width && p.height == target.height;
    const bool full = p.width == check.width && p.height == check.height;
    if ((!reduced && !full) || (p.channels != 3 && p.channels != 4)) std::abort();
    const Thumbnail made = finish_thumbnail(*decoded, target, check.orientation);
    if (made.result.stage == Stage::kDone) write_jpeg(made.pixels, path);
  }
  return 0;
}
