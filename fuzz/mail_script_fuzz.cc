// No arguments velmar accepts may end the DATA section early or add a
// command, whether the server ends lines at CR LF only or at any LF: every
// command line built from them is one line, every envelope address fits a
// path, and the data ends at its own "." line only. Line breaks in the
// header texts and body lines a server would refuse as too long are refused
// before sending.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>
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
  if (input.ConsumeBool()) mail.to = input.ConsumeRandomLengthString(64);
  if (input.ConsumeBool()) mail.from = input.ConsumeRandomLengthString(64);
  mail.subject = input.ConsumeRandomLengthString(64);
  mail.is_html = input.ConsumeBool();
  const std::string user = input.ConsumeRandomLengthString(16);
  const std::string password = input.ConsumeRandomLengthString(16);
  mail.body = input.ConsumeRemainingBytesAsString();

  const char* refused = quarn::mail::refusal(mail);
  const auto has_break = [](const std::string& s) { return !one_line(s); };
  const auto has_long_line = [](const std::string& s) {
    std::istringstream lines(s);
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.size() > 998) return true;
    }
    return false;
  };
  const bool must_refuse = !mail.to || mail.to->empty() || !mail.from || has_break(*mail.to) ||
                           has_break(*mail.from) || has_break(mail.subject) ||
                           has_long_line(mail.body);
  if (must_refuse && refused == nullptr) std::abort();
  if (refused) return 0;

  const auto message =
      quarn::mail::outgoing_message({*mail.from, *mail.to, mail.subject, mail.body, mail.is_html});
  if (message.recipients.empty() || !one_line(message.sender) ||
      message.sender.size() > quarn::mail::kMaxAddressBytes)
    std::abort();
  for (const auto& recipient : message.recipients)
    if (recipient.empty() || !one_line(recipient) || recipient.size() > quarn::mail::kMaxAddressBytes)
      std::abort();
  if (!one_line(quarn::mail::base64_encode(user)) || !one_line(quarn::mail::base64_encode(password)))
    std::abort();
  check_data(message.data, true);
  check_data(message.data, false);
  return 0;
}
