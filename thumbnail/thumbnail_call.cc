#include "thumbnail_call.h"

#include <IL/il.h>
#include <limits.h>

#include <chrono>

#include "ascii.h"
#include "decode/decode_memory.h"
#include "image_stage.h"
#include "settings_table.h"
#include "write/jpeg_writer.h"

namespace quarn::thumb {

const char kArgCountMessage[] = "THUMBNAIL() requires 4 arguments";
const char kArgTypeMessage[] =
    "THUMBNAIL() requires a BLOB, a string filename, a integer maximum width, and an integer "
    "maximum height";
const char kNoFileNameMessage[] = "Error: No file name for the thumbnail.";
const char kLongFileNameMessage[] =
    "Error: The thumbnail's file name is longer than 255 bytes, which no file system takes.";

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

std::optional<std::string> build_path(const std::optional<std::string>& directory,
                                      std::string_view file_name) {
  // A NUL would end the path handed to the image library after the suffix
  // check, so "x.php\0y" would be written without ".jpg".
  const auto nul = file_name.find('\0');
  if (nul != std::string_view::npos) file_name = file_name.substr(0, nul);
  const auto separator = file_name.find_last_of("/\\");
  if (separator != std::string_view::npos) file_name = file_name.substr(separator + 1);
  // Every such name would become the one hidden file ".jpg" (or "...jpg"),
  // which each call without a name would overwrite.
  if (file_name.empty() || file_name == "." || file_name == "..") return std::nullopt;

  std::string path = directory.value_or(std::string());
  if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
  path.append(file_name.data(), file_name.size());

  const bool has_suffix =
      path.size() >= 4 && ascii_iequals(std::string_view(path).substr(path.size() - 4), ".jpg");
  if (!has_suffix) path += ".jpg";
  return path;
}

std::uint32_t box_limit(long long value) {
  const auto low = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
  const std::int64_t wide = low;
  return static_cast<std::uint32_t>(wide < 0 ? -wide : wide);
}

namespace {

// The write's outcome in the image library's error codes, which the result text shows.
StageResult write_outcome(WriteResult written) {
  switch (written) {
    case WriteResult::kWritten: return {Stage::kDone, 0};
    case WriteResult::kCannotOpen: return {Stage::kSave, IL_COULD_NOT_OPEN_FILE};
    // Not written whole (a full disk, a file size limit): the previous file stays.
    case WriteResult::kWriteFailed: return {Stage::kSave, IL_FILE_WRITE_ERROR};
    case WriteResult::kEncodeFailed: break;
  }
  return {Stage::kSave, IL_LIB_JPEG_ERROR};
}

}  // namespace

std::string stage_message(StageResult result, const std::string& path) {
  const std::string code = ". Err Code: " + std::to_string(result.code);
  const std::string where = path.empty() ? std::string() : " for " + path;
  switch (result.stage) {
    case Stage::kLoad:
      return "Error loading the image" + where + code;
    case Stage::kScale:
      return "Error attempting to scale the image" + where + code;
    case Stage::kSave:
      return "Error saving the thumbnail" + where + code;
    case Stage::kDone:
      break;
  }
  return "File written as " + path;
}

namespace {

// What the log line of a failure adds to its text (see LimitedStage).
std::string log_note(const Thumbnail& thumbnail, std::uint64_t budget_mb, long timeout_s) {
  const unsigned int code = thumbnail.result.code;
  if (thumbnail.result.stage != Stage::kLoad) return {};
  if (code == kOverTimeLimit)
    return " (took longer than the thumbnail-timeout of " + std::to_string(timeout_s) + " s)";
  if (code != kOverMemoryBudget && code != kNoRoomInMemoryBudget)
    return thumbnail.result.note != nullptr ? " (" + std::string(thumbnail.result.note) + ")" : std::string();
  const std::string needs = " (needs " + std::to_string(megabytes(thumbnail.memory)) + " MB to decode";
  const std::string budget = "the thumbnail-memory budget of " + std::to_string(budget_mb) + " MB";
  if (code == kOverMemoryBudget) return needs + ", more than the whole of " + budget + ")";
  return needs + "; " + budget + " had no room for it within " +
         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kBudgetWait).count()) + " s)";
}

// A failure's kind leaves out the path (and what a log line adds): 300 rows
// into a missing directory are one failure 300 times.
Outcome message(StageResult result, const std::string& path, const std::string& note = {}) {
  if (result.stage == Stage::kDone) return Outcome::value(stage_message(result, path));
  std::string text = stage_message(result, path);
  std::string line = text + note;
  return Outcome::failure(std::move(text), std::move(line)).repeat_as(stage_message(result, ""));
}

}  // namespace

LimitedStage run_limited_stage(const UDF_ARGS& args, unsigned box_argument,
                               const SettingsSnapshot& settings) {
  const long budget_mb = settings.number(setting::kThumbnailMemory).value_or(0);
  const long timeout_s = settings.number(setting::kThumbnailTimeout).value_or(60);
  const unsigned threads = decode_threads(settings.number(setting::kThumbnailThreads).value_or(0));
  const Deadline deadline(Deadline::Clock::now() + std::chrono::seconds(timeout_s));
  LimitedStage stage{run_image_stage(args.args[0], args.lengths[0],
                                     box_limit(integer_argument(args, box_argument)),
                                     box_limit(integer_argument(args, box_argument + 1)),
                                     {static_cast<std::uint64_t>(budget_mb) << 20}, deadline, threads),
                     {}};
  if (stage.thumbnail.result.stage != Stage::kDone)
    stage.note = log_note(stage.thumbnail, static_cast<std::uint64_t>(budget_mb), timeout_s);
  return stage;
}

Outcome run_call(const UDF_ARGS& args, const SettingsSnapshot& settings) noexcept {
  try {
    const std::string file_name = text_argument(args, 1).value_or(std::string());
    const std::optional<std::string> path = build_path(settings.text(setting::kImageDir), file_name);
    if (!path) return Outcome::failure(kNoFileNameMessage);
    // Checked before the decode: the file system refuses such a name only
    // when the finished file is renamed into place, which would say 1290,
    // as for a missing directory.
    if (path->size() - (path->rfind('/') + 1) > NAME_MAX)
      return Outcome::failure(kLongFileNameMessage);
    if (args.args[2] == nullptr || args.args[3] == nullptr)
      return Outcome::failure("Error: no maximum width or height given for " + *path)
          .repeat_as("no maximum");

    const LimitedStage stage = run_limited_stage(args, 2, settings);
    if (stage.thumbnail.result.stage != Stage::kDone)
      return message(stage.thumbnail.result, *path, stage.note);
    return message(write_outcome(write_jpeg(stage.thumbnail.pixels, *path)), *path);
  } catch (...) {
    return Outcome::exception();
  }
}

void log_held_back(const char* function, const RepeatCap& cap) noexcept {
  if (cap.held_back() > 0) {
    try {
      log_line(function, Severity::kNote,
               "statement summary: " + std::to_string(cap.held_back()) +
                   " repeated failure lines not written");
    } catch (...) {
      // Only memory for the text can run out: the note is lost, nothing else.
    }
  }
}

void end_statement(RepeatCap* cap) noexcept {
  if (cap == nullptr) return;
  log_held_back(kResultConvention.function, *cap);
  delete cap;
}

}  // namespace quarn::thumb
