// Thumbnail logic behind the tarvik entry points, callable from unit tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/image_limits.h"
#include "pixels/raster.h"
#include "pixels/reduction.h"

namespace quarn::thumb {

// Directory (from the environment, may be unset) plus the base name of the
// caller's file name, with ".jpg" appended unless it already ends so in any
// letter case. The name is cut at its first NUL byte first. Nothing when no
// base name is left, or only "." or "..".
std::optional<std::string> build_path(const std::optional<std::string>& directory,
                                      std::string_view file_name);

// A maximum from SQL: low 32 bits, signed, taken as its magnitude.
std::uint32_t box_limit(long long value);

enum class Stage { kLoad, kScale, kSave, kDone };

struct StageResult {
  Stage stage;
  unsigned int code;  // the image library's error code on failure
};

// Decodes the image, fits it into the box and writes a JPEG to path. JPEG,
// PNG, GIF, TIFF, WebP and HEIF files go to their own decoders (decoder.h),
// outside the image library's lock; other images, and the JPEG, PNG, GIF and
// TIFF files those refuse, are decoded by the image library under its
// process-wide lock.
StageResult run_image_stage(const void* data, unsigned long size,
                            std::uint32_t max_width, std::uint32_t max_height,
                            const std::string& path);

// The steps after decoding, for pixels decoded whole outside the image
// library's lock: reduced (area average by whole blocks, then Lanczos-3; or
// enlarged by the image library), converted to sRGB from its colour space,
// turned upright, written as JPEG. `target` is the thumbnail's size in the
// stored orientation (thumbnail_size).
StageResult finish_thumbnail(const DecodedImage& decoded, Size target, int orientation,
                             const std::string& path);

// The status text for an outcome of the image stage.
std::string stage_message(StageResult result, const std::string& path);

}  // namespace quarn::thumb
