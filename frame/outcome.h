// What one call of a string function gives the server, and how it is
// handed over: the same for every plug-in.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "log.h"

namespace quarn {

class Outcome {
 public:
  // The text as the row's value; nothing logged.
  static Outcome value(const char* fixed) { return Outcome(fixed); }
  static Outcome value(std::string built) { return Outcome(nullptr, std::move(built)); }
  // A failure: the text as the row's value and as a line of the error log,
  // or another line where the log needs more than the value says.
  static Outcome failure(const char* fixed) { return failure(fixed, fixed); }
  static Outcome failure(const char* fixed, std::string log_line) {
    Outcome outcome(fixed);
    outcome.log_line_ = std::move(log_line);
    return outcome;
  }
  static Outcome failure(std::string built) {
    Outcome outcome(nullptr, built);
    outcome.log_line_ = std::move(built);
    return outcome;
  }
  static Outcome failure(std::string built, std::string log_line) {
    Outcome outcome(nullptr, std::move(built));
    outcome.log_line_ = std::move(log_line);
    return outcome;
  }
  // SQL NULL for a failure, which the log line tells; the result buffer
  // left alone.
  static Outcome null_failure(std::string log_line) {
    Outcome outcome = null();
    outcome.log_line_ = std::move(log_line);
    return outcome;
  }
  // SQL NULL, the result buffer left alone.
  static Outcome null() {
    Outcome outcome(nullptr);
    outcome.is_null_ = true;
    return outcome;
  }
  // NULL with the error flag: a call that could not be carried out (an
  // exception). A fixed text needs no allocation, so even exhausted memory
  // can be reported; it goes into the result buffer, never to the log.
  static Outcome exception(const char* fixed = nullptr) {
    Outcome outcome(fixed);
    outcome.is_null_ = true;
    outcome.error_ = true;
    return outcome;
  }

  // The text for the result buffer; nullptr: the buffer is left alone.
  const char* text() const { return built_ ? built_->c_str() : fixed_; }
  bool is_null() const { return is_null_; }
  bool error() const { return error_; }
  const std::optional<std::string>& log_line() const { return log_line_; }
  // What makes two failure lines the same kind for a statement's RepeatCap:
  // the line itself unless set.
  const std::string& repeat_kind() const { return repeat_kind_ ? *repeat_kind_ : *log_line_; }
  Outcome&& repeat_as(std::string kind) && {
    repeat_kind_ = std::move(kind);
    return std::move(*this);
  }

 private:
  explicit Outcome(const char* fixed, std::optional<std::string> built = std::nullopt)
      : fixed_(fixed), built_(std::move(built)) {}

  const char* fixed_;
  std::optional<std::string> built_;
  bool is_null_ = false;
  bool error_ = false;
  std::optional<std::string> log_line_;  // without line end
  std::optional<std::string> repeat_kind_;
};

struct ResultConvention {
  std::size_t capacity;      // of the result buffer, terminator included
  const char* function;      // the SQL function's name, in its log lines
  bool unstorable_is_error;  // a text the formatter fails on also sets the error flag
  // Stored with NULL and the error flag when a call throws; nullptr leaves
  // the buffer alone. Fixed, so it needs no memory.
  const char* exception_text = nullptr;
};

// Logs the outcome's line as an [ERROR] (unless the statement's cap, when
// there is one, holds it back), stores its text (cut to capacity - 1
// characters) and raises the flags it asks for; flags already set stay
// set. A text that cannot be stored gives NULL. Returns result.
char* deliver(const Outcome& outcome, const ResultConvention& convention, RepeatCap* cap,
              char* result, unsigned long* length, char* is_null, char* error);

// The outcome of a call that threw: the convention's exception text, NULL
// and the error flag. Allocates nothing.
char* deliver_exception(const ResultConvention& convention, char* result, unsigned long* length,
                        char* is_null, char* error) noexcept;

// A string function's main entry from start to end: the call, then its
// outcome delivered, its line held back by the statement's cap (nullptr:
// none). An exception anywhere on the way, the log line's included, becomes
// deliver_exception: nothing reaches the server.
template <class Call>
char* answer(const ResultConvention& convention, RepeatCap* cap, char* result,
             unsigned long* length, char* is_null, char* error, Call&& call) noexcept {
  try {
    return deliver(call(), convention, cap, result, length, is_null, error);
  } catch (...) {
    return deliver_exception(convention, result, length, is_null, error);
  }
}

}  // namespace quarn
