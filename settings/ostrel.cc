// Entry points of the ostrel plug-in: SQL udf_loadini([overwrite]) and
// udf_getenvvar(name).
#include <optional>
#include <string>

#include "env.h"
#include "format_string.h"
#include "settings.h"
#include "udf_host.h"

QUARN_EXPORT my_bool udf_loadini_init(UDF_INIT* initid, UDF_ARGS* args, char* message) {
  if (args->arg_count > 1) {
    quarn::format_string(message, quarn::kMessageCapacity,
                         "LOADINI() takes at most one argument: TRUE to overwrite existing "
                         "values.");
    return 1;
  }
  if (args->arg_count == 1) {
    // Any type is accepted; the server converts it to an integer.
    args->arg_type[0] = INT_RESULT;
    args->maybe_null[0] = 1;
  }
  initid->maybe_null = 1;
  return 0;
}

QUARN_EXPORT long long udf_loadini(UDF_INIT*, UDF_ARGS* args, char* is_null, char* error) {
  using namespace quarn::settings;
  // An exception must not unwind into the server (it would end the
  // process); the only one possible here is exhausted memory.
  try {
    const bool overwrite =
        overwrite_requested(args->arg_count, args->arg_count ? args->args[0] : nullptr);
    if (load_settings(overwrite) == LoadOutcome::kOpenFailed)
      *error = 1;
    else
      *is_null = 1;
  } catch (...) {
    *is_null = 1;
    *error = 1;
  }
  return 0;
}

QUARN_EXPORT my_bool udf_getenvvar_init(UDF_INIT* initid, UDF_ARGS* args, char* message) {
  if (args->arg_count != 1 || args->arg_type[0] != STRING_RESULT) {
    quarn::format_string(message, quarn::kMessageCapacity,
                         "GETENVVAR() requires the name of an environmental variable");
    return 1;
  }
  initid->maybe_null = 1;
  initid->max_length = quarn::kMaxResultLength;
  return 0;
}

QUARN_EXPORT char* udf_getenvvar(UDF_INIT*, UDF_ARGS* args, char* result,
                                 unsigned long* length, char* is_null, char* error) {
  try {
    const std::optional<std::string> value =
        quarn::env_get(quarn::settings::variable_name(args->args[0], args->lengths[0]));
    if (!value) {
      *is_null = 1;
      *length = 0;
      return result;
    }
    const long stored = quarn::store_text(result, quarn::kResultCapacity, value->c_str());
    if (stored >= 0) {
      *length = static_cast<unsigned long>(stored);
      return result;
    }
  } catch (...) {
  }
  *is_null = 1;
  *error = 1;
  *length = 0;
  return result;
}

// Both functions end the same way, so the server finds one routine under
// both deinit names.
QUARN_EXPORT void udf_loadini_deinit(UDF_INIT*) {}
QUARN_EXPORT void udf_getenvvar_deinit(UDF_INIT*) __attribute__((alias("udf_loadini_deinit")));
