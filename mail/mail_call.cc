#include "mail_call.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

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
const char kNoTo[] = "Error: No 'To' address specified.";
const char kNoFrom[] = "Error: No 'From' address specified.";
const char kToEmptyPart[] = "Error: 'To' address list has an empty part.";
const char kToUnclosed[] = "Error: 'To' address has an unclosed bracket or quote.";
const char kFromUnclosed[] = "Error: 'From' address has an unclosed bracket or quote.";
const char kToLineBreak[] = "Error: 'To' address contains a line break.";
const char kFromLineBreak[] = "Error: 'From' address contains a line break.";
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

std::uint32_t parse_port(const std::string& text) {
  // glibc's atoi is (int) strtol; spelled out so that huge numbers wrap
  // instead of being undefined.
  const long value = std::strtol(text.c_str(), nullptr, 10);
  return static_cast<std::uint32_t>(static_cast<int>(value));
}

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
  return SmtpConfig{*host,
                    *user,
                    *password,
                    parse_port(*port),
                    parse_timeout(env(setting::kSmtpTimeout.name)),
                    *security,
                    env(setting::kSmtpCaFile.name).value_or(std::string())};
}

std::optional<Security> parse_security(const std::optional<std::string>& text) {
  if (!text) return Security::kNone;
  std::string lower = *text;
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
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

std::optional<std::string> nullable_text(const UDF_ARGS& args, unsigned i) {
  if (args.args[i] == nullptr) return std::nullopt;
  return std::string(args.args[i], args.lengths[i]);
}

bool has_line_break(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

}  // namespace

MailArgs mail_args(const UDF_ARGS& args) {
  MailArgs mail;
  mail.to = nullable_text(args, 0);
  mail.from = nullable_text(args, 1);
  mail.subject = nullable_text(args, 2).value_or(std::string());
  mail.body = nullable_text(args, 3).value_or(std::string());
  mail.is_html = true;
  if (args.arg_count > 4 && args.args[4] != nullptr) {
    long long flag = 0;
    std::memcpy(&flag, args.args[4], sizeof flag);
    mail.is_html = flag != 0;
  }
  return mail;
}

const char* refusal(const MailArgs& mail) {
  if (!mail.to || mail.to->empty()) return kNoTo;
  if (!mail.from) return kNoFrom;  // an empty From is a valid null sender
  // A CR or LF would let the caller add SMTP commands or header lines.
  if (has_line_break(*mail.to)) return kToLineBreak;
  if (has_line_break(*mail.from)) return kFromLineBreak;
  if (has_line_break(mail.subject)) return kSubjectLineBreak;
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
  if (!failed) return {kSent, false, false, std::nullopt, std::nullopt};
  return {kSendError, false, false, std::move(failure_text), std::nullopt};
}

Outcome run_call(const UDF_ARGS& args, const EnvReader& env) noexcept {
  try {
    const char* missing = nullptr;
    std::optional<SmtpConfig> config;
    {
      // One hold for all settings: a reload publishes all at once, so they
      // come from one file (never the new password for the old host).
      EnvReadHold one_generation;
      config = read_smtp_config(env, &missing);
    }
    if (!config) return {missing, false, false, std::string(missing), std::nullopt};

    MailArgs mail = mail_args(args);
    // Before the session, which holds the environment lock for reading
    // during its lookup: a second hold on one thread waits behind a queued
    // writer for ever. The stamp reads the time zone and the TLS context's
    // loading reads OpenSSL's variables, each under a hold of its own.
    const MessageStamp stamp = new_stamp(mail.from.value_or(std::string()));
    TlsOptions tls{config->security, nullptr};
    if (tls.security != Security::kNone) {
      std::string why;
      tls.context = tls_context(config->ca_file, &why);
      if (!tls.context) return send_outcome(true, why);
    }

    // Created before the arguments are judged: the lookup of the server
    // runs meanwhile, and a refused call waits for it as the session ends.
    SmtpSession session(config->host, config->port, config->user, config->password,
                        config->timeout, kCloseWait, std::move(tls));
    if (const char* refused = refusal(mail))
      return {refused, false, false, std::string(refused), std::nullopt};

    const OutgoingMessage message = outgoing_message(
        {std::move(*mail.from), std::move(*mail.to), std::move(mail.subject),
         std::move(mail.body), mail.is_html},
        stamp);
    session.send(message);
    return send_outcome(session.failed(), session.failure_text());
  } catch (...) {
    return {kException, true, true, std::nullopt, std::nullopt};
  }
}

}  // namespace quarn::mail
