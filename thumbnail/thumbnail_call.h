// The work of one tarvik call, apart from the server's buffers: it reads
// the arguments and the directory, builds the path, has the image stage make
// the thumbnail's pixels, writes them and makes the result text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "image_stage.h"
#include "outcome.h"
#include "settings_snapshot.h"
#include "udf_host.h"

namespace quarn::thumb {

// Refusal texts of tarvik_init.
extern const char kArgCountMessage[];
extern const char kArgTypeMessage[];

// Result of a call whose file name leaves no base name (see build_path),
// and of one whose file name would be longer than a file system takes.
extern const char kNoFileNameMessage[];
extern const char kLongFileNameMessage[];

// The result buffer is used one character shorter than the usual
// convention's: at most 253 characters.
inline constexpr std::size_t kResultCapacity = quarn::kResultCapacity - 1;
inline constexpr ResultConvention kResultConvention{kResultCapacity, "tarvik", false};

// Directory (from the environment, may be unset) plus the base name of the
// caller's file name, with ".jpg" appended unless it already ends so in any
// letter case. The name is cut at its first NUL byte first. Nothing when no
// base name is left, or only "." or "..".
std::optional<std::string> build_path(const std::optional<std::string>& directory,
                                      std::string_view file_name);

// A maximum from SQL: low 32 bits, signed, taken as its magnitude.
std::uint32_t box_limit(long long value);

// Checks the argument list at init and marks the maximums as nullable;
// nullptr when accepted, else the refusal text.
const char* check_arguments(UDF_ARGS& args);

// The status text for how the image's steps ended: "File written as "
// and the path, or the failed step with its code, naming the path ("for
// PATH") where there is one.
std::string stage_message(StageResult result, const std::string& path);

// The image stage of a call: the BLOB of argument 0 fitted into the box of
// arguments `box_argument` and the next, under the settings' memory budget
// and time limit. On failure `note` is what its log line adds to the text:
// for a refusal by the memory budget the megabytes the image needed and the
// budget, for the time limit the limit, else what the steps said of why.
struct LimitedStage {
  Thumbnail thumbnail;
  std::string note;
};
LimitedStage run_limited_stage(const UDF_ARGS& args, unsigned box_argument,
                               const SettingsSnapshot& settings);

// The whole call: file name, maximums, image stage, file, message. Never throws; an
// exception gives NULL with the error flag. Failures are logged, one line
// each; failures that differ only in the path are of one kind for the
// statement's RepeatCap. The line of a refusal by the memory budget adds
// the megabytes the image needed and the budget's, that of a decode
// stopped by the time limit (thumbnail-timeout) the limit, and that of an
// image refused for what a viewer would show anyway (a JPEG of too many
// scans) why.
Outcome run_call(const UDF_ARGS& args, const SettingsSnapshot& settings) noexcept;

// A [Note] of the function with the number of failure lines the
// statement's cap held back, if any. Never throws.
void log_held_back(const char* function, const RepeatCap& cap) noexcept;

// The statement's end: a [Note] with the number of failure lines its cap
// held back, if any; cap deleted. Never throws.
void end_statement(RepeatCap* cap) noexcept;

}  // namespace quarn::thumb
