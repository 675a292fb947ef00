// Settings logic behind the ostrel entry points, callable from unit tests.
#pragma once

#include <string>
#include <string_view>

#include "env.h"
#include "outcome.h"
#include "settings_file.h"
#include "settings_snapshot.h"
#include "settings_table.h"
#include "udf_host.h"

namespace quarn::settings {

// Overwrite is asked for by a non-NULL argument whose integer is not 0.
bool overwrite_requested(const UDF_ARGS& args);

// Refusal texts of the two init entries.
extern const char kLoadiniArgsMessage[];
extern const char kGetenvvarArgsMessage[];

// Check the argument lists at init; nullptr when accepted, else the refusal
// text. udf_loadini's one argument is handed over as a nullable integer.
const char* check_loadini_arguments(UDF_ARGS& args);
const char* check_getenvvar_arguments(const UDF_ARGS& args);

struct IntOutcome {
  long long value;
  bool is_null;
  bool error;
};

// udf_loadini: always 0; NULL once published or already loaded; the error
// flag alone when the file was not loaded (the reason is logged). Never
// throws: an exception gives NULL with the error flag.
IntOutcome run_loadini(const UDF_ARGS& args) noexcept;

// A value that cannot be formatted is NULL with the error flag.
inline constexpr ResultConvention kGetenvvarConvention{kResultCapacity, "udf_getenvvar", true};

// What udf_getenvvar shows for a secret setting that is set.
constexpr char kSecretMask[] = "********";

// Whether the variable a name looks up (up to its first NUL, as the lookup
// sees it) holds a secret setting.
bool is_secret(const std::string& name);

// Whether udf_getenvvar shows the variable a name looks up: a variable of
// the settings table, or one that `names` (getenvvar-names: names separated
// by commas or blanks, "*" for all) lists.
bool is_shown(const std::string& name, const std::optional<std::string>& names);

// udf_getenvvar: the variable's value, the mask for a secret, or NULL when
// it is not set or not shown. Never throws: an exception gives NULL with
// the error flag.
Outcome run_getenvvar(const UDF_ARGS& args, const EnvReader& env) noexcept;

extern const char kSettingsArgsMessage[];

// What udf_settings() shows of the settings file: this plug-in's last
// reading of it, or, when it has none (another plug-in's call loaded the
// settings), a reading now that publishes nothing.
LoadRecord load_to_show();

// udf_settings(): {"version": ..., "path": ..., "read_at": "YYYY-MM-DD
// HH:MM:SS" (local time), "result": "loaded" or why not, "warnings": [...],
// "settings": {"UDF_IMAGEDIR": ..., ...}}: every setting in force, null when
// unset, a secret as kSecretMask.
std::string settings_json(std::string_view version, const LoadRecord& load,
                          const SettingsSnapshot& settings);

}  // namespace quarn::settings
