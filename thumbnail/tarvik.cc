// Entry points of the tarvik plug-in: SQL tarvik(blob, filename, max_w, max_h).
#include "format_string.h"
#include "outcome.h"
#include "settings_snapshot.h"
#include "thumbnail_call.h"
#include "udf_host.h"

QUARN_EXPORT my_bool tarvik_init(UDF_INIT* initid, UDF_ARGS* args, char* message) {
  if (const char* refused = quarn::thumb::check_arguments(*args)) {
    quarn::format_string(message, quarn::kMessageCapacity, "%s", refused);
    return 1;
  }
  initid->maybe_null = 1;
  initid->max_length = quarn::kMaxResultLength;
  initid->const_item = 0;
  return 0;
}

QUARN_EXPORT char* tarvik(UDF_INIT*, UDF_ARGS* args, char* result, unsigned long* length,
                          char* is_null, char* error) {
  const quarn::Outcome outcome = quarn::thumb::run_call(*args, quarn::SettingsSnapshot::current());
  return quarn::deliver(outcome, quarn::thumb::kResultConvention, result, length, is_null, error);
}

QUARN_EXPORT void tarvik_deinit(UDF_INIT*) {}
