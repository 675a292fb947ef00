#include "outcome.h"

#include <cstdio>
#include <ctime>

#include "format_string.h"

namespace quarn {

std::string log_line_text(const char* function, const std::string& text) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  if (std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local) == 0) stamp[0] = '\0';
  return std::string(stamp) + " " + function + ": " + text;
}

void log_line(const char* function, const std::string& text) {
  const std::string line = log_line_text(function, text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

char* deliver(const Outcome& outcome, const ResultConvention& convention, char* result,
              unsigned long* length, char* is_null, char* error) {
  if (outcome.log_line()) log_line(convention.function, *outcome.log_line());
  const char* text = outcome.text();
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
  if (outcome.is_null()) *is_null = 1;
  if (outcome.error()) *error = 1;
  return result;
}

char* deliver_exception(const ResultConvention& convention, char* result, unsigned long* length,
                        char* is_null, char* error) noexcept {
  *length = 0;
  if (convention.exception_text != nullptr) {
    const long stored = store_text(result, convention.capacity, convention.exception_text);
    if (stored >= 0) *length = static_cast<unsigned long>(stored);
  }
  *is_null = 1;
  *error = 1;
  return result;
}

}  // namespace quarn
