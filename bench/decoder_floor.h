// Each format's decoder alone, doing the work tarvik has it do for one
// thumbnail and nothing else: the floor tarvik's time is measured against.
// What to decode (the DCT scale, libwebp's scaled size, the HEIF picture or
// preview) comes from tarvik's own decoder (ImageDecoder::plan).
#pragma once

#include <optional>
#include <string>

#include "decode/decoder.h"

namespace quarn::bench {

// What tarvik's decoder will decode of the image for a box of box x box:
// the format, its plan and the thumbnail's size; nothing when no decoder of
// its own takes it.
struct Work {
  thumb::ImageKind kind;
  thumb::DecodePlan plan;
  thumb::Size target;
};
std::optional<Work> planned_work(const std::string& bytes, unsigned box);

// Decodes the image as `work` says with the format's library alone:
// libjpeg-turbo at the DCT scale, every row with libpng, the first frame
// with giflib, every strip or tile with libtiff, libwebp to the scaled size
// (`webp_threads`: with its filtering thread), the HEIF picture or preview
// with libheif, the first frame of a JPEG XL with libjxl (one thread, 8-bit
// samples into a buffer of the whole image). false when the library fails.
// libheif decodes a grid's tiles on `heif_threads` threads of its own (0: one
// after another on this thread).
bool decode_floor(const std::string& bytes, const Work& work, bool webp_threads = false, int heif_threads = 0);

// libjxl's progressive stage at 1:8 (DC), flushed once its data is read:
// what a decoder at a reduced resolution could take instead of the whole
// first frame. The input is given 64 KB at a time, so that libjxl stops
// there. false when the file has no such stage or libjxl fails.
bool jxl_dc_stage(const std::string& bytes);

}  // namespace quarn::bench
