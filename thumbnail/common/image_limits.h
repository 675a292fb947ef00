// How large an image may be, decoded or scaled: beyond these the image
// library's 32-bit buffer sizes overflow, and the server's memory is at risk.
#pragma once

#include <cstdint>

namespace quarn::thumb {

// Largest width or height.
constexpr std::uint32_t kMaxImageSide = 32768;
// Largest width x height: 100 million pixels, which take 300 MB as 8-bit
// RGB, 400 MB as RGBA, 800 MB as 16-bit RGBA.
constexpr std::uint64_t kMaxImagePixels = 100000000;

// Most scans of a JPEG. Encoders write about 10 (libjpeg's progressive
// script has 10, Photoshop's 3 to 5); every scan walks every block of the
// picture again, so one of a few bytes costs as much as a photo's. At this
// limit a hostile file costs about twice an honest progressive JPEG of its
// size (make bench).
constexpr unsigned kMaxJpegScans = 100;
// Why such a file is refused, for the call's log line.
inline constexpr char kTooManyScans[] = "a JPEG of more than 100 scans, more than any encoder writes";

// Most bytes the APP2 segments of a JPEG (its ICC profile's chunks) may
// take once libjpeg holds them: profiles of a few megabytes exist, and each
// segment, even an empty one, costs libjpeg some 100 bytes of its own.
// Beyond it the profile is not read and the image shown untagged.
constexpr std::uint64_t kMaxJpegProfileBytes = std::uint64_t{16} << 20;

}  // namespace quarn::thumb
