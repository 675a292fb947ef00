// Settings logic behind the ostrel entry points, callable from unit tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "env.h"
#include "outcome.h"
#include "settings_table.h"
#include "udf_host.h"

class INIReader;

namespace quarn::settings {

// The settings file, looked for in the server's working directory only.
constexpr char kFileName[] = "quarn_udf.ini";
// Present in the environment once all settings have been published.
constexpr const char* kLoadedMarker = setting::kErrorLog.name;

// Overwrite is asked for by a non-NULL argument whose integer is not 0.
bool overwrite_requested(const UDF_ARGS& args);

// A number as the INI library reads it, written back as decimal text.
std::string number_text(long number);

// Name and value of every setting, in publishing order, defaults filled in.
std::vector<std::pair<std::string, std::string>> read_settings(const INIReader& reader);

enum class LoadOutcome {
  kAlreadyLoaded,  // marker present, no overwrite asked: nothing read
  kOpenFailed,     // the file did not open: nothing changed
  kPublished,
};

// Publishes the file's settings into the environment unless they are
// loaded already and overwrite is not requested.
LoadOutcome load_settings(bool overwrite, const std::string& file_name = kFileName);

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
// flag alone when the file did not open. Never throws: an exception gives
// NULL with the error flag.
IntOutcome run_loadini(const UDF_ARGS& args) noexcept;

// A value that cannot be formatted is NULL with the error flag.
inline constexpr ResultConvention kGetenvvarConvention{kResultCapacity, "udf_getenvvar", true};

// What udf_getenvvar shows for a secret setting that is set.
constexpr char kSecretMask[] = "********";

// Whether the variable a name looks up (up to its first NUL, as the lookup
// sees it) holds a secret setting.
bool is_secret(const std::string& name);

// udf_getenvvar: the variable's value, the mask for a secret, or NULL when
// it is not set. Never
// throws: an exception gives NULL with the error flag.
Outcome run_getenvvar(const UDF_ARGS& args, const EnvReader& env) noexcept;

}  // namespace quarn::settings
