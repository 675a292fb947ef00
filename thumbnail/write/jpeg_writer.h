// The thumbnail's JPEG file, written with libjpeg-turbo itself, apart from
// the image library: any number of threads may write at once.
#pragma once

#include <string>

#include "pixels/raster.h"

namespace quarn::thumb {

// Every thumbnail is written at this quality.
constexpr int kJpegQuality = 90;

enum class WriteResult { kWritten, kCannotOpen, kWriteFailed, kEncodeFailed };

// Writes a grey or RGB image as a baseline JPEG of quality 90 with libjpeg's
// default 2x2 chroma subsampling, the image library's own settings, and
// replaces any file at the path only once the new one is complete
// (ReplacingFile): on any failure the path keeps what it held.
WriteResult write_jpeg(const Raster& image, const std::string& path);

}  // namespace quarn::thumb
