// Bounded printf into a server-owned buffer.
#pragma once

#include <cstddef>

namespace quarn {

// Formats into buffer, never writing past capacity bytes; the stored text is
// always terminated when capacity > 0. Returns the number of characters
// stored when the whole text fitted, otherwise (capacity 0 or text cut) the
// length the whole text would have had. Negative means an invalid format.
int format_string(char* buffer, std::size_t capacity, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Stores text into a result buffer with "%s" and reports the length the
// server should use: the formatter's count, capped at capacity - 1.
// Returns a negative value when the formatter failed.
long store_text(char* result, std::size_t capacity, const char* text);

}  // namespace quarn
