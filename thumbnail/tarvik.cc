// Entry points of the tarvik plug-in: SQL tarvik(blob, filename, max_w, max_h).
#include "outcome.h"
#include "settings_snapshot.h"
#include "thumbnail_call.h"
#include "udf_host.h"

QUARN_EXPORT my_bool tarvik_init(UDF_INIT* initid, UDF_ARGS* args, char* message) {
  return quarn::init_entry(message, "THUMBNAIL", [&]() -> const char* {
    if (const char* refused = quarn::thumb::check_arguments(*args)) return refused;
    initid->maybe_null = 1;
    initid->max_length = quarn::kMaxResultLength;
    initid->const_item = 0;
    return nullptr;
  });
}

QUARN_EXPORT char* tarvik(UDF_INIT*, UDF_ARGS* args, char* result, unsigned long* length,
                          char* is_null, char* error) {
  return quarn::answer(quarn::thumb::kResultConvention, result, length, is_null, error, [&] {
    return quarn::thumb::run_call(*args, quarn::SettingsSnapshot::current());
  });
}

QUARN_EXPORT void tarvik_deinit(UDF_INIT*) {}
