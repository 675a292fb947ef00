// How a thumbnail's steps end: done, or the step that failed with the image
// library's error code (or one of this system's own), which the result
// text shows.
#pragma once

namespace quarn::thumb {

enum class Stage { kLoad, kScale, kSave, kDone };

struct StageResult {
  Stage stage;
  unsigned int code;  // the image library's error code on failure, or one below
  // Why, for the call's log line, where the code alone does not tell.
  const char* note = nullptr;
};

// Load failures of this system's own, apart from the image library's error
// codes (0x0500 to 0x05FF): the memory budget (common/memory_budget.h) and
// the time limit (common/deadline.h).
inline constexpr unsigned int kOverMemoryBudget = 2001;  // needs more than the whole budget
inline constexpr unsigned int kNoRoomInMemoryBudget = 2002;  // no room came within the wait
inline constexpr unsigned int kOverTimeLimit = 2003;  // decoding went on past the thumbnail-timeout
// A saving failure of tarvik_jpeg's: the JPEG is longer than a result may be.
inline constexpr unsigned int kLongerThanResultLimit = 2010;

}  // namespace quarn::thumb
