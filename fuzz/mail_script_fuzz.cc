// No arguments velmar accepts may end the DATA section early or add a
// command, whether the server ends lines at CR LF only or at any LF; a body
// line a server would refuse as too long is refused before sending.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "mail_call.h"
#include "smtp_session.h"

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

void check_conversation(const std::vector<std::string>& script, bool strict) {
  std::string bytes;
  for (const auto& line : script) bytes += line + "\r\n";
  const auto lines = server_lines(bytes, strict);
  // Commands: exactly the seven up to DATA.
  if (lines.size() < 9 || lines[6] != "DATA") std::abort();
  for (std::size_t i = 0; i < 6; ++i)
    if (lines[i] == "DATA") std::abort();
  // The data ends at the script's own "." line, followed only by the
  // empty line.
  for (std::size_t i = 7; i < lines.size(); ++i) {
    if (lines[i] == ".") {
      if (i != lines.size() - 2 || !lines.back().empty()) std::abort();
      return;
    }
  }
  std::abort();  // never ended
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
  const auto has_break = [](const std::string& s) {
    return s.find_first_of("\r\n") != std::string::npos;
  };
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
  if ((refused != nullptr) != must_refuse) std::abort();
  if (refused) return 0;

  const quarn::mail::MessageParts parts{"mail.example.test", user, password, *mail.from,
                                        *mail.to, mail.subject, mail.body, mail.is_html};
  const auto script = quarn::mail::build_script(parts);
  if (script.size() != 14) std::abort();
  check_conversation(script, true);
  check_conversation(script, false);
  return 0;
}
