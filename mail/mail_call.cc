#include "mail_call.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <initializer_list>
#include <iterator>
#include <string_view>
#include <utility>

#include "ascii.h"
#include "format_string.h"
#include "message.h"
#include "settings_table.h"
#include "smtp_session.h"

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
const char kBadAuth[] = "Error: smtp-auth must be login or none.";
const char kPortOutOfRange[] = "Error: SMTP port out of range (1-65535).";
const char kBadHelo[] = "Error: smtp-helo must be a host name or an address literal.";
const char kNoTo[] = "Error: No 'To' address specified.";
const char kNoFrom[] = "Error: No 'From' address specified.";
const char kSubjectLineBreak[] = "Error: Subject contains a line break.";
const char kAttachmentNameLineBreak[] = "Error: Attachment name contains a line break.";
const char kBadImportance[] = "Error: Importance must be high, normal or low.";
const char kTooLarge[] = "Error: The message is larger than the server accepts (33554432 bytes).";
static_assert(kMaxMessageBytes == 33554432, "the number in kTooLarge");
const char kSent[] = "OK";
const char kSendError[] = "There was an error sending the message.";
const char kException[] = "An exception was thrown.";

namespace {

constexpr std::pair<const char*, Option> kOptionNames[] = {
    {"cc", Option::kCc},
    {"bcc", Option::kBcc},
    {"reply_to", Option::kReplyTo},
    {"attachment", Option::kAttachment},
    {"attachment_name", Option::kAttachmentName},
    {"text", Option::kText},
    {"importance", Option::kImportance},
};

const char* option_name(Option option) {
  for (const auto& [name, named] : kOptionNames)
    if (named == option) return name;
  return "";
}

// Init refusals that name an argument, built in this buffer: the server
// copies the text before the thread calls init again.
thread_local char refusal_buffer[kMessageCapacity];

// The essential first: the server shows about 80 characters.
const char* argument_refusal(unsigned i, const UDF_ARGS& args) {
  const unsigned number = i + 1;
  const std::optional<Option> option = option_of(args, i);
  if (i == 4) {
    format_string(refusal_buffer, sizeof refusal_buffer,
                  "EMAIL() argument 5 is is_html (0 or 1); cc, bcc, reply_to, attachment, "
                  "attachment_name, text, importance come after it.");
  } else if (!option) {
    // A misspelt alias and an argument without one (the server names it by
    // its expression, a literal with its quotes) alike.
    const bool named = args.attributes != nullptr && args.attributes[i] != nullptr &&
                       args.attribute_lengths[i] > 0;
    const int shown = named ? static_cast<int>(std::min<unsigned long>(args.attribute_lengths[i], 64)) : 0;
    format_string(refusal_buffer, sizeof refusal_buffer,
                  "EMAIL() argument %u needs AS cc, bcc, reply_to, attachment, attachment_name, "
                  "text or importance (%s%.*s%s).",
                  number, named ? "not " : "it has no name", shown, named ? args.attributes[i] : "",
                  named && args.attribute_lengths[i] > 64 ? "..." : "");
  } else if (*option == Option::kAttachmentName) {
    format_string(refusal_buffer, sizeof refusal_buffer,
                  "EMAIL() argument %u: an attachment_name follows its own attachment "
                  "(AS attachment, then AS attachment_name).",
                  number);
  } else {
    format_string(refusal_buffer, sizeof refusal_buffer,
                  "EMAIL() argument %u repeats %s; once each: cc, bcc, reply_to, text, "
                  "importance; attachment and attachment_name in pairs.",
                  number, option_name(*option));
  }
  return refusal_buffer;
}

// The first argument that breaks the naming rules, or arg_count.
unsigned misnamed_argument(const UDF_ARGS& args) {
  if (args.arg_count >= 5 && option_of(args, 4)) return 4;
  bool seen[std::size(kOptionNames)] = {};
  bool unnamed_attachment = false;  // an attachment that may still get its name
  for (unsigned i = 5; i < args.arg_count; ++i) {
    const std::optional<Option> option = option_of(args, i);
    if (!option) return i;
    if (*option == Option::kAttachmentName) {
      if (!unnamed_attachment) return i;
      unnamed_attachment = false;
    } else if (*option == Option::kAttachment) {
      unnamed_attachment = true;
    } else {
      if (seen[static_cast<int>(*option)]) return i;
      seen[static_cast<int>(*option)] = true;
    }
  }
  return args.arg_count;
}

}  // namespace

std::optional<Option> option_of(const UDF_ARGS& args, unsigned i) {
  if (args.attributes == nullptr || args.attributes[i] == nullptr) return std::nullopt;
  const std::string_view name(args.attributes[i], args.attribute_lengths[i]);
  for (const auto& [text, option] : kOptionNames)
    if (ascii_iequals(name, text)) return option;
  return std::nullopt;
}

const char* check_arguments(UDF_ARGS& args) {
  if (args.arg_count < 4) return kArgCountMessage;
  for (unsigned i = 0; i < 4; ++i) {
    if (args.arg_type[i] != STRING_RESULT) return kArgTypeMessage;
  }
  const unsigned misnamed = misnamed_argument(args);
  if (misnamed < args.arg_count) return argument_refusal(misnamed, args);
  if (args.arg_count >= 5) args.arg_type[4] = INT_RESULT;
  args.maybe_null[0] = 0;
  args.maybe_null[1] = 0;
  args.maybe_null[2] = 1;
  args.maybe_null[3] = 1;
  for (unsigned i = 4; i < args.arg_count; ++i) args.maybe_null[i] = 1;
  for (unsigned i = 5; i < args.arg_count; ++i) args.arg_type[i] = STRING_RESULT;
  return nullptr;
}

namespace {

bool printable_word(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

}  // namespace

std::optional<SmtpConfig> read_smtp_config(const SettingsSnapshot& settings, const char** missing) {
  const auto& host = settings.text(setting::kSmtpHost);
  if (!host) return *missing = kNoHost, std::nullopt;
  const auto auth = parse_auth(settings.text(setting::kSmtpAuth));
  if (!auth) return *missing = kBadAuth, std::nullopt;
  const bool login = *auth == Auth::kLogin;
  const auto& user = settings.text(setting::kSmtpUser);
  if (login && !user) return *missing = kNoUser, std::nullopt;
  const auto& password = settings.text(setting::kSmtpPassword);
  if (login && !password) return *missing = kNoPassword, std::nullopt;
  if (!settings.text(setting::kSmtpPort)) return *missing = kNoPort, std::nullopt;
  const auto security = parse_security(settings.text(setting::kSmtpSecurity));
  if (!security) return *missing = kBadSecurity, std::nullopt;
  const auto port = settings.number(setting::kSmtpPort);
  if (!port) return *missing = kPortOutOfRange, std::nullopt;
  SmtpConfig config;
  config.host = *host;
  config.auth = *auth;
  // Not read without a login: a session never holds credentials it does not send.
  if (login) {
    config.user = *user;
    config.password = *password;
  }
  config.port = static_cast<std::uint16_t>(*port);
  config.timeout = std::chrono::seconds(settings.number(setting::kSmtpTimeout).value());
  config.security = *security;
  config.ca_file = settings.text(setting::kSmtpCaFile).value_or(std::string());
  config.helo = settings.text(setting::kSmtpHelo).value_or(std::string());
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

std::optional<Auth> parse_auth(const std::optional<std::string>& text) {
  if (!text) return Auth::kLogin;
  const std::string lower = ascii_lowercase(*text);
  if (lower == "login") return Auth::kLogin;
  if (lower == "none") return Auth::kNone;
  return std::nullopt;
}

namespace {

bool has_line_break(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

// NUL, the other C0 controls and DEL: no address holds them, and servers
// and readers differ on what they mean.
bool has_control_character(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
  });
}

bool too_long(std::string_view text, const Addresses& list) {
  return text.size() > kMaxAddressTextBytes ||
         std::any_of(list.addresses.begin(), list.addresses.end(),
                     [](const std::string& address) { return address.size() > kMaxAddressBytes; });
}

// The address fields, in the order refusal() judges them at each step,
// and what it finds wrong with one, each refused as "Error: '<field>'
// address <fault>.".
enum class AddressField { kTo, kFrom, kCc, kBcc, kReplyTo };
enum class AddressFault { kLineBreak, kControl, kEmptyPart, kUnclosed, kTooLong };
constexpr const char* kFieldNames[] = {"To", "From", "Cc", "Bcc", "Reply-To"};
constexpr const char* kFaultTexts[] = {"contains a line break", "contains a control character",
                                       "list has an empty part",
                                       "has an unclosed bracket or quote", "is too long"};
constexpr std::size_t kFields = std::size(kFieldNames);
constexpr std::size_t kFaults = std::size(kFaultTexts);

// The refusal texts, put together by the compiler (one too long for its
// array does not compile).
struct FixedText {
  char chars[64] = {};
};

constexpr FixedText address_refusal_text(const char* field, const char* fault) {
  FixedText out;
  std::size_t length = 0;
  for (const char* part : {"Error: '", field, "' address ", fault, "."})
    for (; *part != '\0'; ++part) out.chars[length++] = *part;
  out.chars[length] = '\0';
  return out;
}

constexpr auto kAddressRefusals = [] {
  std::array<std::array<FixedText, kFaults>, kFields> table{};
  for (std::size_t field = 0; field < kFields; ++field)
    for (std::size_t fault = 0; fault < kFaults; ++fault)
      table[field][fault] = address_refusal_text(kFieldNames[field], kFaultTexts[fault]);
  return table;
}();

// "Error: '<field>' address has an invalid domain name.": a domain outside
// ASCII with no A-label form; the log line adds the address and why.
constexpr auto kDomainRefusals = [] {
  std::array<FixedText, kFields> table{};
  for (std::size_t field = 0; field < kFields; ++field)
    table[field] = address_refusal_text(kFieldNames[field], "has an invalid domain name");
  return table;
}();

// One address argument of the call: its text (nullptr when not given)
// and, once read, its addresses.
struct AddressArgument {
  AddressField field;
  const std::string_view* text;
  Addresses addresses{};
};

// One check per fault. The parts come from one reading of the text, done
// before an empty part or an unclosed bracket is judged.
bool has_fault(const AddressArgument& argument, AddressFault fault) {
  switch (fault) {
    case AddressFault::kLineBreak: return has_line_break(*argument.text);
    case AddressFault::kControl: return has_control_character(*argument.text);
    case AddressFault::kEmptyPart: return argument.addresses.problem == AddressProblem::kEmptyPart;
    case AddressFault::kUnclosed: return argument.addresses.problem == AddressProblem::kUnclosed;
    case AddressFault::kTooLong: return too_long(*argument.text, argument.addresses);
  }
  return false;
}

// The refusal of the first given argument in [first, last) with one of
// these faults, judged argument by argument; nullptr when none has one.
const char* first_fault(const AddressArgument* first, const AddressArgument* last,
                        std::initializer_list<AddressFault> faults) {
  for (const AddressArgument* argument = first; argument != last; ++argument) {
    if (argument->text == nullptr) continue;
    for (const AddressFault fault : faults)
      if (has_fault(*argument, fault))
        return kAddressRefusals[static_cast<std::size_t>(argument->field)]
                               [static_cast<std::size_t>(fault)].chars;
  }
  return nullptr;
}

const std::string_view* given(const std::optional<std::string_view>& text) {
  return text ? &*text : nullptr;
}

std::optional<Importance> parse_importance(const std::optional<std::string_view>& text) {
  if (!text) return Importance::kUnset;
  const std::string word = ascii_lowercase(*text);
  if (word == "high") return Importance::kHigh;
  if (word == "normal") return Importance::kNormal;
  if (word == "low") return Importance::kLow;
  return std::nullopt;
}

// No encoding makes a text smaller: the data holds at least the subject,
// the body, the text alternative, and every attachment's name and the
// base64 of its bytes. Judged before anything is encoded, so a huge
// argument costs no memory.
std::size_t least_data_bytes(const MailArgs& mail) {
  std::size_t bytes = mail.subject.size() + mail.body.size() +
                      (mail.is_html && mail.text ? mail.text->size() : 0);
  for (const Attachment& attachment : mail.attachments)
    bytes += attachment.name.size() + (attachment.data.size() + 2) / 3 * 4;
  return bytes;
}

// A STRING_RESULT argument as it lies in the server's buffer; nullopt for
// SQL NULL.
std::optional<std::string_view> text_view(const UDF_ARGS& args, unsigned i) {
  if (args.args[i] == nullptr) return std::nullopt;
  return std::string_view(args.args[i], args.lengths[i]);
}

std::optional<std::string_view> unless_empty(std::optional<std::string_view> text) {
  if (text && text->empty()) return std::nullopt;
  return text;
}

}  // namespace

MailArgs mail_args(const UDF_ARGS& args) {
  MailArgs mail;
  mail.to = text_view(args, 0);
  mail.from = text_view(args, 1);
  mail.subject = text_view(args, 2).value_or(std::string_view());
  mail.body = text_view(args, 3).value_or(std::string_view());
  mail.is_html = args.arg_count <= 4 || args.args[4] == nullptr || integer_argument(args, 4) != 0;
  Attachment* named = nullptr;  // the attachment an attachment_name belongs to
  for (unsigned i = 5; i < args.arg_count; ++i) {
    const std::optional<Option> option = option_of(args, i);
    if (!option) continue;  // init refused the call
    const std::optional<std::string_view> value = text_view(args, i);
    switch (*option) {
      case Option::kCc: mail.cc = unless_empty(value); break;
      case Option::kBcc: mail.bcc = unless_empty(value); break;
      case Option::kReplyTo: mail.reply_to = unless_empty(value); break;
      case Option::kText: mail.text = value; break;
      case Option::kImportance: mail.importance = unless_empty(value); break;
      case Option::kAttachment:
        named = nullptr;
        if (value) {
          mail.attachments.push_back({kDefaultAttachmentName, *value});
          named = &mail.attachments.back();
        }
        break;
      case Option::kAttachmentName:
        if (named != nullptr && value && !value->empty()) named->name = *value;
        named = nullptr;
        break;
    }
  }
  return mail;
}

const char* refusal(const MailArgs& mail) {
  if (!mail.to || mail.to->empty()) return kNoTo;
  if (!mail.from) return kNoFrom;  // an empty From is a valid null sender
  using Fault = AddressFault;
  std::array<AddressArgument, kFields> arguments = {{
      {AddressField::kTo, &*mail.to},
      {AddressField::kFrom, &*mail.from},
      {AddressField::kCc, given(mail.cc)},
      {AddressField::kBcc, given(mail.bcc)},
      {AddressField::kReplyTo, given(mail.reply_to)},
  }};
  const AddressArgument* const all = arguments.data();
  const AddressArgument* const lists = all + 2;  // after To and From
  const AddressArgument* const end = all + arguments.size();
  // A CR or LF would let the caller add SMTP commands or header lines.
  if (const char* refused = first_fault(all, lists, {Fault::kLineBreak})) return refused;
  if (has_line_break(mail.subject)) return kSubjectLineBreak;
  if (const char* refused = first_fault(lists, end, {Fault::kLineBreak})) return refused;
  for (const Attachment& attachment : mail.attachments)
    if (has_line_break(attachment.name)) return kAttachmentNameLineBreak;
  if (const char* refused = first_fault(all, end, {Fault::kControl})) return refused;
  for (AddressArgument& argument : arguments) {
    if (argument.text == nullptr) continue;
    const std::string_view text = *argument.text;
    argument.addresses =
        argument.field == AddressField::kFrom ? sender_address(text) : recipient_addresses(text);
  }
  if (const char* refused = first_fault(all, end, {Fault::kEmptyPart, Fault::kUnclosed}))
    return refused;
  if (const char* refused = first_fault(all, end, {Fault::kTooLong})) return refused;
  if (!parse_importance(mail.importance)) return kBadImportance;
  if (least_data_bytes(mail) > kMaxMessageBytes) return kTooLarge;
  return nullptr;
}

namespace {

// The address arguments with their domains outside ASCII as A-labels
// (ascii_domains), in the order of AddressField; or the first that has
// none, refused.
struct DomainCheck {
  std::array<std::optional<std::string>, kFields> ascii;  // given and changed
  const char* refusal = nullptr;
  std::string log;
};

DomainCheck check_domains(const MailArgs& mail) {
  DomainCheck check;
  const std::optional<std::string_view>* const texts[kFields] = {&mail.to, &mail.from, &mail.cc,
                                                                 &mail.bcc, &mail.reply_to};
  for (std::size_t field = 0; field < kFields; ++field) {
    const std::optional<std::string_view>& text = *texts[field];
    // The common case costs one look at each byte.
    if (!text || std::all_of(text->begin(), text->end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
      continue;
    BadDomain bad;
    auto converted =
        ascii_domains(*text, static_cast<AddressField>(field) != AddressField::kFrom, &bad);
    if (!converted) {
      check.refusal = kDomainRefusals[field].chars;
      const std::string_view refusal = check.refusal;
      check.log = std::string(refusal.substr(0, refusal.size() - 1)) + ": <" + bad.address +
                  ">: " + bad.reason;
      return check;
    }
    if (*converted != *text) check.ascii[field] = std::move(*converted);
  }
  return check;
}

}  // namespace

MessageText message_text(const MailArgs& mail) {
  MessageText text(mail.from.value_or(std::string_view()), mail.to.value_or(std::string_view()),
                   mail.subject, mail.body, mail.is_html);
  text.cc = mail.cc.value_or(std::string_view());
  text.bcc = mail.bcc.value_or(std::string_view());
  text.reply_to = mail.reply_to.value_or(std::string_view());
  if (mail.is_html) text.text = mail.text;
  text.importance = parse_importance(mail.importance).value_or(Importance::kUnset);
  text.attachments = mail.attachments;
  return text;
}

std::optional<OutgoingMessage> call_message(const MailArgs& mail, const MessageStamp& stamp) {
  const MessageText text = message_text(mail);
  const MessageData data(text, stamp);
  if (data.size() > kMaxMessageBytes) return std::nullopt;
  OutgoingMessage message = outgoing_message(text, data);
  const DomainCheck domains = check_domains(mail);
  if (domains.refusal == nullptr &&
      std::any_of(domains.ascii.begin(), domains.ascii.end(),
                  [](const std::optional<std::string>& changed) { return changed.has_value(); })) {
    MessageText ascii = text;
    std::string_view* const fields[kFields] = {&ascii.to, &ascii.from, &ascii.cc, &ascii.bcc,
                                               &ascii.reply_to};
    for (std::size_t field = 0; field < kFields; ++field)
      if (domains.ascii[field]) *fields[field] = *domains.ascii[field];
    message.ascii_domains = ascii_domains_form(ascii, stamp, data);
    const auto& form = *message.ascii_domains;
    if (data.size() - form.header_bytes + form.header.size() > kMaxMessageBytes) return std::nullopt;
  }
  return message;
}

namespace {

// run_call's work; *fate says what became of the row.
Outcome send_call(const UDF_ARGS& args, const SettingsSnapshot& settings, KeptSession* kept,
                  RowFate* fate) {
  *fate = RowFate::kRefused;
  const char* missing = nullptr;
  const auto config = read_smtp_config(settings, &missing);
  if (!config) return Outcome::failure(missing);

  const MailArgs mail = mail_args(args);
  if (const char* refused = refusal(mail)) return Outcome::failure(refused);
  if (const DomainCheck domains = check_domains(mail); domains.refusal != nullptr)
    return Outcome::failure(domains.refusal, domains.log);
  const auto message = call_message(mail, new_stamp(mail.from.value_or(std::string_view())));
  if (!message) return Outcome::failure(kTooLarge);

  *fate = RowFate::kFailed;
  KeptSession own;
  const SendResult result = (kept ? *kept : own).send(*config, *message);
  if (result.delivered()) *fate = RowFate::kSent;
  if (result.status == SendResult::Status::kNotTried) *fate = RowFate::kNotTried;
  if (result.status == SendResult::Status::kTooLarge)
    return Outcome::failure(too_large_text(result.size_limit));
  return send_outcome(!result.delivered(),
                      server_label(config->host, config->port) + ": " + result.failure_text);
}

}  // namespace

Outcome send_outcome(bool failed, std::string failure_text) {
  if (!failed) return Outcome::value(kSent);
  return Outcome::failure(kSendError, std::move(failure_text));
}

std::string too_large_text(std::uint64_t limit) {
  return "Error: The message is larger than the server accepts (" + std::to_string(limit) +
         " bytes).";
}

Outcome run_call(const UDF_ARGS& args, const SettingsSnapshot& settings,
                 KeptSession* kept) noexcept {
  // An exception leaves the row failed: whether it went is not known.
  RowFate fate = RowFate::kFailed;
  Outcome outcome = Outcome::exception(kException);
  try {
    outcome = send_call(args, settings, kept, &fate);
  } catch (...) {
  }
  if (kept) kept->count(fate);
  return outcome;
}

void end_statement(KeptSession* kept) noexcept {
  if (kept == nullptr) return;
  try {
    if (const auto summary = kept->finish())
      log_line(kResultConvention.function, Severity::kNote, *summary);
  } catch (...) {
    // Only the library throws (memory); the summary is lost, nothing else.
  }
  delete kept;
}

}  // namespace quarn::mail
