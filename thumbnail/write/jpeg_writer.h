// The thumbnail's JPEG file, written with libjpeg-turbo itself, apart from
// the image library: any number of threads may write at once.
#pragma once

#include <string>

#include "pixels/raster.h"

namespace quarn::thumb {

// Every thumbnail is written at this quality.
constexpr int kJpegQuality = 90;

enum class WriteResult { kWritten, kCannotOpen, kWriteFailed, kEncodeFailed };

// How colour is sampled: in full (4:4:4), what thumbnails are written with,
// or halved both ways (4:2:0, libjpeg's default), which the benchmark
// weighs against it.
enum class Chroma { kFull, kHalved };

// Writes a grey or RGB image as a baseline JPEG of quality 90, its colour
// sampled in full: at this quality halved chroma shows as fringes on the
// coloured edges of small pictures. Replaces any file at the path only once
// the new one is complete (ReplacingFile): on any failure the path keeps
// what it held.
WriteResult write_jpeg(const Raster& image, const std::string& path, Chroma chroma = Chroma::kFull);

}  // namespace quarn::thumb
