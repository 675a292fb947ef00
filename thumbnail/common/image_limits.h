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

}  // namespace quarn::thumb
