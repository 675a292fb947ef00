#include "outcome.h"

#include <cstdio>

#include "format_string.h"

namespace quarn {

void log_error(const std::string& text, LogEnd end) {
  std::fprintf(stderr, end == LogEnd::kLineBreak ? "%s\n" : "%s", text.c_str());
}

char* deliver(const Outcome& outcome, const ResultConvention& convention, char* result,
              unsigned long* length, char* is_null, char* error) {
  if (outcome.log_line) log_error(*outcome.log_line, convention.log_end);
  const char* text = outcome.built ? outcome.built->c_str() : outcome.text;
  *length = 0;
  if (text != nullptr) {
    const long stored = store_text(result, convention.capacity, text);
    if (stored >= 0) {
      *length = static_cast<unsigned long>(stored);
    } else {
      *is_null = 1;
      if (convention.unstorable_is_error) *error = 1;
    }
  }
  if (outcome.is_null) *is_null = 1;
  if (outcome.error) *error = 1;
  return result;
}

}  // namespace quarn
