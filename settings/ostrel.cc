// Entry points of the ostrel plug-in: SQL udf_loadini([overwrite]),
// udf_getenvvar(name) and udf_settings().
#include "env.h"
#include "outcome.h"
#include "package_version.h"
#include "settings.h"
#include "status_entry.h"
#include "udf_host.h"

QUARN_EXPORT my_bool udf_loadini_init(UDF_INIT* initid, UDF_ARGS* args, char* message) {
  return quarn::init_entry(message, "LOADINI", [&]() -> const char* {
    if (const char* refused = quarn::settings::check_loadini_arguments(*args)) return refused;
    initid->maybe_null = 1;
    return nullptr;
  });
}

// run_loadini catches everything itself.
QUARN_EXPORT long long udf_loadini(UDF_INIT*, UDF_ARGS* args, char* is_null, char* error) {
  const quarn::settings::IntOutcome outcome = quarn::settings::run_loadini(*args);
  if (outcome.is_null) *is_null = 1;
  if (outcome.error) *error = 1;
  return outcome.value;
}

QUARN_EXPORT my_bool udf_getenvvar_init(UDF_INIT* initid, UDF_ARGS* args, char* message) {
  return quarn::init_entry(message, "GETENVVAR", [&]() -> const char* {
    if (const char* refused = quarn::settings::check_getenvvar_arguments(*args)) return refused;
    initid->maybe_null = 1;
    initid->max_length = quarn::kMaxResultLength;
    return nullptr;
  });
}

QUARN_EXPORT char* udf_getenvvar(UDF_INIT*, UDF_ARGS* args, char* result,
                                 unsigned long* length, char* is_null, char* error) {
  return quarn::answer(quarn::settings::kGetenvvarConvention, nullptr, result, length, is_null,
                       error, [&] {
                         quarn::settings::load_unless_loaded("udf_getenvvar");
                         return quarn::settings::run_getenvvar(*args, quarn::env_get);
                       });
}

// The server finds one and the same empty routine under both deinit names.
QUARN_EXPORT void udf_loadini_deinit(UDF_INIT*) {}
QUARN_EXPORT void udf_getenvvar_deinit(UDF_INIT*) __attribute__((alias("udf_loadini_deinit")));

QUARN_EXPORT my_bool udf_settings_init(UDF_INIT* initid, UDF_ARGS* args, char* message) {
  return quarn::init_entry(message, "UDF_SETTINGS", [&] {
    return quarn::status_init(*initid, *args, quarn::settings::kSettingsArgsMessage);
  });
}

QUARN_EXPORT char* udf_settings(UDF_INIT* initid, UDF_ARGS*, char*, unsigned long* length,
                                char* is_null, char* error) {
  return quarn::status_answer(initid, length, is_null, error, [] {
    quarn::settings::load_unless_loaded("udf_settings");
    return quarn::settings::settings_json(quarn::kPackageVersion,
                                          quarn::settings::load_to_show(),
                                          quarn::SettingsSnapshot::current());
  });
}

QUARN_EXPORT void udf_settings_deinit(UDF_INIT* initid) { quarn::status_end(initid); }
