#include "format_string.h"

#include <cstdarg>
#include <cstdio>

namespace quarn {

int format_string(char* buffer, std::size_t capacity, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int stored = -1;
  bool fitted = false;
  if (capacity != 0) {
    va_list first;
    va_copy(first, args);
    stored = std::vsnprintf(buffer, capacity, format, first);
    va_end(first);
    fitted = stored >= 0 && static_cast<std::size_t>(stored) < capacity;
  }
  int result = stored;
  if (!fitted && (capacity == 0 || stored >= 0)) {
    result = std::vsnprintf(nullptr, 0, format, args);
  }
  va_end(args);
  return result;
}

long store_text(char* result, std::size_t capacity, const char* text) {
  const int written = format_string(result, capacity, "%s", text);
  if (written < 0) return -1;
  const long cap = capacity == 0 ? 0 : static_cast<long>(capacity) - 1;
  return written > cap ? cap : written;
}

}  // namespace quarn
