// No arguments velmar accepts may end the DATA section early or add a
// command, whether the server ends lines at CR LF only or at any LF: every
// command line built from them is one line, every envelope address fits a
// path, and the data ends at its own "." line only. Every line of the data
// ends in CR LF (no bare CR or LF) and holds at most 998 bytes, whatever the
// subject and body. Line breaks in the To, From and Subject texts are
// refused before sending.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
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

bool one_line(const std::string& command) {
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

// The data ends with "\r\n.\r\n", and no line before the last is ".".
void check_data(const std::string& data, bool strict) {
  if (data.size() < 5 || data.compare(data.size() - 5, 5, "\r\n.\r\n") != 0) std::abort();
  const auto lines = server_lines(data, strict);
  for (std::size_t i = 0; i + 1 < lines.size(); ++i)
    if (lines[i] == ".") std::abort();
  if (lines.empty() || lines.back() != ".") std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  quarn::mail::MailArgs mail;
  // Long enough for folded lines, encoded words and the rewrite of a header
  // whose words would not fit a line.
  if (input.ConsumeBool()) mail.to = input.ConsumeRandomLengthString(2048);
  if (input.ConsumeBool()) mail.from = input.ConsumeRandomLengthString(2048);
  mail.subject = input.ConsumeRandomLengthString(2048);
  mail.is_html = input.ConsumeBool();
  const std::string user = input.ConsumeRandomLengthString(16);
  const std::string password = input.ConsumeRandomLengthString(16);
  mail.body = input.ConsumeRemainingBytesAsString();

  const char* refused = quarn::mail::refusal(mail);
  const auto has_break = [](const std::string& s) { return !one_line(s); };
  const bool must_refuse = !mail.to || mail.to->empty() || !mail.from || has_break(*mail.to) ||
                           has_break(*mail.from) || has_break(mail.subject);
  if (must_refuse && refused == nullptr) std::abort();
  if (refused) return 0;

  const quarn::mail::MessageStamp stamp{"Thu, 01 Jan 2026 00:00:00 +0000",
                                        quarn::mail::message_id(*mail.from, {})};
  const auto message = quarn::mail::outgoing_message(
      {*mail.from, *mail.to, mail.subject, mail.body, mail.is_html}, stamp);
  if (message.recipients.empty() || !one_line(message.sender) ||
      message.sender.size() > quarn::mail::kMaxAddressBytes)
    std::abort();
  for (const auto& recipient : message.recipients)
    if (recipient.empty() || !one_line(recipient) || recipient.size() > quarn::mail::kMaxAddressBytes)
      std::abort();
  if (!one_line(quarn::mail::base64_encode(user)) || !one_line(quarn::mail::base64_encode(password)))
    std::abort();
  check_lines(message.data);
  check_data(message.data, true);
  check_data(message.data, false);
  return 0;
}
