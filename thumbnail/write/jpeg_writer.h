// The thumbnail's JPEG, encoded with libjpeg-turbo itself, apart from the
// image library: any number of threads may encode at once. It is encoded
// into memory, and from there written into a file (tarvik) or handed to the
// server as the row's value (tarvik_jpeg): the same bytes either way.
#pragma once

#include <cstddef>
#include <string>

#include "pixels/raster.h"

namespace quarn::thumb {

// Every thumbnail is written at this quality.
constexpr int kJpegQuality = 90;

// How colour is sampled: in full (4:4:4), what thumbnails are written with,
// or halved both ways (4:2:0, libjpeg's default), which the benchmark
// weighs against it.
enum class Chroma { kFull, kHalved };

enum class EncodeResult { kEncoded, kTooLarge, kFailed };

// Encodes a grey or RGB image as a baseline JPEG of quality 90 into `out`,
// whose memory is reused (a statement's rows share one buffer), its colour
// sampled in full: at this quality halved chroma shows as fringes on the
// coloured edges of small pictures. kTooLarge when the JPEG would be longer
// than `limit` bytes; `out` is then empty, as on any failure. Throws
// std::bad_alloc when `out` cannot grow.
EncodeResult encode_jpeg(const Raster& image, std::string& out, std::size_t limit,
                         Chroma chroma = Chroma::kFull);

enum class WriteResult { kWritten, kCannotOpen, kWriteFailed, kEncodeFailed };

// The JPEG of encode_jpeg written to the path. Replaces any file at the
// path only once the new one is complete (ReplacingFile): on any failure
// the path keeps what it held.
WriteResult write_jpeg(const Raster& image, const std::string& path, Chroma chroma = Chroma::kFull);

}  // namespace quarn::thumb
