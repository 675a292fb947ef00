// Settings logic behind the ostrel entry points, callable from unit tests.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "env.h"
#include "outcome.h"
#include "settings_table.h"
#include "udf_host.h"

namespace quarn::settings {

// The settings file, looked for in the server's working directory only.
constexpr char kFileName[] = "quarn_udf.ini";
// Present in the environment once all settings have been published.
constexpr const char* kLoadedMarker = setting::kErrorLog.name;

// Overwrite is asked for by a non-NULL argument whose integer is not 0.
bool overwrite_requested(const UDF_ARGS& args);

// A number as the INI library reads it, written back as decimal text.
std::string number_text(long number);

// The entries of a settings file as inih's INIReader keeps them, with its
// Get and GetInteger: sections and names in any letter case; the values of
// an entry given more than once, or continued on indented lines, joined by
// line feeds.
class IniEntries {
 public:
  // Parses the bytes as INIReader parses a file that holds them. Throws
  // std::bad_alloc when memory runs out.
  explicit IniEntries(std::string_view text);
  // 0, the number of the first malformed line, or below 0 when inih failed.
  int ParseError() const { return error_; }
  // The value, or default_value when the entry is absent.
  std::string Get(const std::string& section, const std::string& name,
                  const std::string& default_value) const;
  // The value's leading number (strtol with base 0), or default_value when
  // it has none.
  long GetInteger(const std::string& section, const std::string& name, long default_value) const;

 private:
  static int keep(void* user, const char* section, const char* name, const char* value) noexcept;
  std::map<std::string, std::string> values_;
  int error_ = 0;
  bool out_of_memory_ = false;
};

// Name and value of every setting, in publishing order, defaults filled in
// (from IniEntries, or INIReader reading the file itself).
template <class Entries>
std::vector<std::pair<std::string, std::string>> read_settings(const Entries& entries) {
  std::vector<std::pair<std::string, std::string>> values;
  for (const setting::Variable* variable : setting::kPublished) {
    // Get keeps an entry that is present but empty: only absence takes the default.
    std::string value;
    if (variable->integer) {
      const long fallback = std::strtol(variable->default_value, nullptr, 10);
      long number = entries.GetInteger(variable->section, variable->entry, fallback);
      if (variable->default_outside_range && !variable->in_range(number)) number = fallback;
      value = number_text(number);
    } else {
      value = entries.Get(variable->section, variable->entry, variable->default_value);
    }
    values.emplace_back(variable->name, std::move(value));
  }
  return values;
}

// How the loader reads an open file: ::read, or a stand-in in tests.
using ReadFunction = std::function<ssize_t(int fd, void* buffer, std::size_t size)>;

enum class LoadOutcome {
  kAlreadyLoaded,  // marker present, no overwrite asked: nothing read
  kOpenFailed,     // the file did not open or changed while read: nothing changed
  kPublished,
};

// Publishes the file's settings into the environment, all at once, unless
// they are loaded already and overwrite is not requested. Only a regular
// file (or a link to one) is read, whole, and only published when it stayed
// the same file throughout: the same inode, size and modification time
// before the first read as after the last, on the open file and at the path.
LoadOutcome load_settings(bool overwrite, const std::string& file_name = kFileName,
                          const ReadFunction& read = ::read);

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
