// One BLOB through the pre-flight check and, for a HEIF it passes, libheif
// outside the image library, then the steps after it (reduce or enlarge,
// write). The check must keep what the decoders allocate within the limits.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "decode/heif_decoder.h"
#include "decode/preflight.h"
#include "image_stage.h"
#include "pixels/reduction.h"
#include "write/jpeg_writer.h"

using namespace quarn::thumb;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // tmpfs, one file per fuzzing process, overwritten by every input.
  static const std::string path = "/dev/shm/quarn-fuzz-heif-" + std::to_string(getpid()) + ".jpg";
  const Preflight check = preflight_image(data, size);
  if (check.refused || check.kind != ImageKind::kHeif) return 0;
  const auto decoded = decode_heif(data, size);
  if (!decoded) return 0;
  const PixelView& p = decoded->pixels;
  if (p.width == 0 || p.height == 0 || p.width > kMaxImageSide || p.height > kMaxImageSide ||
      (p.channels != 3 && p.channels != 4) || p.stride < std::size_t{p.width} * p.channels)
    std::abort();
  const Thumbnail made =
      finish_thumbnail(*decoded, thumbnail_size({p.width, p.height}, 1, 64, 48), 1);
  if (made.result.stage == Stage::kDone) write_jpeg(made.pixels, path);
  return 0;
}
