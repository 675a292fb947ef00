#include "decode/decode_memory.h"

#include "pixels/reduction.h"

namespace quarn::thumb {
namespace {

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

// What every image's work takes whatever its size: the codecs' contexts
// and tables, a colour transform, the writer's buffers.
constexpr std::uint64_t kFixed = 4 * kMiB;

std::uint64_t pixels(Size size) { return std::uint64_t{size.width} * size.height; }

// The reduction's rows and what the steps after it hold: the thumbnail, the
// image library's copies while it enlarges one, the turned copy. A target
// beyond the limits is never made.
std::uint64_t after_decoding(Size decoded, Size target) {
  if (!scaled_size_allowed(target, 1)) target = {0, 0};
  // Rows of sums across the decoded width; the Lanczos window and weights
  // across the thumbnail's.
  std::uint64_t bytes = std::uint64_t{decoded.width} * 64 +
                        (std::uint64_t{target.width} + target.height) * 512;
  // A thumbnail larger than the image: the image is kept whole to be enlarged.
  if (target.width > decoded.width || target.height > decoded.height) bytes += pixels(decoded) * 3;
  return bytes + pixels(target) * 16;
}

}  // namespace

std::uint64_t decode_memory(const DecodePlan& plan, Size target) {
  // Pixels held whole: up to RGBA, 4 bytes each.
  const std::uint64_t held = plan.whole ? pixels(plan.size) * 4 : 0;
  return kFixed + plan.codec_bytes + held + after_decoding(plan.size, target);
}

std::uint64_t library_decode_memory(const Preflight& check, Size target) {
  const Size size{check.width, check.height};
  // Loaded as stored where the header told (else up to RGBA, of 16-bit
  // samples in a TIFF), with as much again for the loaders' own buffers
  // (planes, rows turned over, libtiff's RGBA) and, unless it is 8-bit RGB
  // or RGBA already, a copy of 8-bit RGBA.
  std::uint64_t stored = check.library_bytes;
  if (stored == 0) stored = check.kind == ImageKind::kTiff ? 8 : 4;
  const std::uint64_t per_pixel = stored * 2 + (stored == 3 || stored == 4 ? 0 : 4);
  const std::uint64_t loaded = check.library_pixels != 0 ? check.library_pixels : pixels(size);
  return kFixed + check.held_bytes + loaded * per_pixel + after_decoding(size, target);
}

}  // namespace quarn::thumb
