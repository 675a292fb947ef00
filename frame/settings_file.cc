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

namespace {
// Of a malformed line, or of the name of a setting, this many bytes are
// shown in a warning.
constexpr std::size_t kShownBytes = 40;
}  // namespace

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

// fgets over the text not yet parsed, which is how inih reads a file: at
// most size - 1 bytes, up to and with the first line feed, so a longer line
// comes in pieces that inih parses as lines of their own. A NUL byte is
// copied like any other, as fgets copies it from a file, so it hides the
// rest of its piece only. With `entries`, it notes the lines that came in
// pieces or hold a NUL; the pieces numbered in `blank` (sorted, from 1) are
// handed over as empty lines.
struct PieceReader {
  using LineFault = IniEntries::LineFault;
  PieceReader(std::string_view text, IniEntries* entries, const std::vector<int>* blank = nullptr)
      : text(text), entries(entries), blank(blank) {}

  std::string_view text;
  IniEntries* entries;
  const std::vector<int>* blank;
  std::size_t at = 0;          // where the next piece starts
  std::size_t line_start = 0;  // where the current physical line started
  int piece = 0;               // pieces handed over
  int line = 0;                // the physical line of the last piece
  bool continued = false;      // the next piece continues the last one's line
  std::size_t next_blank = 0;

  static char* read(char* buffer, int size, void* stream) noexcept {
    return static_cast<PieceReader*>(stream)->next(buffer, size);
  }

  char* next(char* buffer, int size) noexcept {
    if (at >= text.size() || size < 2) return nullptr;
    const std::string_view rest = text.substr(at);
    std::size_t length = std::min(rest.size(), static_cast<std::size_t>(size - 1));
    const std::size_t feed = rest.substr(0, length).find('\n');
    if (feed != std::string_view::npos) length = feed + 1;
    const std::string_view piece_text = rest.substr(0, length);
    ++piece;
    if (!continued) {
      ++line;
      line_start = at;
    }
    const bool first = !continued;
    at += length;
    continued = piece_text.back() != '\n' && at < text.size();
    if (entries != nullptr) {
      entries->piece_limit_ = size - 1;
      note(piece_text, first);
    }
    if (blank != nullptr && next_blank < blank->size() && (*blank)[next_blank] == piece) {
      ++next_blank;
      std::memcpy(buffer, "\n", 2);
      return buffer;
    }
    std::memcpy(buffer, piece_text.data(), length);
    buffer[length] = '\0';
    return buffer;
  }

  // Bookkeeping of the first parse. inih's loop must not be left by an
  // exception: a failed allocation marks the entries out of memory.
  void note(std::string_view piece_text, bool first) noexcept {
    auto& e = *entries;
    e.lines_ = line;
    e.naming_.clear();
    try {
      if (first) {
        first_length = piece_text.size();
        cut = std::nullopt;
        nul_seen = false;
        if (continued) {
          cut = e.faults_.size();
          e.faults_.push_back(LineFault(line, piece));
          e.naming_.push_back(*cut);
        }
      } else if (cut) {
        LineFault& fault = e.faults_[*cut];
        ++fault.pieces;
        if (!continued) {
          // The whole line, its end aside, less what its first piece held.
          std::string_view whole = text.substr(line_start, at - line_start);
          if (!whole.empty() && whole.back() == '\n') whole.remove_suffix(1);
          if (!whole.empty() && whole.back() == '\r') whole.remove_suffix(1);
          fault.lost = whole.size() > first_length ? whole.size() - first_length : 0;
        }
      }
      if (!nul_seen && piece_text.find('\0') != std::string_view::npos) {
        nul_seen = true;
        LineFault nul(line, piece);
        nul.nul = true;
        e.faults_.push_back(nul);
        e.naming_.push_back(e.faults_.size() - 1);
      }
    } catch (...) {
      e.out_of_memory_ = true;
    }
  }

  // Of the current physical line: its first piece's length, its cut fault,
  // whether a NUL was noted.
  std::size_t first_length = 0;
  std::optional<std::size_t> cut;
  bool nul_seen = false;
};

IniEntries::IniEntries(std::string_view text) {
  PieceReader reader(text, this);
  error_ = ini_parse_stream(PieceReader::read, &reader, keep, this);
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
    for (const std::size_t fault : entries.naming_) {
      std::string& setting = entries.faults_[fault].setting;
      if (!setting.empty()) continue;
      if (*section != '\0') setting = std::string("[") + section + "] ";
      // A name is as long as a line may be: its start tells it.
      const std::string_view shown(name);
      setting.append(shown.substr(0, kShownBytes));
      if (shown.size() > kShownBytes) setting += "...";
    }
  } catch (...) {
    entries.out_of_memory_ = true;
  }
  return 1;
}

namespace {

// inih parses the file at most this many times for one load's warnings.
constexpr int kMaxParses = 32;

int ignore(void*, const char*, const char*, const char*) noexcept { return 1; }

// Physical line n (from 1) of the text, its line end aside.
std::string_view physical_line(std::string_view text, int n) {
  std::size_t start = 0;
  for (int line = 1; line < n && start < text.size(); ++line) {
    const std::size_t feed = text.find('\n', start);
    start = feed == std::string_view::npos ? text.size() : feed + 1;
  }
  std::string_view line = text.substr(start);
  line = line.substr(0, line.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

// What is wrong with a line inih skipped, and its first bytes; of a line
// that starts with a secret entry's name, the name only.
std::string malformed_text(std::string_view line, int number) {
  if (number == 1 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
  std::string_view start = line;
  while (!start.empty() && std::isspace(static_cast<unsigned char>(start.front())))
    start.remove_prefix(1);
  const char* what = !start.empty() && start.front() == '['
                         ? "\"[\" without \"]\", so it is skipped: "
                         : "no \"=\" or \":\" after a name, so it is skipped: ";
  std::string shown(line.substr(0, kShownBytes));
  if (line.size() > kShownBytes) shown += "...";
  for (const setting::Variable* variable : setting::kPublished) {
    if (variable->secret && starts_with_ignoring_case(start, variable->entry)) {
      shown = std::string(start.substr(0, std::strlen(variable->entry))) + " ********";
      break;
    }
  }
  return "line " + std::to_string(number) + ": " + what + shown;
}

}  // namespace

std::pair<int, bool> IniEntries::line_of(int piece) const {
  int extra = 0;  // pieces beyond the first of the cut lines before it
  for (const LineFault& fault : faults_) {
    if (fault.nul) continue;
    if (piece < fault.piece) break;
    if (piece < fault.piece + fault.pieces) return {fault.line, piece != fault.piece};
    extra += fault.pieces - 1;
  }
  return {piece - extra, false};
}

std::vector<std::string> IniEntries::warnings(std::string_view text) const {
  struct Named {
    int line;
    int order;  // of the warnings of one line
    std::string text;
  };
  std::vector<Named> named;
  // The lines inih skipped: each parse reports the first malformed line not
  // blanked yet. Blanking one changes nothing else, as inih keeps no state
  // from a malformed line. The pieces of a cut line after its first are
  // named with the cut.
  std::size_t malformed = 0;
  int checked_to = lines_;  // the lines up to this one are checked
  std::vector<int> blank;
  for (int error = error_, parses = 1; error > 0; ++parses) {
    const auto [line, tail] = line_of(error);
    if (!tail && malformed == kMaxLineWarnings) {
      checked_to = line - 1;
      break;
    }
    if (!tail) {
      named.push_back({line, 0, malformed_text(physical_line(text, line), line)});
      ++malformed;
    }
    if (parses == kMaxParses) {
      checked_to = line;
      break;
    }
    blank.push_back(error);
    PieceReader reader(text, nullptr, &blank);
    error = ini_parse_stream(PieceReader::read, &reader, ignore, nullptr);
  }
  for (const LineFault& fault : faults_) {
    const std::string line = "line " + std::to_string(fault.line);
    if (fault.nul) {
      const std::string what = fault.setting.empty() ? std::string("the rest of the line")
                                                     : fault.setting + " ends there, the rest of the line";
      named.push_back({fault.line, 2, line + " holds a NUL byte: " + what + " is ignored"});
    } else if (fault.lost > 0) {
      const std::string lost = "last " + std::to_string(fault.lost) + " bytes";
      const std::string what = fault.setting.empty() ? "its " + lost + " are"
                                                     : fault.setting + " lost its " + lost +
                                                           ", which are";
      named.push_back({fault.line, 1, line + " is longer than " + std::to_string(piece_limit_) +
                                          " bytes: " + what + " read as a line of their own"});
    }
  }
  std::stable_sort(named.begin(), named.end(), [](const Named& a, const Named& b) {
    return a.line != b.line ? a.line < b.line : a.order < b.order;
  });
  // Named up to where the malformed lines were looked for, and as many as
  // the bound allows.
  while (!named.empty() && named.back().line > checked_to) named.pop_back();
  if (named.size() > kMaxLineWarnings) {
    checked_to = named[kMaxLineWarnings].line - 1;
    while (!named.empty() && named.back().line > checked_to) named.pop_back();
  }
  std::vector<std::string> texts;
  for (Named& warning : named) texts.push_back(std::move(warning.text));
  if (checked_to < lines_)
    texts.push_back("the lines after line " + std::to_string(checked_to) +
                    " may hold more faults, which are not named");
  return texts;
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

namespace {

long long steady_seconds() {
  // Never 0: 0 means no attempt yet.
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::steady_clock::now().time_since_epoch())
             .count() +
         1;
}

// The file read and parsed, or why not.
struct Reading {
  std::string path;  // from the root
  std::string failure;
  std::vector<std::pair<std::string, std::string>> values;  // read_settings
  // "line N: ..." of each faulty line, and the warning of a secret others
  // may read.
  std::vector<std::string> warnings;
};

// The warnings of the text; those of the text read last are kept, as a
// file with many malformed lines takes inih up to kMaxParses parses to name
// them, and a storm of reloads would pay that every time. A text is known
// by its size and hash.
std::vector<std::string> line_warnings(const std::string& text, const IniEntries& entries) {
  static std::mutex lock;
  static std::size_t known_size = 0, known_hash = 0;
  static std::vector<std::string> known;
  if (entries.ParseError() <= 0) return entries.warnings(text);  // one parse: nothing to save
  const std::size_t hash = std::hash<std::string>()(text);
  {
    const std::lock_guard<std::mutex> guard(lock);
    if (!known.empty() && known_size == text.size() && known_hash == hash) return known;
  }
  std::vector<std::string> warnings = entries.warnings(text);
  std::vector<std::string> copy = warnings;
  const std::lock_guard<std::mutex> guard(lock);
  known_size = text.size();
  known_hash = hash;
  known = std::move(copy);
  return warnings;
}

Reading read_file(const std::string& file_name, const ReadFunction& read) {
  Reading reading;
  reading.path = full_path(file_name);
  const FileText file = read_unchanged(file_name, read);
  if (!file.text) return reading.failure = file.failure, reading;
  const IniEntries entries(*file.text);
  if (entries.ParseError() < 0) return reading.failure = "cannot parse it", reading;
  // A malformed line is skipped; every well-formed entry still counts.
  reading.values = read_settings(entries);
  reading.warnings = line_warnings(*file.text, entries);
  // Meant to be readable by the server's group (root:mysql, mode 640), by
  // no other user.
  if ((file.mode & S_IROTH) != 0 && holds_secret(entries)) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(file.mode & 07777));
    reading.warnings.push_back(
        "the settings file " + reading.path + " holds smtp-password and every user of this "
        "machine may read it (mode " + mode + "); make it mode 0640, owner root, group of the "
        "server's user (install -m 640 -o root -g mysql)");
  }
  return reading;
}

// Whether publishing the values would leave the environment as it is: each
// empty one unset, every other set to its text up to a NUL (as publishing
// stores it).
bool in_force(const std::vector<std::pair<std::string, std::string>>& values) {
  const SettingsSnapshot now = SettingsSnapshot::current();
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::string& value = values[i].second;
    const std::optional<std::string>& current = now.text(*setting::kPublished[i]);
    if (value.empty() ? current.has_value() : current != std::string(value.c_str())) return false;
  }
  return true;
}

// This plug-in's last reading of the file, and what it last logged of a
// load: a load that changes nothing and finds what the last one logged
// is not logged again within kQuietSeconds. Taken by loads and by
// udf_settings() only, never by a call that finds the settings loaded.
constexpr long long kQuietSeconds = 60;
struct LoadState {
  std::mutex lock;
  LoadRecord record;
  std::optional<std::vector<std::string>> logged;  // warnings of the last load logged
  long long logged_at = 0;                         // steady seconds
};
LoadState& load_state() {
  static LoadState state;
  return state;
}

// The record of a reading; what to log of it: nothing, one [Note] that
// it changed nothing, or the load's lines. Called after publishing, so it
// throws nothing: without memory the record stays as it was.
enum class Report { kNone, kUnchanged, kWhole };
Report remember(const Reading& reading, bool changed) noexcept try {
  // Copied before the lock is taken; then only moved, which cannot fail.
  LoadRecord record{reading.path, std::time(nullptr),
                    reading.failure.empty() ? "loaded" : reading.failure, reading.warnings};
  std::vector<std::string> warnings = reading.warnings;
  LoadState& state = load_state();
  const std::lock_guard<std::mutex> lock(state.lock);
  state.record = std::move(record);
  if (!reading.failure.empty()) {
    state.logged.reset();  // the next load that works is told whole
    return Report::kWhole;
  }
  const long long now = steady_seconds();
  Report report = Report::kWhole;
  if (!changed && state.logged == warnings)
    report = now - state.logged_at >= kQuietSeconds ? Report::kUnchanged : Report::kNone;
  if (report != Report::kNone) {
    state.logged = std::move(warnings);
    state.logged_at = now;
  }
  return report;
} catch (...) {
  return Report::kWhole;
}

}  // namespace

LoadOutcome load_settings(bool overwrite, const char* function, const std::string& file_name,
                          const ReadFunction& read) {
  // The marker is looked at before anything else, so a loaded state costs
  // no file access.
  const bool loaded = env_get(kLoadedMarker).has_value();
  if (!overwrite && loaded) return LoadOutcome::kAlreadyLoaded;

  const Reading reading = read_file(file_name, read);
  if (!reading.failure.empty()) {
    remember(reading, false);
    log(function, Severity::kError,
        [&] { return "settings not loaded from " + reading.path + ": " + reading.failure; });
    return LoadOutcome::kFailed;
  }
  // Settings equal to those in force are not published again: a storm of
  // reloads makes no new environments. Otherwise one new environment for
  // all: a call sees the old settings or the new ones, never some of each,
  // and never the marker without the rest.
  const bool changed = !in_force(reading.values);
  if (changed) env_publish(reading.values);
  switch (remember(reading, changed)) {
    case Report::kNone: break;
    case Report::kUnchanged:
      log(function, Severity::kNote, [&] {
        return "settings read from " + reading.path + ": unchanged, nothing published";
      });
      break;
    case Report::kWhole:
      log(function, Severity::kNote, [&] { return "settings loaded from " + reading.path; });
      for (const std::string& warning : reading.warnings)
        log(function, Severity::kWarning, [&] {
          return warning.rfind("line ", 0) == 0 ? reading.path + " " + warning : warning;
        });
      break;
  }
  return LoadOutcome::kPublished;
}

LoadRecord last_load() {
  LoadState& state = load_state();
  const std::lock_guard<std::mutex> lock(state.lock);
  return state.record;
}

LoadRecord check_settings_file(const std::string& file_name) {
  const Reading reading = read_file(file_name, ::read);
  LoadRecord record{reading.path, std::time(nullptr), reading.failure, reading.warnings};
  if (reading.failure.empty())
    record.result = in_force(reading.values)
                        ? "loaded"
                        : "not in force: the file changed since it was loaded (SELECT "
                          "udf_loadini(TRUE) loads it)";
  return record;
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
