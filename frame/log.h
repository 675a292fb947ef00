// Lines of the server's error log, written as the server writes its own.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarn {

// A row's failure and a load that failed are errors; a settings file that
// others may read is a warning; a load that worked and a statement's
// summary are notes.
enum class Severity { kError, kWarning, kNote };

// One line on standard error, which the server keeps as its error log, in
// the server's own form: "2026-12-09  9:30:07 0 [ERROR] velmar: text",
// local time, the hour padded with a blank, thread 0 (a plug-in cannot see
// the connection). Written with one write, so lines of concurrent calls and
// of the server do not mix. Never throws; a line that cannot be made is
// lost.
void log_line(const char* function, Severity severity, std::string_view text) noexcept;

// The line as log_line writes it, without the line end; for tests.
std::string log_line_text(const char* function, Severity severity, std::string_view text);

// The text as it goes into a line: C0 control bytes, DEL, the C1 controls
// of UTF-8 and bytes that are not UTF-8 are written as \n, \r, \t or \xNN,
// so that no text taken from SQL, a setting or a server can start a line
// or drive a terminal; UTF-8 text stays readable, and a backslash stays as
// it is. Longer than kMaxLogText bytes (after escaping), the text is cut at
// a character and says how many bytes were left out: a whole line stays
// within PIPE_BUF (4096), which a pipe writes in one piece.
std::string log_escape(std::string_view text);
inline constexpr std::size_t kMaxLogText = 4000;

// The failure lines of one statement: the first kWritten lines of each kind
// are written, the rest only counted, so a statement of 300 rows against a
// missing host writes ten lines, not 300. Kinds past the first kKinds are
// all written (the state of a statement stays small).
class RepeatCap {
 public:
  static constexpr int kWritten = 10;
  static constexpr std::size_t kKinds = 64;

  // Whether a line of this kind is to be written; counts it when not.
  // Without memory to remember a kind, its line is written.
  bool admit(std::string_view kind) noexcept;
  // The lines counted and not written.
  long long held_back() const { return held_back_; }

 private:
  std::vector<std::pair<std::string, int>> kinds_;
  long long held_back_ = 0;
};

}  // namespace quarn
