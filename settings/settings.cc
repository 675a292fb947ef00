#include "settings.h"

#include <INIReader.h>
#include <sys/stat.h>

#include <cstdlib>
#include <sstream>

#include "env.h"

namespace quarn::settings {

bool overwrite_requested(const UDF_ARGS& args) {
  return args.arg_count != 0 && args.args[0] != nullptr && integer_argument(args, 0) != 0;
}

std::string number_text(long number) {
  std::ostringstream text;
  text << number;
  return text.str();
}

std::vector<std::pair<std::string, std::string>> read_settings(const INIReader& reader) {
  std::vector<std::pair<std::string, std::string>> values;
  for (const setting::Variable* variable : setting::kPublished) {
    // Get keeps an entry that is present but empty: only absence takes the default.
    std::string value;
    if (variable->integer) {
      const long fallback = std::strtol(variable->default_value, nullptr, 10);
      long number = reader.GetInteger(variable->section, variable->entry, fallback);
      if (number < variable->lowest || number > variable->highest) number = fallback;
      value = number_text(number);
    } else {
      value = reader.Get(variable->section, variable->entry, variable->default_value);
    }
    values.emplace_back(variable->name, std::move(value));
  }
  return values;
}

LoadOutcome load_settings(bool overwrite, const std::string& file_name) {
  // The marker is looked at before anything else, so a loaded state costs
  // no file access.
  const bool loaded = env_get(kLoadedMarker).has_value();
  if (!overwrite && loaded) return LoadOutcome::kAlreadyLoaded;

  // Only a regular file (or a link to one) is read. A directory opens but
  // yields no line, and would pass for an empty file that resets every
  // setting to its default; a named pipe would block the open until some
  // writer comes, and a device such as /dev/zero would be read for ever.
  struct stat file;
  if (::stat(file_name.c_str(), &file) == 0 && !S_ISREG(file.st_mode))
    return LoadOutcome::kOpenFailed;
  const INIReader reader(file_name);
  if (reader.ParseError() < 0) return LoadOutcome::kOpenFailed;
  // A positive ParseError only names a malformed line, which the reader
  // skipped; every well-formed entry still counts.
  for (const auto& [variable, value] : read_settings(reader)) env_set(variable, value);
  return LoadOutcome::kPublished;
}

const char kLoadiniArgsMessage[] =
    "LOADINI() takes at most one argument: TRUE to overwrite existing values.";
const char kGetenvvarArgsMessage[] = "GETENVVAR() requires the name of an environmental variable";

const char* check_loadini_arguments(UDF_ARGS& args) {
  if (args.arg_count > 1) return kLoadiniArgsMessage;
  if (args.arg_count == 1) {
    // Any type is accepted; the server converts it to an integer.
    args.arg_type[0] = INT_RESULT;
    args.maybe_null[0] = 1;
  }
  return nullptr;
}

const char* check_getenvvar_arguments(const UDF_ARGS& args) {
  if (args.arg_count != 1 || args.arg_type[0] != STRING_RESULT) return kGetenvvarArgsMessage;
  return nullptr;
}

IntOutcome run_loadini(const UDF_ARGS& args) noexcept {
  try {
    const bool overwrite = overwrite_requested(args);
    if (load_settings(overwrite) == LoadOutcome::kOpenFailed) return {0, false, true};
    return {0, true, false};
  } catch (...) {
    return {0, true, true};
  }
}

bool is_secret(const std::string& name) {
  const std::string looked_up = name.substr(0, name.find('\0'));
  for (const setting::Variable* variable : setting::kPublished)
    if (variable->secret && looked_up == variable->name) return true;
  return false;
}

Outcome run_getenvvar(const UDF_ARGS& args, const EnvReader& env) noexcept {
  try {
    // SQL NULL is the empty name.
    const std::string name = text_argument(args, 0).value_or(std::string());
    std::optional<std::string> value = env(name);
    if (!value) return Outcome::null();
    // Any account may call this function: a password is only said to be set.
    if (is_secret(name)) return Outcome::value(kSecretMask);
    return Outcome::value(std::move(*value));
  } catch (...) {
    return Outcome::exception();
  }
}

}  // namespace quarn::settings
