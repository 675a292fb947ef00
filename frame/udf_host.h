// The server's UDF records and calling convention, taken from the server's
// own headers (the Connector/C copy of these records has another layout).
#pragma once

#include <mysql.h>

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>

#include "format_string.h"

static_assert(std::is_same<decltype(UDF_INIT::max_length), unsigned long>::value,
              "server headers expected: UDF_INIT.max_length is unsigned long");
static_assert(offsetof(UDF_ARGS, attributes) > offsetof(UDF_ARGS, maybe_null),
              "server headers expected: UDF_ARGS carries attributes");
static_assert(STRING_RESULT == 0 && INT_RESULT == 2, "result-type codes");

namespace quarn {

// The init message buffer holds MYSQL_ERRMSG_SIZE (512) bytes; refusals use
// the 255 that the UDF interface has always promised (the client shows
// about 80 of them anyway). The result buffer of a string function holds
// at least 255 bytes, the most a result may declare as max_length here.
constexpr std::size_t kMessageCapacity = 255;
static_assert(MYSQL_ERRMSG_SIZE >= kMessageCapacity, "the server's init message buffer");
constexpr std::size_t kResultCapacity = 255;
constexpr unsigned long kMaxResultLength = kResultCapacity;

// An argument the server hands over as INT_RESULT: a signed 64-bit integer
// at args[i], not necessarily aligned. The caller has checked for NULL.
inline long long integer_argument(const UDF_ARGS& args, unsigned i) {
  long long value = 0;
  std::memcpy(&value, args.args[i], sizeof value);
  return value;
}

// A STRING_RESULT argument: exactly lengths[i] bytes, not terminated;
// nullopt for SQL NULL.
inline std::optional<std::string> text_argument(const UDF_ARGS& args, unsigned i) {
  if (args.args[i] == nullptr) return std::nullopt;
  return std::string(args.args[i], args.lengths[i]);
}

// An init entry from start to end: check() accepts (nullptr) or gives the
// refusal text. Should it throw (only memory can run out), the statement is
// refused with "NAME() could not start: out of memory.", `name` being the
// function's name in refusals. Nothing reaches the server.
template <class Check>
my_bool init_entry(char* message, const char* name, Check&& check) noexcept {
  const char* refused = nullptr;
  try {
    refused = check();
  } catch (...) {
    format_string(message, kMessageCapacity, "%s() could not start: out of memory.", name);
    return 1;
  }
  if (refused == nullptr) return 0;
  format_string(message, kMessageCapacity, "%s", refused);
  return 1;
}

}  // namespace quarn

// Plain C names for the exported entry points.
#define QUARN_EXPORT extern "C" __attribute__((visibility("default")))
