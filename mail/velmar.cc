// Entry points of the velmar plug-in: SQL velmar(to, from, subject,
// message [, is_html] [, value AS cc | bcc | reply_to | attachment |
// attachment_name | text | importance ...]). The statement's SMTP session
// lives in initid->ptr from init to deinit.
#include <new>

#include "env.h"
#include "format_string.h"
#include "mail_call.h"
#include "udf_host.h"

namespace {

// The statement's session, kept from row to row in initid->ptr.
quarn::mail::KeptSession* kept_session(UDF_INIT* initid) {
  return reinterpret_cast<quarn::mail::KeptSession*>(initid->ptr);
}

}  // namespace

QUARN_EXPORT my_bool velmar_init(UDF_INIT* initid, UDF_ARGS* args, char* message) {
  if (const char* refused = quarn::mail::check_arguments(*args)) {
    quarn::format_string(message, quarn::kMessageCapacity, "%s", refused);
    return 1;
  }
  initid->maybe_null = 1;
  initid->max_length = quarn::kMaxResultLength;
  // Without memory for it, each row has a session of its own.
  initid->ptr = reinterpret_cast<char*>(new (std::nothrow) quarn::mail::KeptSession());
  return 0;
}

QUARN_EXPORT char* velmar(UDF_INIT* initid, UDF_ARGS* args, char* result, unsigned long* length,
                          char* is_null, char* error) {
  *is_null = 0;
  *error = 0;
  const quarn::mail::Outcome outcome =
      quarn::mail::run_call(*args, quarn::env_get, kept_session(initid));
  return quarn::deliver(outcome, quarn::mail::kResultConvention, result, length, is_null, error);
}

// QUIT and the wait for the server's close, bounded as any session's end;
// the statement's summary line.
QUARN_EXPORT void velmar_deinit(UDF_INIT* initid) {
  quarn::mail::end_statement(kept_session(initid));
  initid->ptr = nullptr;
}
