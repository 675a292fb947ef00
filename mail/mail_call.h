// The work of one velmar call, apart from the server's buffers.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "message.h"
#include "outcome.h"
#include "settings_snapshot.h"
#include "smtp_session.h"
#include "udf_host.h"

namespace quarn::mail {

// Refusal texts of velmar_init.
extern const char kArgCountMessage[];
extern const char kArgTypeMessage[];

// The names of the arguments after the fifth, in any letter case.
enum class Option { kCc, kBcc, kReplyTo, kAttachment, kAttachmentName, kText, kImportance };

// Result texts of velmar.
extern const char kNoHost[];
extern const char kNoUser[];
extern const char kNoPassword[];
extern const char kNoPort[];
extern const char kBadSecurity[];
extern const char kBadAuth[];
extern const char kPortOutOfRange[];
extern const char kBadHelo[];
extern const char kNoTo[];
extern const char kNoFrom[];
extern const char kSubjectLineBreak[];
extern const char kAttachmentNameLineBreak[];
extern const char kBadImportance[];
extern const char kTooLarge[];
extern const char kSent[];
extern const char kSendError[];
extern const char kException[];

// Checks the argument list at init; nullptr when accepted, else the
// refusal text (which may sit in a buffer of this thread's, good until its
// next call). Four strings, then is_html, then arguments named by their
// alias (`expr AS cc`): each option once, except that attachment and
// attachment_name come in pairs as often as wanted (an attachment_name
// belongs to the attachment before it and may be left out). Accepted, a
// fifth argument is asked for as an integer and every named one as a
// string (the server gives a number as its text).
const char* check_arguments(UDF_ARGS& args);

// The option argument i names (its alias, or for an argument without one
// the server's text of the expression: a column's name, a quoted literal);
// nullopt when none.
std::optional<Option> option_of(const UDF_ARGS& args, unsigned i);

using quarn::SettingsSnapshot;

// Reads UDF_SMTPHOST, UDF_SMTPAUTH, UDF_SMTPUSER, UDF_SMTPPASSWORD and
// UDF_SMTPPORT in this order. On the first missing one, *missing gets its
// message; an auth value that is neither login nor none gets kBadAuth
// (missing is login), and with none the user and the password are not
// needed. Then UDF_SMTPTIMEOUT, UDF_SMTPSECURITY, UDF_SMTPCAFILE and
// UDF_SMTPHELO, which may be missing; a security value that is none of the
// three gets kBadSecurity, a port outside the table's range
// kPortOutOfRange, a client name with a blank or a byte outside printable
// ASCII kBadHelo. The call reads its settings here, from one snapshot: the
// rest of the call uses this value, and a reload is never half seen.
std::optional<SmtpConfig> read_smtp_config(const SettingsSnapshot& settings, const char** missing);

// none, starttls or tls in any letter case; missing is none; nullopt for
// anything else.
std::optional<Security> parse_security(const std::optional<std::string>& text);

// login or none in any letter case; missing is login; nullopt for anything
// else.
std::optional<Auth> parse_auth(const std::optional<std::string>& text);

// Views over the server's argument buffers, which stay valid for the whole
// row call: nothing is copied before it is encoded into the message.
struct MailArgs {
  std::optional<std::string_view> to;  // nullopt: SQL NULL
  std::optional<std::string_view> from;
  std::string_view subject;  // SQL NULL gives an empty text
  std::string_view body;
  bool is_html = true;  // true unless a fifth argument is a non-NULL 0
  // The named options; nullopt when not given, NULL or (but for text)
  // empty.
  std::optional<std::string_view> cc;
  std::optional<std::string_view> bcc;
  std::optional<std::string_view> reply_to;
  std::optional<std::string_view> text;
  std::optional<std::string_view> importance;
  // Each non-NULL attachment, with its name or kDefaultAttachmentName.
  std::vector<Attachment> attachments;
};

MailArgs mail_args(const UDF_ARGS& args);

// An envelope address longer than a path may be (RFC 5321: 256 octets with
// the angle brackets; each address of a To list counts alone) is refused,
// and so is a To or From text over kMaxAddressTextBytes: its header line is
// folded, but relays cut a header past about 100 KB (Postfix's
// header_size_limit) and encoded words may take 1.7 times the text.
constexpr std::size_t kMaxAddressBytes = 254;
constexpr std::size_t kMaxAddressTextBytes = 16384;

// The whole message data (after DATA, the end line included) may hold at
// most this much, whatever the server takes.
constexpr std::size_t kMaxMessageBytes = 32u << 20;

// The refusal text for the arguments, in the order To missing, From
// missing, line breaks in To, From, Subject, Cc, Bcc, Reply-To and the
// attachment names, control characters in To, From, Cc, Bcc and Reply-To,
// an empty part or an unclosed bracket in To, one in From, then in Cc, Bcc
// and Reply-To, the lengths of To, From, Cc, Bcc and Reply-To, an importance
// that is none of the three words, and texts that alone make the message
// larger than kMaxMessageBytes; nullptr when the message may be built. An
// address argument's refusal reads "Error: '<field>' address <fault>.".
const char* refusal(const MailArgs& mail);

// The message of arguments that refusal() accepted.
MessageText message_text(const MailArgs& mail);

// What the session sends for arguments that refusal() accepted, with its
// A-label form where an address has a domain outside ASCII (a domain with
// none is refused by run_call before this); nullopt when the data would be
// larger than kMaxMessageBytes, which is known before any of it is
// written. Its data is the one copy of the texts.
std::optional<OutgoingMessage> call_message(const MailArgs& mail, const MessageStamp& stamp);

using quarn::Outcome;

// Failures go to the log as one line each.
inline constexpr ResultConvention kResultConvention{kResultCapacity, kFunctionName, false,
                                                    kException};

// What a finished session means for the call: a recorded failure is never
// "OK", even when its text is empty.
Outcome send_outcome(bool failed, std::string failure_text);

// The result and log text for a message over the server's SIZE limit.
std::string too_large_text(std::uint64_t limit);

// The whole call: settings, checks, then the message over the statement's
// kept session (a session of its own when kept is null), counted in its
// tally. Never throws; every exception becomes the NULL-with-error outcome.
Outcome run_call(const UDF_ARGS& args, const SettingsSnapshot& settings,
                 KeptSession* kept) noexcept;

// The statement's end: its session closed, its summary line logged (see
// KeptSession::finish), kept deleted. Never throws.
void end_statement(KeptSession* kept) noexcept;

}  // namespace quarn::mail
