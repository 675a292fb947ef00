// Settings logic behind the ostrel entry points, callable from unit tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "settings_table.h"

class INIReader;

namespace quarn::settings {

// The settings file, looked for in the server's working directory only.
constexpr char kFileName[] = "quarn_udf.ini";
// Present in the environment once all settings have been published.
constexpr const char* kLoadedMarker = setting::kErrorLog.name;

// Overwrite is asked for by a non-NULL argument whose integer is not 0.
bool overwrite_requested(unsigned int arg_count, const void* value);

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

// The variable name from an SQL argument: exactly length bytes, or the
// empty name for SQL NULL.
std::string variable_name(const char* bytes, unsigned long length);

}  // namespace quarn::settings
