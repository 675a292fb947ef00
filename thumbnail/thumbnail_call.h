// The work of one tarvik call, apart from the server's buffers: it reads
// the arguments and the directory, builds the path, has the image stage make
// the thumbnail's pixels, writes them and makes the result text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "outcome.h"
#include "settings_snapshot.h"
#include "udf_host.h"

namespace quarn::thumb {

// Refusal texts of tarvik_init.
extern const char kArgCountMessage[];
extern const char kArgTypeMessage[];

// Result of a call whose file name leaves no base name (see build_path).
extern const char kNoFileNameMessage[];

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

// The whole call: file name, maximums, image stage, file, message. Never throws; an
// exception gives NULL with the error flag. Failures are logged, one line
// each; failures that differ only in the path are of one kind for the
// statement's RepeatCap. The line of a refusal by the memory budget adds
// the megabytes the image needed and the budget's, that of a decode
// stopped by the time limit (thumbnail-timeout) the limit, and that of an
// image refused for what a viewer would show anyway (a JPEG of too many
// scans) why.
Outcome run_call(const UDF_ARGS& args, const SettingsSnapshot& settings) noexcept;

// The statement's end: a [Note] with the number of failure lines its cap
// held back, if any; cap deleted. Never throws.
void end_statement(RepeatCap* cap) noexcept;

}  // namespace quarn::thumb
