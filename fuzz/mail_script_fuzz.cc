// No arguments velmar accepts may end the DATA section early or add a
// command, whether the server ends lines at CR LF only or at any LF: every
// command line built from them is one line, every envelope address fits a
// path, and the data ends at its own "." line only. Every line of the data
// ends in CR LF (no bare CR or LF) and holds at most 998 bytes, whatever the
// subject, body, text alternative and attachments. Line breaks in the To,
// From, Subject, Cc, Bcc and Reply-To texts and the attachment names, and
// control characters in Cc, Bcc and Reply-To, are refused before sending.
// A Bcc address is nowhere in the data.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mail_call.h"
#include "message.h"

namespace {

// The lines a server reads from the bytes: split at "\r\n" (strict) or at
// "\n" with one trailing "\r" dropped (lenient). The text after the last
// line end is not a line.
std::vector<std::string> server_lines(const std::string& bytes, bool strict) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = bytes.find(strict ? "\r\n" : "\n", start);
    if (end == std::string::npos) break;
    std::string line = bytes.substr(start, end - start);
    if (!strict && !line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + (strict ? 2 : 1);
  }
  return lines;
}

bool one_line(std::string_view command) {
  return command.find_first_of("\r\n") == std::string::npos;
}

// Lines end in CR LF only, none longer than 998 bytes (RFC 5321 does not
// count a dot added by stuffing).
void check_lines(const std::string& data) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (data[i] == '\n') std::abort();
    if (data[i] != '\r') continue;
    if (i + 1 == data.size() || data[i + 1] != '\n') std::abort();
    if (i - start - (data.compare(start, 2, "..") == 0 ? 1 : 0) > 998) std::abort();
    start = ++i + 1;
  }
  if (start != data.size()) std::abort();
}

// An address made of these cannot be put together by an encoding (base64
// has no "@"; quoted-printable, RFC 2231 and folding bring "=", "%" or a
// line break), so found in the data it was copied there.
bool plain_address(const std::string& address) {
  return address.find('@') != std::string::npos &&
         address.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-@") ==
             std::string::npos;
}

// The data ends with "\r\n.\r\n", and no line before the last is ".".
void check_data(const std::string& data, bool strict) {
  if (data.size() < 5 || data.compare(data.size() - 5, 5, "\r\n.\r\n") != 0) std::abort();
  const auto lines = server_lines(data, strict);
  for (std::size_t i = 0; i + 1 < lines.size(); ++i)
    if (lines[i] == ".") std::abort();
  if (lines.empty() || lines.back() != ".") std::abort();
}

}  // namespace

std::optional<std::string> maybe_text(FuzzedDataProvider& input, std::size_t most) {
  if (!input.ConsumeBool()) return std::nullopt;
  return input.ConsumeRandomLengthString(most);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  // The arguments as the server holds them; MailArgs views them.
  std::deque<std::string> texts;
  const auto kept = [&texts](std::optional<std::string> text) -> std::optional<std::string_view> {
    if (!text) return std::nullopt;
    return texts.emplace_back(std::move(*text));
  };
  quarn::mail::MailArgs mail;
  // Long enough for folded lines, encoded words and the rewrite of a header
  // whose words would not fit a line.
  mail.to = kept(maybe_text(input, 2048));
  mail.from = kept(maybe_text(input, 2048));
  mail.subject = *kept(input.ConsumeRandomLengthString(2048));
  mail.is_html = input.ConsumeBool();
  const std::string user = input.ConsumeRandomLengthString(16);
  const std::string password = input.ConsumeRandomLengthString(16);
  mail.cc = kept(maybe_text(input, 1024));
  mail.bcc = kept(maybe_text(input, 1024));
  mail.reply_to = kept(maybe_text(input, 512));
  mail.text = kept(maybe_text(input, 2048));
  static const char* const kImportance[] = {"high", "Normal", "LOW", "urgent", ""};
  if (input.ConsumeBool()) mail.importance = kImportance[input.ConsumeIntegralInRange(0, 4)];
  for (int count = input.ConsumeIntegralInRange(0, 3); count > 0; --count) {
    const std::string_view name = *kept(input.ConsumeRandomLengthString(300));
    mail.attachments.push_back({name, *kept(input.ConsumeRandomLengthString(4096))});
  }
  // Hex digits as the kernel's bytes give them; short, so that a body may
  // hold a boundary.
  std::string seed;
  for (int digits = input.ConsumeIntegralInRange(0, 2); digits > 0; --digits)
    seed += "0123456789abcdef"[input.ConsumeIntegralInRange(0, 15)];
  mail.body = *kept(input.ConsumeRemainingBytesAsString());

  const char* refused = quarn::mail::refusal(mail);
  const auto has_break = [](std::optional<std::string_view> s) { return s && !one_line(*s); };
  const auto has_control = [](std::optional<std::string_view> s) {
    return s && std::any_of(s->begin(), s->end(),
                            [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
  };
  bool must_refuse = !mail.to || mail.to->empty() || !mail.from || has_break(mail.to) ||
                     has_break(mail.from) || has_break(mail.subject);
  for (const auto* list : {&mail.cc, &mail.bcc, &mail.reply_to})
    must_refuse = must_refuse || has_break(*list) || has_control(*list);
  for (const auto& attachment : mail.attachments) must_refuse = must_refuse || has_break(attachment.name);
  if (must_refuse && refused == nullptr) std::abort();
  if (refused) return 0;

  const quarn::mail::MessageStamp stamp{"Thu, 01 Jan 2026 00:00:00 +0000",
                                        quarn::mail::message_id(*mail.from, {}), seed};
  // Every text of the message but the Bcc one, to tell a copied address
  // from one that was there anyway.
  std::string others = stamp.date + stamp.message_id + stamp.boundary_seed;
  for (const std::string_view text : {*mail.to, *mail.from, mail.subject, mail.cc.value_or(""),
                                      mail.reply_to.value_or(""), mail.text.value_or(""), mail.body})
    others += text;
  for (const auto& attachment : mail.attachments) others += attachment.name;
  const std::optional<std::string_view> bcc = mail.bcc;
  const auto message = quarn::mail::outgoing_message(quarn::mail::message_text(mail), stamp);
  if (message.recipients.empty() || !one_line(message.sender) ||
      message.sender.size() > quarn::mail::kMaxAddressBytes)
    std::abort();
  for (const auto& recipient : message.recipients)
    if (recipient.empty() || !one_line(recipient) || recipient.size() > quarn::mail::kMaxAddressBytes)
      std::abort();
  if (bcc) {
    for (const auto& address : quarn::mail::recipient_addresses(*bcc).addresses)
      if (plain_address(address) && others.find(address) == std::string::npos &&
          message.data.find(address) != std::string::npos)
        std::abort();
  }
  if (!one_line(quarn::mail::base64_encode(user)) || !one_line(quarn::mail::base64_encode(password)))
    std::abort();
  check_lines(message.data);
  check_data(message.data, true);
  check_data(message.data, false);
  return 0;
}
