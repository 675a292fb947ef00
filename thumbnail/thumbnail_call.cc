#include "thumbnail_call.h"

#include <optional>
#include <string>

#include "settings_table.h"
#include "thumbnail.h"

namespace quarn::thumb {

const char kArgCountMessage[] = "THUMBNAIL() requires 4 arguments";
const char kArgTypeMessage[] =
    "THUMBNAIL() requires a BLOB, a string filename, a integer maximum width, and an integer "
    "maximum height";
const char kNoFileNameMessage[] = "Error: No file name for the thumbnail.";

const char* check_arguments(UDF_ARGS& args) {
  if (args.arg_count != 4) return kArgCountMessage;
  if (args.arg_type[0] != STRING_RESULT || args.arg_type[1] != STRING_RESULT ||
      args.arg_type[2] != INT_RESULT || args.arg_type[3] != INT_RESULT)
    return kArgTypeMessage;
  args.maybe_null[0] = 0;
  args.maybe_null[1] = 0;
  args.maybe_null[2] = 1;
  args.maybe_null[3] = 1;
  return nullptr;
}

namespace {

Outcome message(std::string text, bool failure) {
  return failure ? Outcome::failure(std::move(text)) : Outcome::value(std::move(text));
}

}  // namespace

Outcome run_call(const UDF_ARGS& args, const SettingsSnapshot& settings) noexcept {
  try {
    const std::string file_name = text_argument(args, 1).value_or(std::string());
    const std::optional<std::string> path = build_path(settings.text(setting::kImageDir), file_name);
    if (!path) return Outcome::failure(kNoFileNameMessage);
    if (args.args[2] == nullptr || args.args[3] == nullptr)
      return message("Error: no maximum width or height given for " + *path, true);

    const StageResult result = run_image_stage(args.args[0], args.lengths[0],
                                               box_limit(integer_argument(args, 2)),
                                               box_limit(integer_argument(args, 3)), *path);
    return message(stage_message(result, *path), result.stage != Stage::kDone);
  } catch (...) {
    return Outcome::exception();
  }
}

}  // namespace quarn::thumb
