// The work of one tarvik call, apart from the server's buffers.
#pragma once

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

// Checks the argument list at init and marks the maximums as nullable;
// nullptr when accepted, else the refusal text.
const char* check_arguments(UDF_ARGS& args);

// The whole call: file name, maximums, image stage, message. Never throws; an
// exception gives NULL with the error flag. Failures are logged, one line
// each.
Outcome run_call(const UDF_ARGS& args, const SettingsSnapshot& settings) noexcept;

}  // namespace quarn::thumb
