// The entry points of the plug-ins' status functions (tarvik_status(),
// velmar_status(), udf_settings()): no arguments, and one JSON object
// longer than the result buffer, kept in initid->ptr from its row to the
// next or to deinit.
#pragma once

#include <string>

#include "udf_host.h"

namespace quarn {

// A status function's result may be this long (MEDIUMTEXT): more than its
// settings can hold.
inline constexpr unsigned long kStatusMaxLength = 16777215;

// A status function's init: no arguments. nullptr when accepted, else the
// refusal text.
inline const char* status_init(UDF_INIT& initid, const UDF_ARGS& args, const char* refusal) {
  if (args.arg_count != 0) return refusal;
  initid.maybe_null = 1;
  initid.max_length = kStatusMaxLength;
  // The counts change from row to row.
  initid.const_item = 0;
  return nullptr;
}

// A status function's main entry: the text make() gives, kept in
// initid->ptr until the next row or deinit. An exception (memory) gives
// NULL with the error flag; nothing reaches the server.
template <class Make>
char* status_answer(UDF_INIT* initid, unsigned long* length, char* is_null, char* error,
                    Make&& make) noexcept {
  try {
    auto* kept = reinterpret_cast<std::string*>(initid->ptr);
    if (kept == nullptr) {
      kept = new std::string();
      initid->ptr = reinterpret_cast<char*>(kept);
    }
    *kept = make();
    *length = kept->size();
    return kept->data();
  } catch (...) {
    *length = 0;
    *is_null = 1;
    *error = 1;
    return nullptr;
  }
}

// A status function's deinit: the kept text freed.
inline void status_end(UDF_INIT* initid) noexcept {
  delete reinterpret_cast<std::string*>(initid->ptr);
  initid->ptr = nullptr;
}

}  // namespace quarn
