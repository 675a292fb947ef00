// The image library, DevIL with ILU: the decoder of the formats only it
// reads and of the files the other decoders refuse, and the enlarging of
// thumbnails larger than their image. It keeps one bound image, one stack
// of pending errors and its settings for the whole process, so each of
// these holds a lock of its own, which nothing else takes.
#pragma once

#include <cstddef>
#include <memory>

#include "common/stage_result.h"
#include "decode/decoder.h"
#include "pixels/raster.h"

namespace quarn::thumb {

// Decodes any format the image library reads, at full size, holding its
// lock from the header until the last row is handed on. It never refuses a
// file: a failure is final, with the library's error code (a load failure,
// or a scaling failure where it cannot make 8-bit pixels of the image).
std::unique_ptr<ImageDecoder> open_devil(const unsigned char* data, std::size_t size,
                                         const Preflight& check);

// Enlarges a grey or RGB image to `target` with the library's B-spline
// filter, under its lock. It also takes a size of 0, and what it makes of
// that stays its answer: a scaling failure with its code.
StageResult enlarge_with_library(Raster& image, Size target);

}  // namespace quarn::thumb
