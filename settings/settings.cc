#include "settings.h"

#include <algorithm>
#include <ctime>
#include <optional>
#include <string_view>

#include "status_json.h"

namespace quarn::settings {

bool overwrite_requested(const UDF_ARGS& args) {
  return args.arg_count != 0 && args.args[0] != nullptr && integer_argument(args, 0) != 0;
}

const char kLoadiniArgsMessage[] =
    "LOADINI() takes at most one argument: TRUE to overwrite existing values.";
const char kGetenvvarArgsMessage[] = "GETENVVAR() requires the name of an environmental variable";
const char kSettingsArgsMessage[] = "UDF_SETTINGS() takes no arguments";

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
    if (load_settings(overwrite) == LoadOutcome::kFailed) return {0, false, true};
    return {0, true, false};
  } catch (...) {
    return {0, true, true};
  }
}

namespace {

// The name as the lookup sees it.
std::string_view looked_up(const std::string& name) {
  return std::string_view(name).substr(0, name.find('\0'));
}

}  // namespace

bool is_secret(const std::string& name) {
  for (const setting::Variable* variable : setting::kPublished)
    if (variable->secret && looked_up(name) == variable->name) return true;
  return false;
}

bool is_shown(const std::string& name, const std::optional<std::string>& names) {
  const std::string_view wanted = looked_up(name);
  for (const setting::Variable* variable : setting::kPublished)
    if (wanted == variable->name) return true;
  if (!names) return false;
  // Continued on indented lines, the entry's value holds line feeds too.
  constexpr char kSeparators[] = ", \t\r\n";
  const std::string_view list(*names);
  for (std::size_t start = list.find_first_not_of(kSeparators); start != std::string_view::npos;) {
    const std::size_t end = std::min(list.find_first_of(kSeparators, start), list.size());
    const std::string_view listed = list.substr(start, end - start);
    if (listed == "*" || listed == wanted) return true;
    start = list.find_first_not_of(kSeparators, end);
  }
  return false;
}

Outcome run_getenvvar(const UDF_ARGS& args, const EnvReader& env) noexcept {
  try {
    // SQL NULL is the empty name.
    const std::string name = text_argument(args, 0).value_or(std::string());
    // Any account may call this function: it shows the settings, not the
    // server's environment (which may hold the secrets of a container),
    // unless getenvvar-names says otherwise; a password is only said to be
    // set.
    if (!is_shown(name, env(setting::kGetenvvarNames.name))) return Outcome::null();
    std::optional<std::string> value = env(name);
    if (!value) return Outcome::null();
    if (is_secret(name)) return Outcome::value(kSecretMask);
    return Outcome::value(std::move(*value));
  } catch (...) {
    return Outcome::exception();
  }
}

LoadRecord load_to_show() {
  LoadRecord load = last_load();
  return load.read_at ? load : check_settings_file();
}

std::string settings_json(std::string_view version, const LoadRecord& load,
                          const SettingsSnapshot& settings) {
  JsonObject values;
  for (const setting::Variable* variable : setting::kPublished) {
    const std::optional<std::string>& value = settings.text(*variable);
    if (variable->secret && value)
      values.text(variable->name, kSecretMask);
    else
      values.text_or_null(variable->name, value);
  }
  JsonObject json;
  json.text("version", version).text("path", load.path);
  if (load.read_at) {
    // As the server writes a DATETIME, so SQL can compare it with NOW().
    std::tm local{};
    localtime_r(&*load.read_at, &local);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
    json.text("read_at", when).text("result", load.result);
  } else {
    json.null("read_at").null("result");
  }
  return json.texts("warnings", load.warnings).object("settings", values).str();
}

}  // namespace quarn::settings
