// WebP decoding with libwebp, apart from the image library: any number of
// threads may run it at once.
#pragma once

#include <cstddef>
#include <optional>

#include "common/deadline.h"
#include "pixels/raster.h"

namespace quarn::thumb {

// Decodes a WebP the pre-flight check accepted, to RGB or RGBA. A still
// image whose thumbnail `target` is smaller in both dimensions is reduced
// by libwebp's rescaler as its rows are decoded: an area average within 1
// of reduce_area's, without the full-size pixels. An animation gives its
// first frame, at full size, on the transparent canvas. The ICCP chunk's
// profile is its colour space. Nothing when libwebp cannot decode it, and
// nothing past the deadline, which libwebp's incremental decoder lets us
// look at between pieces of the data: `late` then says so.
std::optional<DecodedImage> decode_webp(const unsigned char* data, std::size_t size, Size target,
                                        const Deadline& deadline = {}, bool* late = nullptr);

// The bytes of a WebP file up to the end of its first image (a VP8, VP8L
// or ANMF chunk): all that its ICC profile and first frame need. libwebp's
// demuxer, given all, keeps a record of every chunk: some 5 bytes of memory
// per byte of a file of empty chunks.
std::size_t first_image_end(const unsigned char* data, std::size_t size);

}  // namespace quarn::thumb
