// The image stage of a tarvik call: from the image's bytes to the
// thumbnail's pixels, through the pre-flight check, the format's decoder,
// the reduction, the colours and the orientation. It knows neither the
// path nor the file: the call writes what it gives.
#pragma once

#include <chrono>
#include <cstdint>

#include "common/deadline.h"
#include "common/memory_budget.h"
#include "common/stage_result.h"
#include "pixels/raster.h"

namespace quarn::thumb {

// What the image stage gives: the thumbnail's pixels, upright, sRGB, grey
// or RGB, ready to be written (`result` kDone); or the step that failed.
struct Thumbnail {
  StageResult result;
  Raster pixels;
  // What the decoding reserved, or needed when the budget refused it
  // (kOverMemoryBudget, kNoRoomInMemoryBudget); 0 when nothing was decoded.
  std::uint64_t memory = 0;
};

// The memory the image stage's decoding may take and where it is counted.
struct MemoryAllowance {
  std::uint64_t limit;  // bytes: the call's thumbnail-memory setting
  MemoryBudget* budget = &decode_budget();
  std::chrono::milliseconds wait = kBudgetWait;
};

// Decodes the image and fits it into the box. JPEG, PNG, GIF, TIFF, WebP
// and HEIF files go to their own decoders (decode/decoder.h), outside the
// image library's lock; other images, and the JPEG, PNG, GIF and TIFF files
// those refuse, are decoded by the image library under its process-wide
// lock (decode/devil_decoder.h). Before it decodes, each decoding reserves
// what it takes at its peak (decode/decode_memory.h) within `memory`, and
// gives it back when done. Past `deadline` the decoders that can be stopped
// stop, and the stage fails with kOverTimeLimit. A decoder that can split a
// picture's work (a HEIF grid's tiles) does so over up to `threads` threads.
Thumbnail run_image_stage(const void* data, unsigned long size, std::uint32_t max_width,
                          std::uint32_t max_height, const MemoryAllowance& memory,
                          const Deadline& deadline = {}, unsigned threads = 1);

// The threads of the thumbnail-threads setting: 0, one per core, at most 4.
unsigned decode_threads(long setting);

// The steps after decoding, for pixels decoded whole outside the image
// library's lock: reduced (area average by whole blocks, then Lanczos-3; or
// enlarged by the image library), converted to sRGB from its colour space,
// turned upright. `target` is the thumbnail's size in the stored
// orientation (thumbnail_size).
Thumbnail finish_thumbnail(const DecodedImage& decoded, Size target, int orientation);

}  // namespace quarn::thumb
