#include "jpeg_call.h"

#include <IL/il.h>

#include "image_stage.h"
#include "settings_file.h"
#include "tarvik_status.h"
#include "thumbnail_call.h"
#include "write/jpeg_writer.h"

namespace quarn::thumb {

const char kJpegArgCountMessage[] = "TARVIK_JPEG() requires 3 arguments";
const char kJpegArgTypeMessage[] =
    "TARVIK_JPEG() requires a BLOB, an integer maximum width, and an integer maximum height";

const char* check_jpeg_arguments(UDF_ARGS& args) {
  if (args.arg_count != 3) return kJpegArgCountMessage;
  if (args.arg_type[0] != STRING_RESULT || args.arg_type[1] != INT_RESULT ||
      args.arg_type[2] != INT_RESULT)
    return kJpegArgTypeMessage;
  for (unsigned i = 0; i < 3; ++i) args.maybe_null[i] = 1;
  return nullptr;
}

namespace {

// NULL, and tarvik's line for the step that failed: without a path, so
// every row that fails so is of one kind.
Outcome failed(StageResult result, const std::string& note = {}) {
  std::string kind = stage_message(result, "");
  return Outcome::null_failure(kind + note).repeat_as(std::move(kind));
}

}  // namespace

std::optional<Outcome> run_jpeg_call(const UDF_ARGS& args, const SettingsSnapshot& settings,
                                     std::string& jpeg) noexcept {
  try {
    jpeg.clear();
    // A row without an image has no thumbnail: NULL, as SQL functions
    // answer NULL, and no line for it.
    if (args.args[0] == nullptr) return Outcome::null();
    if (args.args[1] == nullptr || args.args[2] == nullptr)
      return Outcome::null_failure("Error: no maximum width or height given").repeat_as("no maximum");

    const LimitedStage stage = run_limited_stage(args, 1, settings);
    if (stage.thumbnail.result.stage != Stage::kDone) return failed(stage.thumbnail.result, stage.note);
    switch (encode_jpeg(stage.thumbnail.pixels, jpeg, kMaxJpegResult)) {
      case EncodeResult::kEncoded: return std::nullopt;
      case EncodeResult::kTooLarge:
        return failed({Stage::kSave, kLongerThanResultLimit},
                      " (the JPEG is longer than " + std::to_string(kMaxJpegResult) +
                          " bytes, the most a tarvik_jpeg result may be)");
      case EncodeResult::kFailed: break;
    }
    return failed({Stage::kSave, IL_LIB_JPEG_ERROR});
  } catch (...) {
    return Outcome::exception();
  }
}

char* answer_jpeg(JpegStatement* statement, const UDF_ARGS& args, char* result,
                  unsigned long* length, char* is_null, char* error) noexcept {
  try {
    // Without its state (init ran out of memory) a call has nowhere to keep
    // its value.
    if (statement == nullptr) {
      count_jpeg_call(JpegFate::kFailed);
      return deliver_exception(kJpegConvention, result, length, is_null, error);
    }
    const std::optional<Outcome> failure =
        run_jpeg_call(args, settings::settings_in_force(kJpegConvention.function), statement->jpeg);
    if (failure) {
      count_jpeg_call(failure->log_line() || failure->error() ? JpegFate::kFailed
                                                              : JpegFate::kNoImage);
      return deliver(*failure, kJpegConvention, &statement->cap, result, length, is_null, error);
    }
    count_jpeg_call(JpegFate::kReturned);
    *length = statement->jpeg.size();
    return statement->jpeg.data();
  } catch (...) {
    return deliver_exception(kJpegConvention, result, length, is_null, error);
  }
}

void end_jpeg_statement(JpegStatement* statement) noexcept {
  if (statement == nullptr) return;
  log_held_back(kJpegConvention.function, statement->cap);
  delete statement;
}

}  // namespace quarn::thumb
