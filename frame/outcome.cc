#include "outcome.h"

#include "format_string.h"

namespace quarn {

char* deliver(const Outcome& outcome, const ResultConvention& convention, RepeatCap* cap,
              char* result, unsigned long* length, char* is_null, char* error) {
  if (outcome.log_line() && (cap == nullptr || cap->admit(outcome.repeat_kind())))
    log_line(convention.function, Severity::kError, *outcome.log_line());
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
