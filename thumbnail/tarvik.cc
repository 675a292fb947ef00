// Entry points of the tarvik plug-in: SQL tarvik(blob, filename, max_w, max_h),
// which writes the thumbnail into a file, tarvik_jpeg(blob, max_w, max_h),
// which returns it, and tarvik_status(). The statement's state (the cap on
// repeated failure lines; tarvik_jpeg's value; the status text) lives in
// initid->ptr from init to deinit.
#include <new>

#include "jpeg_call.h"
#include "log.h"
#include "outcome.h"
#include "package_version.h"
#include "settings_file.h"
#include "status_entry.h"
#include "tarvik_status.h"
#include "thumbnail_call.h"
#include "udf_host.h"

namespace {

quarn::RepeatCap* repeat_cap(UDF_INIT* initid) {
  return reinterpret_cast<quarn::RepeatCap*>(initid->ptr);
}

quarn::thumb::JpegStatement* jpeg_statement(UDF_INIT* initid) {
  return reinterpret_cast<quarn::thumb::JpegStatement*>(initid->ptr);
}

}  // namespace

QUARN_EXPORT my_bool tarvik_init(UDF_INIT* initid, UDF_ARGS* args, char* message) {
  return quarn::init_entry(message, "THUMBNAIL", [&]() -> const char* {
    if (const char* refused = quarn::thumb::check_arguments(*args)) return refused;
    initid->maybe_null = 1;
    initid->max_length = quarn::kMaxResultLength;
    initid->const_item = 0;
    // Without memory for it, every failure line is written.
    initid->ptr = reinterpret_cast<char*>(new (std::nothrow) quarn::RepeatCap());
    return nullptr;
  });
}

QUARN_EXPORT char* tarvik(UDF_INIT* initid, UDF_ARGS* args, char* result,
                          unsigned long* length, char* is_null, char* error) {
  return quarn::answer(quarn::thumb::kResultConvention, repeat_cap(initid), result, length,
                       is_null, error, [&] {
                         return quarn::thumb::counted([&] {
                           return quarn::thumb::run_call(
                               *args, quarn::settings::settings_in_force("tarvik"));
                         });
                       });
}

QUARN_EXPORT void tarvik_deinit(UDF_INIT* initid) {
  quarn::thumb::end_statement(repeat_cap(initid));
  initid->ptr = nullptr;
}

QUARN_EXPORT my_bool tarvik_jpeg_init(UDF_INIT* initid, UDF_ARGS* args, char* message) {
  return quarn::init_entry(message, "TARVIK_JPEG", [&]() -> const char* {
    if (const char* refused = quarn::thumb::check_jpeg_arguments(*args)) return refused;
    initid->maybe_null = 1;
    // A length beyond a TEXT's makes the server type the value as a BLOB.
    initid->max_length = quarn::thumb::kMaxJpegResult;
    initid->const_item = 0;
    initid->ptr = reinterpret_cast<char*>(new quarn::thumb::JpegStatement());
    return nullptr;
  });
}

QUARN_EXPORT char* tarvik_jpeg(UDF_INIT* initid, UDF_ARGS* args, char* result,
                               unsigned long* length, char* is_null, char* error) {
  return quarn::thumb::answer_jpeg(jpeg_statement(initid), *args, result, length, is_null, error);
}

QUARN_EXPORT void tarvik_jpeg_deinit(UDF_INIT* initid) {
  quarn::thumb::end_jpeg_statement(jpeg_statement(initid));
  initid->ptr = nullptr;
}

QUARN_EXPORT my_bool tarvik_status_init(UDF_INIT* initid, UDF_ARGS* args, char* message) {
  return quarn::init_entry(message, "TARVIK_STATUS", [&] {
    return quarn::status_init(*initid, *args, "TARVIK_STATUS() takes no arguments");
  });
}

QUARN_EXPORT char* tarvik_status(UDF_INIT* initid, UDF_ARGS*, char*, unsigned long* length,
                                 char* is_null, char* error) {
  return quarn::status_answer(initid, length, is_null, error, [] {
    return quarn::thumb::status_json(quarn::kPackageVersion,
                                     quarn::settings::settings_in_force("tarvik_status"));
  });
}

QUARN_EXPORT void tarvik_status_deinit(UDF_INIT* initid) { quarn::status_end(initid); }
