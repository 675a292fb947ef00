// What one thumbnail's image work takes at its peak, reckoned before it
// decodes, for the memory budget (common/memory_budget.h): what its
// decoder's plan says it will decode and hold, the reduction's rows and the
// thumbnail's own pixels. Checked per format against the measured peak of a
// fresh process (tests/thumbnail/memory_test.cc): never below it.
#pragma once

#include <cstdint>

#include "decode/decoder.h"
#include "decode/preflight.h"
#include "pixels/raster.h"

namespace quarn::thumb {

// A decoder of its own, from its plan; `target` is the thumbnail's size.
std::uint64_t decode_memory(const DecodePlan& plan, Size target);

// The image library, which decodes as it reads the header: from the
// pre-flight alone, at the deepest layout the format may hold.
std::uint64_t library_decode_memory(const Preflight& check, Size target);

// Whole megabytes, rounded up, for messages.
inline std::uint64_t megabytes(std::uint64_t bytes) { return (bytes + (1u << 20) - 1) >> 20; }

}  // namespace quarn::thumb
