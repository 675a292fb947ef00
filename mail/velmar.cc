// Entry points of the velmar plug-in: SQL velmar(to, from, subject,
// message [, is_html] [, value AS cc | bcc | reply_to | attachment |
// attachment_name | text | importance ...]). The statement's SMTP session
// lives in initid->ptr from init to deinit. And velmar_status().
#include <new>

#include "mail_call.h"
#include "outcome.h"
#include "package_version.h"
#include "settings_file.h"
#include "status_entry.h"
#include "udf_host.h"
#include "velmar_status.h"

namespace {

// The statement's session, kept from row to row in initid->ptr.
quarn::mail::KeptSession* kept_session(UDF_INIT* initid) {
  return reinterpret_cast<quarn::mail::KeptSession*>(initid->ptr);
}

}  // namespace

QUARN_EXPORT my_bool velmar_init(UDF_INIT* initid, UDF_ARGS* args, char* message) {
  return quarn::init_entry(message, "EMAIL", [&]() -> const char* {
    if (const char* refused = quarn::mail::check_arguments(*args)) return refused;
    initid->maybe_null = 1;
    initid->max_length = quarn::kMaxResultLength;
    // Without memory for it, each row has a session of its own.
    initid->ptr = reinterpret_cast<char*>(new (std::nothrow) quarn::mail::KeptSession());
    return nullptr;
  });
}

QUARN_EXPORT char* velmar(UDF_INIT* initid, UDF_ARGS* args, char* result, unsigned long* length,
                          char* is_null, char* error) {
  *is_null = 0;
  *error = 0;
  quarn::mail::KeptSession* kept = kept_session(initid);
  return quarn::answer(quarn::mail::kResultConvention, kept ? &kept->log_cap() : nullptr, result,
                       length, is_null, error, [&] {
                         return quarn::mail::run_call(
                             *args, quarn::settings::settings_in_force("velmar"), kept);
                       });
}

// QUIT and the wait for the server's close, bounded as any session's end;
// the statement's summary line. end_statement lets nothing out.
QUARN_EXPORT void velmar_deinit(UDF_INIT* initid) {
  quarn::mail::end_statement(kept_session(initid));
  initid->ptr = nullptr;
}

QUARN_EXPORT my_bool velmar_status_init(UDF_INIT* initid, UDF_ARGS* args, char* message) {
  return quarn::init_entry(message, "VELMAR_STATUS", [&] {
    return quarn::status_init(*initid, *args, "VELMAR_STATUS() takes no arguments");
  });
}

QUARN_EXPORT char* velmar_status(UDF_INIT* initid, UDF_ARGS*, char*, unsigned long* length,
                                 char* is_null, char* error) {
  return quarn::status_answer(initid, length, is_null, error,
                              [] { return quarn::mail::status_json(quarn::kPackageVersion); });
}

QUARN_EXPORT void velmar_status_deinit(UDF_INIT* initid) { quarn::status_end(initid); }
