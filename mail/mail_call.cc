#include "mail_call.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "ascii.h"
#include "message.h"
#include "settings_table.h"
#include "smtp_session.h"
#include "tls.h"

namespace quarn::mail {

const char kArgCountMessage[] =
    "EMAIL() requires To address, From address, Subject line, Message, and is HTML.";
const char kArgTypeMessage[] =
    "EMAIL() requires To address, From address, Subject, Message, and is HTML.";

const char kNoHost[] = "Error: SMTP Server Not Specified";
const char kNoUser[] = "Error: SMTP Server User Not Specified";
const char kNoPassword[] = "Error: SMTP Server Password Not Specified";
const char kNoPort[] = "Error: SMTP Port Not Specified";
const char kBadSecurity[] = "Error: smtp-security must be none, starttls or tls.";
const char kPortOutOfRange[] = "Error: SMTP port out of range (1-65535).";
const char kBadHelo[] = "Error: smtp-helo must be a host name or an address literal.";
const char kNoTo[] = "Error: No 'To' address specified.";
const char kNoFrom[] = "Error: No 'From' address specified.";
const char kToEmptyPart[] = "Error: 'To' address list has an empty part.";
const char kToUnclosed[] = "Error: 'To' address has an unclosed bracket or quote.";
const char kFromUnclosed[] = "Error: 'From' address has an unclosed bracket or quote.";
const char kToLineBreak[] = "Error: 'To' address contains a line break.";
const char kFromLineBreak[] = "Error: 'From' address contains a line break.";
const char kToControl[] = "Error: 'To' address contains a control character.";
const char kFromControl[] = "Error: 'From' address contains a control character.";
const char kSubjectLineBreak[] = "Error: Subject contains a line break.";
const char kToTooLong[] = "Error: 'To' address is too long.";
const char kFromTooLong[] = "Error: 'From' address is too long.";
const char kSent[] = "OK";
const char kSendError[] = "There was an error sending the message.";
const char kException[] = "An exception was thrown.";

const char* check_arguments(UDF_ARGS& args) {
  if (args.arg_count < 4 || args.arg_count > 5) return kArgCountMessage;
  for (unsigned i = 0; i < 4; ++i) {
    if (args.arg_type[i] != STRING_RESULT) return kArgTypeMessage;
  }
  if (args.arg_count == 5) args.arg_type[4] = INT_RESULT;
  args.maybe_null[0] = 0;
  args.maybe_null[1] = 0;
  args.maybe_null[2] = 1;
  args.maybe_null[3] = 1;
  if (args.arg_count == 5) args.maybe_null[4] = 1;
  return nullptr;
}

std::optional<std::uint16_t> parse_port(const std::string& text) {
  // strtol saturates far outside the range, so that stays outside too.
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value < 1 || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

namespace {

bool printable_word(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

}  // namespace

std::optional<SmtpConfig> read_smtp_config(const EnvReader& env, const char** missing) {
  const auto host = env(setting::kSmtpHost.name);
  if (!host) return *missing = kNoHost, std::nullopt;
  const auto user = env(setting::kSmtpUser.name);
  if (!user) return *missing = kNoUser, std::nullopt;
  const auto password = env(setting::kSmtpPassword.name);
  if (!password) return *missing = kNoPassword, std::nullopt;
  const auto port = env(setting::kSmtpPort.name);
  if (!port) return *missing = kNoPort, std::nullopt;
  const auto security = parse_security(env(setting::kSmtpSecurity.name));
  if (!security) return *missing = kBadSecurity, std::nullopt;
  const auto port_number = parse_port(*port);
  if (!port_number) return *missing = kPortOutOfRange, std::nullopt;
  SmtpConfig config;
  config.host = *host;
  config.user = *user;
  config.password = *password;
  config.port = *port_number;
  config.timeout = parse_timeout(env(setting::kSmtpTimeout.name));
  config.security = *security;
  config.ca_file = env(setting::kSmtpCaFile.name).value_or(std::string());
  config.helo = env(setting::kSmtpHelo.name).value_or(std::string());
  if (config.helo.size() > 255 || !printable_word(config.helo))
    return *missing = kBadHelo, std::nullopt;
  return config;
}

std::optional<Security> parse_security(const std::optional<std::string>& text) {
  if (!text) return Security::kNone;
  const std::string lower = ascii_lowercase(*text);
  if (lower == "none") return Security::kNone;
  if (lower == "starttls") return Security::kStartTls;
  if (lower == "tls") return Security::kTls;
  return std::nullopt;
}

std::chrono::seconds parse_timeout(const std::optional<std::string>& text) {
  const long fallback = std::strtol(setting::kSmtpTimeout.default_value, nullptr, 10);
  if (!text) return std::chrono::seconds(fallback);
  char* end = nullptr;
  const long value = std::strtol(text->c_str(), &end, 0);
  if (end == text->c_str() || value < setting::kSmtpTimeout.lowest ||
      value > setting::kSmtpTimeout.highest)
    return std::chrono::seconds(fallback);
  return std::chrono::seconds(value);
}

namespace {

bool has_line_break(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

// Below 0x20 and DEL: a NUL ends the address for servers written in C.
bool has_control(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
  });
}

}  // namespace

MailArgs mail_args(const UDF_ARGS& args) {
  MailArgs mail;
  mail.to = text_argument(args, 0);
  mail.from = text_argument(args, 1);
  mail.subject = text_argument(args, 2).value_or(std::string());
  mail.body = text_argument(args, 3).value_or(std::string());
  mail.is_html = args.arg_count <= 4 || args.args[4] == nullptr || integer_argument(args, 4) != 0;
  return mail;
}

const char* refusal(const MailArgs& mail) {
  if (!mail.to || mail.to->empty()) return kNoTo;
  if (!mail.from) return kNoFrom;  // an empty From is a valid null sender
  // A CR or LF would let the caller add SMTP commands or header lines.
  if (has_line_break(*mail.to)) return kToLineBreak;
  if (has_line_break(*mail.from)) return kFromLineBreak;
  if (has_line_break(mail.subject)) return kSubjectLineBreak;
  if (has_control(*mail.to)) return kToControl;
  if (has_control(*mail.from)) return kFromControl;
  const Addresses to = recipient_addresses(*mail.to);
  if (to.problem == AddressProblem::kEmptyPart) return kToEmptyPart;
  if (to.problem == AddressProblem::kUnclosed) return kToUnclosed;
  const Addresses from = sender_address(*mail.from);
  if (from.problem == AddressProblem::kUnclosed) return kFromUnclosed;
  const auto too_long = [](const Addresses& list) {
    return std::any_of(list.addresses.begin(), list.addresses.end(),
                       [](const std::string& address) { return address.size() > kMaxAddressBytes; });
  };
  if (mail.to->size() > kMaxAddressTextBytes || too_long(to)) return kToTooLong;
  if (mail.from->size() > kMaxAddressTextBytes || too_long(from)) return kFromTooLong;
  return nullptr;
}

Outcome send_outcome(bool failed, std::string failure_text) {
  if (!failed) return Outcome::value(kSent);
  return Outcome::failure(kSendError, std::move(failure_text));
}

std::string too_large_text(std::uint64_t limit) {
  return "Error: The message is larger than the server accepts (" + std::to_string(limit) +
         " bytes).";
}

Outcome run_call(const UDF_ARGS& args, const EnvReader& env, KeptSession* kept) noexcept {
  try {
    const char* missing = nullptr;
    const auto config = read_smtp_config(env, &missing);
    if (!config) return Outcome::failure(missing);

    MailArgs mail = mail_args(args);
    if (const char* refused = refusal(mail)) return Outcome::failure(refused);
    const MessageStamp stamp = new_stamp(mail.from.value_or(std::string()));
    const OutgoingMessage message = outgoing_message(
        {std::move(*mail.from), std::move(*mail.to), std::move(mail.subject),
         std::move(mail.body), mail.is_html},
        stamp);

    KeptSession own;
    const SendResult result = (kept ? *kept : own).send(*config, message);
    if (result.status == SendResult::Status::kTooLarge)
      return Outcome::failure(too_large_text(result.size_limit));
    return send_outcome(!result.delivered(),
                        server_label(config->host, config->port) + ": " + result.failure_text);
  } catch (...) {
    return Outcome::exception(kException);
  }
}

}  // namespace quarn::mail
