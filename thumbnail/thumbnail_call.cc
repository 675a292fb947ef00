#include "thumbnail_call.h"

#include <cstring>
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
  Outcome outcome;
  if (failure) outcome.log_line = text;
  outcome.built = std::move(text);
  return outcome;
}

std::uint32_t limit_of(const char* value) {
  long long number = 0;
  std::memcpy(&number, value, sizeof number);
  return box_limit(number);
}

}  // namespace

Outcome run_call(const UDF_ARGS& args, const EnvReader& env) noexcept {
  try {
    const std::string file_name =
        args.args[1] ? std::string(args.args[1], args.lengths[1]) : std::string();
    const std::optional<std::string> path = build_path(env(setting::kImageDir.name), file_name);
    if (!path) return message(kNoFileNameMessage, true);
    if (args.args[2] == nullptr || args.args[3] == nullptr)
      return message("Error: no maximum width or height given for " + *path, true);

    const StageResult result = run_image_stage(args.args[0], args.lengths[0],
                                               limit_of(args.args[2]), limit_of(args.args[3]), *path);
    return message(stage_message(result, *path), result.stage != Stage::kDone);
  } catch (...) {
    return {nullptr, true, true, std::nullopt, std::nullopt};
  }
}

}  // namespace quarn::thumb
