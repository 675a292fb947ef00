// When a call's image work must stop (the thumbnail-timeout setting). The
// decoders that let us look in between rows, scans or pieces of data look
// here; libheif's HEVC and AV1 decoding and the image library's loaders
// cannot be stopped, and their work is bounded by the pre-flight's limits
// on the pixels they may make instead.
#pragma once

#include <chrono>

namespace quarn::thumb {

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  Deadline() = default;  // never
  explicit Deadline(Clock::time_point at) : at_(at), set_(true) {}

  // One clock reading (some 20 ns): cheap enough for every row.
  bool passed() const { return set_ && Clock::now() >= at_; }

 private:
  Clock::time_point at_{};
  bool set_ = false;
};

}  // namespace quarn::thumb
