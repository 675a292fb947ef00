// The settings file: read, parsed as inih parses it and published into the
// environment, by udf_loadini and by any call that finds the settings not
// loaded; compiled into every plug-in.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "settings_snapshot.h"
#include "settings_table.h"

namespace quarn::settings {

// The settings file, looked for in the server's working directory only.
constexpr char kFileName[] = "quarn_udf.ini";
// Present in the environment once all settings have been published.
constexpr const char* kLoadedMarker = setting::kErrorLog.name;
// A settings file is a page of text; anything larger is refused unread.
constexpr std::size_t kMaxFileBytes = 1u << 20;
// A call that finds the settings not loaded loads them itself, but a
// plug-in tries that at most once in this time: a missing file gives one
// line a minute while calls run, not one per row.
constexpr long long kAutoLoadRetrySeconds = 60;

// A number as the INI library reads it, written back as decimal text.
std::string number_text(long number);

// At most this many lines of a settings file are named as faulty in one
// load; a last warning says where the naming stopped.
constexpr std::size_t kMaxLineWarnings = 20;

// The entries of a settings file as inih's INIReader keeps them, with its
// Get and GetInteger: sections and names in any letter case; the values of
// an entry given more than once, or continued on indented lines, joined by
// line feeds.
class IniEntries {
 public:
  // Parses the bytes as INIReader parses a file that holds them. Throws
  // std::bad_alloc when memory runs out.
  explicit IniEntries(std::string_view text);
  // 0, the number of the first malformed line (as inih counts lines: a line
  // cut at its length limit counts for two), or below 0 when inih failed.
  int ParseError() const { return error_; }
  // What is wrong with the lines of `text` (the bytes parsed), in the
  // order of the file, each "line N: ..." with N as an editor counts lines:
  // every line inih skipped as malformed, every line longer than it reads
  // (the setting that lost bytes, and how many) and every line with a NUL
  // byte, at most kMaxLineWarnings of them and then where the naming
  // stopped. The malformed lines are those inih reports, found by parsing
  // again with each reported line blanked, a bounded number of times.
  std::vector<std::string> warnings(std::string_view text) const;
  // The value, or default_value when the entry is absent.
  std::string Get(const std::string& section, const std::string& name,
                  const std::string& default_value) const;
  // The value's leading number (strtol with base 0), or default_value when
  // it has none.
  long GetInteger(const std::string& section, const std::string& name, long default_value) const;

 private:
  // A physical line that inih read in pieces, or that holds a NUL byte.
  struct LineFault {
    LineFault(int line, int piece) : line(line), piece(piece) {}
    int line;           // as an editor counts
    int piece;          // inih's line number of its first piece, from 1
    int pieces = 1;     // how many pieces inih read it as
    std::size_t lost = 0;  // of a cut line: the bytes after its first piece, line end aside
    bool nul = false;      // a NUL byte rather than a cut
    std::string setting;   // what the piece set: "[section] name"; empty if nothing
  };
  static int keep(void* user, const char* section, const char* name, const char* value) noexcept;
  // The physical line of inih's piece, and whether it is not the first
  // piece of its line.
  std::pair<int, bool> line_of(int piece) const;
  std::map<std::string, std::string> values_;
  std::vector<LineFault> faults_;  // in the order of the file
  // While a piece is parsed: the faults (indices) whose setting it names.
  std::vector<std::size_t> naming_;
  int lines_ = 0;        // physical lines in the text
  int piece_limit_ = 0;  // the most bytes inih reads of a line at once
  friend struct PieceReader;
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
  kFailed,         // nothing changed; the reason is logged
  kPublished,      // the file's settings are in force: published, or in force already
};

// Publishes the file's settings into the environment, all at once, unless
// they are loaded already and overwrite is not requested. Only a regular
// file (or a link to one) of at most kMaxFileBytes is read, whole, and only
// published when it stayed the same file throughout: the same inode, size
// and modification time before the first read as after the last, on the
// open file and at the path.
// A file whose settings equal those in force publishes nothing.
// Logged as `function`'s lines, the file named by its full path: a failure
// as an [ERROR] with the reason; a load as a [Note], followed by a
// [Warning] for each faulty line (IniEntries::warnings) and one when the
// file holds a secret (smtp-password) that every user of the machine may
// read (loaded all the same). A load that changed nothing and found the
// same faults as this plug-in's last logged load logs at most one [Note] a
// minute, so a storm of reloads does not fill the log. function nullptr:
// nothing logged.
LoadOutcome load_settings(bool overwrite, const char* function = "udf_loadini",
                          const std::string& file_name = kFileName,
                          const ReadFunction& read = ::read);

// The last reading of the settings file by this plug-in, for udf_settings().
struct LoadRecord {
  std::string path;                    // from the root
  std::optional<std::time_t> read_at;  // nullopt: this plug-in has not read it
  std::string result;                  // "loaded", or why the file was not loaded
  std::vector<std::string> warnings;   // the load's [Warning] texts, path aside
};
LoadRecord last_load();

// Reads the file as a load does, but publishes and logs nothing: result
// "loaded" when its settings are those in force, a sentence saying they
// are not, or why it cannot be read.
LoadRecord check_settings_file(const std::string& file_name = kFileName);

// The settings a call of `function` works with. When none are loaded (no
// marker), the file is loaded first, as udf_loadini() without argument
// would, unless this plug-in tried within kAutoLoadRetrySeconds or has
// published the file on a call's behalf before (a file with an empty
// error-log leaves no marker); loads of concurrent calls wait for the one
// under way. Throws std::bad_alloc.
SettingsSnapshot settings_in_force(const char* function);

// The same for a call that reads the environment otherwise
// (udf_getenvvar).
void load_unless_loaded(const char* function);

// For tests: as if this plug-in's last load on a call's behalf had been
// that many seconds earlier.
void backdate_auto_load(long long seconds);

}  // namespace quarn::settings
