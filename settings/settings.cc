#include "settings.h"

#include <errno.h>
#include <fcntl.h>
#include <ini.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sstream>

#include "c_handle.h"
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

namespace {

// The lookup key INIReader makes: "section=name", lower-cased by the C
// library's tolower as it does.
std::string entry_key(std::string_view section, std::string_view name) {
  std::string key;
  key.reserve(section.size() + 1 + name.size());
  key.append(section).append(1, '=').append(name);
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

// fgets over the text not yet parsed: at most size - 1 bytes, up to and with
// the first line feed. A NUL byte is copied like any other, as fgets copies
// it from a file, so it hides the rest of its line only.
char* next_line(char* line, int size, void* stream) {
  auto& rest = *static_cast<std::string_view*>(stream);
  if (rest.empty() || size < 2) return nullptr;
  std::size_t length = std::min(rest.size(), static_cast<std::size_t>(size - 1));
  const std::size_t feed = rest.substr(0, length).find('\n');
  if (feed != std::string_view::npos) length = feed + 1;
  std::memcpy(line, rest.data(), length);
  line[length] = '\0';
  rest.remove_prefix(length);
  return line;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// The file's bytes when it is a regular file that stayed the same while
// read; nullopt otherwise (see load_settings).
std::optional<std::string> read_unchanged(const std::string& path, const ReadFunction& read) {
  // Without O_NONBLOCK a named pipe would block the open until some writer
  // came; for a regular file the flag changes nothing.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  const AtExit close_file([fd] { ::close(fd); });
  // Only a regular file is read. A directory opens but yields no line, and
  // would pass for an empty file that resets every setting to its default;
  // a device such as /dev/zero would be read for ever.
  struct stat before {};
  if (::fstat(fd, &before) != 0 || !S_ISREG(before.st_mode)) return std::nullopt;
  // A file rewritten in place while it is read would give a mixture, or a
  // prefix that parses as a file with settings missing.
  const auto expected = static_cast<std::size_t>(before.st_size);
  std::string text;
  char chunk[4096];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    text.append(chunk, static_cast<std::size_t>(got));
    if (text.size() > expected) return std::nullopt;  // grew: no need to read on
  }
  struct stat after {}, at_path {};
  if (text.size() != expected || ::fstat(fd, &after) != 0 || !same_file(before, after) ||
      ::stat(path.c_str(), &at_path) != 0 || !same_file(before, at_path))
    return std::nullopt;
  return text;
}

}  // namespace

IniEntries::IniEntries(std::string_view text) {
  error_ = ini_parse_stream(next_line, &text, keep, this);
  if (out_of_memory_) throw std::bad_alloc();
}

// Called from inih's C code, which no exception may cross.
int IniEntries::keep(void* user, const char* section, const char* name,
                     const char* value) noexcept {
  auto& entries = *static_cast<IniEntries*>(user);
  if (name == nullptr || entries.out_of_memory_) return 1;
  try {
    std::string& kept = entries.values_[entry_key(section, name)];
    if (!kept.empty()) kept += '\n';
    kept += value != nullptr ? value : "";
  } catch (...) {
    entries.out_of_memory_ = true;
  }
  return 1;
}

std::string IniEntries::Get(const std::string& section, const std::string& name,
                            const std::string& default_value) const {
  const auto found = values_.find(entry_key(section, name));
  return found != values_.end() ? found->second : default_value;
}

long IniEntries::GetInteger(const std::string& section, const std::string& name,
                            long default_value) const {
  const std::string text = Get(section, name, "");
  char* end = nullptr;
  const long number = std::strtol(text.c_str(), &end, 0);
  return end > text.c_str() ? number : default_value;
}

LoadOutcome load_settings(bool overwrite, const std::string& file_name, const ReadFunction& read) {
  // The marker is looked at before anything else, so a loaded state costs
  // no file access.
  const bool loaded = env_get(kLoadedMarker).has_value();
  if (!overwrite && loaded) return LoadOutcome::kAlreadyLoaded;

  const std::optional<std::string> text = read_unchanged(file_name, read);
  if (!text) return LoadOutcome::kOpenFailed;
  const IniEntries entries(*text);
  if (entries.ParseError() < 0) return LoadOutcome::kOpenFailed;
  // A positive ParseError only names a malformed line, which the parser
  // skipped; every well-formed entry still counts. One new environment for
  // all: a call sees the old settings or the new ones, never some of each,
  // and never the marker without the rest.
  env_publish(read_settings(entries));
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
