// How a thumbnail's steps end: done, or the step that failed with the image
// library's error code, which the result text shows.
#pragma once

namespace quarn::thumb {

enum class Stage { kLoad, kScale, kSave, kDone };

struct StageResult {
  Stage stage;
  unsigned int code;  // the image library's error code on failure
};

}  // namespace quarn::thumb
