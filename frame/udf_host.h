// The server's UDF records and calling convention, taken from the server's
// own headers (the Connector/C copy of these records has another layout).
#pragma once

#include <mysql.h>

#include <cstddef>
#include <type_traits>

static_assert(std::is_same<decltype(UDF_INIT::max_length), unsigned long>::value,
              "server headers expected: UDF_INIT.max_length is unsigned long");
static_assert(offsetof(UDF_ARGS, attributes) > offsetof(UDF_ARGS, maybe_null),
              "server headers expected: UDF_ARGS carries attributes");
static_assert(STRING_RESULT == 0 && INT_RESULT == 2, "result-type codes");

namespace quarn {

// Both buffers the server hands over hold 255 bytes, terminator included.
constexpr std::size_t kMessageCapacity = 255;
constexpr std::size_t kResultCapacity = 255;
constexpr unsigned long kMaxResultLength = 255;

}  // namespace quarn

// Plain C names for the exported entry points.
#define QUARN_EXPORT extern "C" __attribute__((visibility("default")))
