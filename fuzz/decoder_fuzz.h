// The body of the fuzz targets of the decoders of their own (PNG, GIF,
// TIFF, HEIF): one BLOB through the pre-flight check and, when it passes as
// the decoder's kind, its header, its plan and its rows into the reduction
// for a small and a larger box, and the reduced thumbnail turned upright. What comes out must
// have the size the header promised. A plan beyond kFuzzBudget is not
// decoded, as the memory budget would refuse it: what a decode takes
// beyond its plan shows as a finding of libFuzzer's -malloc_limit_mb.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "decode/decode_memory.h"
#include "decode/decoder.h"
#include "pixels/reduction.h"
#include "preflight_watch.h"

namespace quarn::thumb {

// The memory budget the fuzz targets decode within (scripts/fuzz.sh gives
// them -malloc_limit_mb=256).
inline constexpr std::uint64_t kFuzzBudget = std::uint64_t{192} << 20;

inline int fuzz_decoder(ImageKind kind, const std::uint8_t* data, std::size_t size) {
  const Preflight check = watched_preflight(data, size);
  if (check.refused || check.kind != kind) return 0;
  const DecoderEntry* entry = decoder_for(kind);
  if (entry == nullptr) std::abort();
  for (const Size box : {Size{7, 5}, Size{64, 48}}) {
    const auto decoder = entry->open(data, size, check);
    ImageHeader header{{check.width, check.height}, check.orientation};
    if (!decoder || !decoder->read_header(header)) return 0;
    if (header.orientation < 1 || header.orientation > 8 || header.size.width == 0 ||
        header.size.height == 0)
      std::abort();
    const Size target = thumbnail_size(header.size, header.orientation, box.width, box.height);
    Reduction rows(target);
    const DecodePlan plan = decoder->plan(target, rows.decode_at_least());
    if (plan.size.width == 0 || plan.size.height == 0) std::abort();
    if (decode_memory(plan, target) > kFuzzBudget) return 0;
    ColourSpace colour;
    if (!decoder->decode(rows.decode_at_least(), rows, colour)) continue;
    const Raster image = rows.finish();
    // The thumbnail, or (when it is larger) the image for enlarging.
    const bool reduced = image.width == target.width && image.height == target.height;
    const bool whole = image.width == plan.size.width && image.height == plan.size.height;
    if ((!reduced && !whole) || (image.channels != 1 && image.channels != 3) ||
        image.samples.size() != std::size_t{image.width} * image.height * image.channels)
      std::abort();
    orient(image, header.orientation);
  }
  return 0;
}

}  // namespace quarn::thumb
