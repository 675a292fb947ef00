// What one call of a string function gives the server, and how it is
// handed over: the same for every plug-in.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace quarn {

struct Outcome {
  // A fixed text needs no allocation, so even exhausted memory can be
  // reported; a text built for the call (a path, a value) goes in `built`,
  // which wins. Neither: the result buffer is left alone.
  const char* text = nullptr;
  bool is_null = false;
  bool error = false;
  std::optional<std::string> log_line;  // for the error log, without line end
  std::optional<std::string> built;
};

enum class LogEnd { kLineBreak, kNone };

// Writes one message to standard error, which the server keeps as its
// error log.
void log_error(const std::string& text, LogEnd end);

struct ResultConvention {
  std::size_t capacity;      // of the result buffer, terminator included
  LogEnd log_end;
  bool unstorable_is_error;  // a text the formatter fails on also sets the error flag
};

// Logs the outcome's line, stores its text (cut to capacity - 1 characters)
// and raises the flags it asks for; flags already set stay set. A text that
// cannot be stored gives NULL. Returns result.
char* deliver(const Outcome& outcome, const ResultConvention& convention, char* result,
              unsigned long* length, char* is_null, char* error);

}  // namespace quarn
