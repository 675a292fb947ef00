// Entry points of the tarvik plug-in: SQL tarvik(blob, filename, max_w, max_h).
#include <cstdio>
#include <cstring>
#include <string>

#include "env.h"
#include "format_string.h"
#include "settings_table.h"
#include "thumbnail.h"
#include "udf_host.h"

namespace {

constexpr std::size_t kThumbnailResultCapacity = 254;

char* report(const std::string& message, bool failure, char* result,
             unsigned long* length, char* is_null) {
  if (failure) std::fprintf(stderr, "%s", message.c_str());
  const long stored = quarn::store_text(result, kThumbnailResultCapacity, message.c_str());
  if (stored < 0) {
    *is_null = 1;
    *length = 0;
  } else {
    *length = static_cast<unsigned long>(stored);
  }
  return result;
}

char* make_thumbnail(UDF_ARGS* args, char* result, unsigned long* length,
                     char* is_null, char* error) {
  using namespace quarn::thumb;
  const std::string file_name =
      args->args[1] ? std::string(args->args[1], args->lengths[1]) : std::string();
  const std::string path = build_path(quarn::env_get(quarn::setting::kImageDir.name), file_name);

  if (args->args[2] == nullptr || args->args[3] == nullptr) {
    return report("Error: no maximum width or height given for " + path, true, result,
                  length, is_null);
  }
  long long width_value = 0;
  long long height_value = 0;
  std::memcpy(&width_value, args->args[2], sizeof width_value);
  std::memcpy(&height_value, args->args[3], sizeof height_value);
  const auto max_width = box_limit(width_value);
  const auto max_height = box_limit(height_value);

  StageResult outcome{Stage::kException, 0};
  try {
    outcome = run_image_stage(args->args[0], args->lengths[0], max_width, max_height, path);
  } catch (...) {
    *error = 1;
    return result;
  }
  return report(stage_message(outcome, path), outcome.stage != Stage::kDone, result,
                length, is_null);
}

}  // namespace

QUARN_EXPORT my_bool tarvik_init(UDF_INIT* initid, UDF_ARGS* args, char* message) {
  if (args->arg_count != 4) {
    quarn::format_string(message, quarn::kMessageCapacity, "THUMBNAIL() requires 4 arguments");
    return 1;
  }
  if (args->arg_type[0] != STRING_RESULT || args->arg_type[1] != STRING_RESULT ||
      args->arg_type[2] != INT_RESULT || args->arg_type[3] != INT_RESULT) {
    quarn::format_string(message, quarn::kMessageCapacity,
                         "THUMBNAIL() requires a BLOB, a string filename, a integer maximum "
                         "width, and an integer maximum height");
    return 1;
  }
  args->maybe_null[0] = 0;
  args->maybe_null[1] = 0;
  args->maybe_null[2] = 1;
  args->maybe_null[3] = 1;
  initid->maybe_null = 1;
  initid->max_length = quarn::kMaxResultLength;
  initid->const_item = 0;
  return 0;
}

QUARN_EXPORT char* tarvik(UDF_INIT*, UDF_ARGS* args, char* result, unsigned long* length,
                          char* is_null, char* error) {
  // Nothing may reach the server: an allocation failure while the path or a
  // message is built gives NULL with the error flag.
  try {
    return make_thumbnail(args, result, length, is_null, error);
  } catch (...) {
    *is_null = 1;
    *error = 1;
    return result;
  }
}

QUARN_EXPORT void tarvik_deinit(UDF_INIT*) {}
