#include "settings_file.h"

#include <errno.h>
#include <fcntl.h>
#include <ini.h>
#include <limits.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <sstream>

#include "c_handle.h"
#include "env.h"
#include "log.h"

namespace quarn::settings {

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

std::string system_error(int number) {
  char buffer[256];
  return strerror_r(number, buffer, sizeof buffer);  // GNU: the text, maybe not in buffer
}

// The file's bytes and its mode, or why it was not read.
struct FileText {
  std::optional<std::string> text;
  mode_t mode = 0;
  std::string failure;
};

// The file's bytes when it is a regular file of at most kMaxFileBytes that
// stayed the same while read (see load_settings).
FileText read_unchanged(const std::string& path, const ReadFunction& read) {
  FileText file;
  // Without O_NONBLOCK a named pipe would block the open until some writer
  // came; for a regular file the flag changes nothing.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return file.failure = "cannot open it: " + system_error(errno), file;
  const AtExit close_file([fd] { ::close(fd); });
  // Only a regular file is read. A directory opens but yields no line, and
  // would pass for an empty file that resets every setting to its default;
  // a device such as /dev/zero would be read for ever.
  struct stat before {};
  if (::fstat(fd, &before) != 0) return file.failure = "cannot read it: " + system_error(errno), file;
  if (!S_ISREG(before.st_mode)) return file.failure = "not a regular file", file;
  const auto expected = static_cast<std::size_t>(before.st_size);
  if (expected > kMaxFileBytes)
    return file.failure = "larger than " + std::to_string(kMaxFileBytes) + " bytes", file;
  // A file rewritten in place while it is read would give a mixture, or a
  // prefix that parses as a file with settings missing.
  const std::string changed = "it changed while it was read";
  std::string text;
  char chunk[4096];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return file.failure = "cannot read it: " + system_error(errno), file;
    if (got == 0) break;
    text.append(chunk, static_cast<std::size_t>(got));
    if (text.size() > expected) return file.failure = changed, file;  // grew: no need to read on
  }
  struct stat after {}, at_path {};
  if (text.size() != expected || ::fstat(fd, &after) != 0 || !same_file(before, after) ||
      ::stat(path.c_str(), &at_path) != 0 || !same_file(before, at_path))
    return file.failure = changed, file;
  file.text = std::move(text);
  file.mode = before.st_mode;
  return file;
}

// The name as the log shows it: from the root, so an administrator finds
// the file the server meant.
std::string full_path(const std::string& name) {
  if (!name.empty() && name[0] == '/') return name;
  char directory[PATH_MAX];
  if (::getcwd(directory, sizeof directory) == nullptr) return name;
  return std::string(directory) + (directory[1] == '\0' ? "" : "/") + name;
}

// A line made by make(); should memory run out on the way, the line is
// lost and the load's outcome stands.
template <class Make>
void log(const char* function, Severity severity, Make&& make) noexcept {
  if (function == nullptr) return;
  try {
    const std::string text = make();
    if (!text.empty()) log_line(function, severity, text);
  } catch (...) {
  }
}

// Whether a secret setting (the password) has a value in the file.
bool holds_secret(const IniEntries& entries) {
  for (const setting::Variable* variable : setting::kPublished)
    if (variable->secret && !entries.Get(variable->section, variable->entry, "").empty()) return true;
  return false;
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

LoadOutcome load_settings(bool overwrite, const char* function, const std::string& file_name,
                          const ReadFunction& read) {
  // The marker is looked at before anything else, so a loaded state costs
  // no file access.
  const bool loaded = env_get(kLoadedMarker).has_value();
  if (!overwrite && loaded) return LoadOutcome::kAlreadyLoaded;

  const std::string path = full_path(file_name);
  const FileText file = read_unchanged(file_name, read);
  const auto not_loaded = [&](const std::string& reason) {
    log(function, Severity::kError, [&] { return "settings not loaded from " + path + ": " + reason; });
    return LoadOutcome::kFailed;
  };
  if (!file.text) return not_loaded(file.failure);
  const IniEntries entries(*file.text);
  if (entries.ParseError() < 0) return not_loaded("cannot parse it");
  // A positive ParseError only names a malformed line, which the parser
  // skipped; every well-formed entry still counts. One new environment for
  // all: a call sees the old settings or the new ones, never some of each,
  // and never the marker without the rest.
  env_publish(read_settings(entries));
  log(function, Severity::kNote, [&] { return "settings loaded from " + path; });
  // Meant to be readable by the server's group (root:mysql, mode 640), by
  // no other user.
  log(function, Severity::kWarning, [&] {
    if ((file.mode & S_IROTH) == 0 || !holds_secret(entries)) return std::string();
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(file.mode & 07777));
    return "the settings file " + path + " holds smtp-password and every user of this machine "
           "may read it (mode " + mode + "); make it mode 0640, owner root, group of the "
           "server's user (install -m 640 -o root -g mysql)";
  });
  return LoadOutcome::kPublished;
}

namespace {

// This plug-in's last load on a call's behalf: steady clock in seconds, 0
// for none yet. Loads on calls' behalf run one at a time, so concurrent
// first calls read the file once; a call that finds the settings loaded
// never takes the lock.
std::atomic<long long> last_auto_load{0};
std::mutex auto_load_lock;
// Set once a load on a call's behalf has published. The environment only
// changes by a publish, so this plug-in has nothing new to find in the file:
// a file whose error-log is empty publishes no marker and would otherwise be
// read again (and logged) every minute for as long as calls run.
std::atomic<bool> published_for_calls{false};

long long steady_seconds() {
  // Never 0: 0 means no attempt yet.
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::steady_clock::now().time_since_epoch())
             .count() +
         1;
}

bool tried_lately() {
  const long long last = last_auto_load.load();
  return last != 0 && steady_seconds() - last < kAutoLoadRetrySeconds;
}

// True when it loaded, or found the settings loaded meanwhile.
bool auto_load(const char* function) {
  if (published_for_calls || tried_lately()) return false;
  const std::lock_guard<std::mutex> lock(auto_load_lock);
  if (env_get(kLoadedMarker)) return true;  // loaded by the call we waited for
  if (published_for_calls || tried_lately()) return false;  // or that one failed
  // Stamped when the load is done: a call that comes meanwhile must wait at
  // the lock for these settings, not take the stamp for a failure and go on
  // without any.
  const bool published = load_settings(false, function) != LoadOutcome::kFailed;
  last_auto_load = steady_seconds();
  published_for_calls = published;
  return published;
}

}  // namespace

SettingsSnapshot settings_in_force(const char* function) {
  SettingsSnapshot settings = SettingsSnapshot::current();
  if (settings.text(setting::kErrorLog) || !auto_load(function)) return settings;
  return SettingsSnapshot::current();
}

void backdate_auto_load(long long seconds) {
  if (last_auto_load != 0) last_auto_load -= seconds;
}

void load_unless_loaded(const char* function) {
  if (!env_get(kLoadedMarker)) auto_load(function);
}

}  // namespace quarn::settings
