#include "smtp_reply.h"

#include <algorithm>
#include <sstream>

#include "ascii.h"

namespace quarn::mail {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether text can still become the start of a reply line: a code of three
// digits (2-5, 0-5, 0-9) and then " ", "-" or the line end.
bool plausible_start(std::string_view text) {
  const char* const ranges[] = {"25", "05", "09"};
  for (std::size_t i = 0; i < 3 && i < text.size(); ++i)
    if (!is_digit(text[i]) || text[i] < ranges[i][0] || text[i] > ranges[i][1]) return false;
  return text.size() < 4 || text[3] == ' ' || text[3] == '-' || text[3] == '\r';
}

}  // namespace

ParseStatus parse_reply(std::string_view input, Reply* reply, std::size_t* consumed) {
  Reply result;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t end = input.find("\r\n", pos);
    if (end == std::string_view::npos) {
      const std::string_view partial = input.substr(pos);
      if (!plausible_start(partial)) return ParseStatus::kMalformed;
      if (partial.size() > kMaxReplyLine || input.size() > kMaxReplyBytes)
        return ParseStatus::kUnterminated;
      return ParseStatus::kIncomplete;
    }
    const std::string_view line = input.substr(pos, end - pos);
    if (line.size() < 3 || !plausible_start(line) || (line.size() > 3 && line[3] == '\r'))
      return ParseStatus::kMalformed;
    if (line.size() > kMaxReplyLine) return ParseStatus::kUnterminated;
    const int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    if (!result.lines.empty() && code != result.code) return ParseStatus::kMalformed;
    result.code = code;
    result.lines.emplace_back(line.size() > 4 ? line.substr(4) : std::string_view());
    pos = end + 2;
    if (pos > kMaxReplyBytes) return ParseStatus::kMalformed;
    if (line.size() == 3 || line[3] == ' ') {
      *reply = std::move(result);
      *consumed = pos;
      return ParseStatus::kComplete;
    }
  }
}

std::string first_bytes(std::string_view bytes, std::size_t limit) {
  if (bytes.size() <= limit) return std::string(bytes);
  // Not inside a UTF-8 character, which the log would show as bytes.
  std::size_t cut = limit;
  while (cut > limit - 3 && (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80) --cut;
  if ((static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80) cut = limit;
  return std::string(bytes.substr(0, cut));
}

ReplyClass classify(const Reply& reply, int expected) {
  if (reply.code / 100 == expected / 100) return ReplyClass::kAccepted;
  if (reply.code == 421) return ReplyClass::kClosing;
  if (reply.code >= 400) return ReplyClass::kRefused;
  return ReplyClass::kOutOfSequence;
}

std::string reply_text(const Reply& reply) {
  std::string text = std::to_string(reply.code);
  for (std::size_t i = 0; i < reply.lines.size(); ++i) {
    if (reply.lines[i].empty()) continue;
    text += i == 0 || text.size() == 3 ? " " : " / ";
    text += reply.lines[i];
  }
  return first_bytes(text, 500);
}

bool Capabilities::offers(std::string_view mechanism) const {
  return std::find(auth_mechanisms.begin(), auth_mechanisms.end(), mechanism) !=
         auth_mechanisms.end();
}

Capabilities parse_capabilities(const Reply& ehlo) {
  Capabilities caps;
  for (std::size_t i = 1; i < ehlo.lines.size(); ++i) {
    std::istringstream words(ascii_uppercase(ehlo.lines[i]));
    std::string keyword;
    words >> keyword;
    // "AUTH=LOGIN PLAIN" is the form of drafts that older clients read.
    if (keyword == "AUTH" || keyword.rfind("AUTH=", 0) == 0) {
      caps.auth = true;
      if (keyword.size() > 5) caps.auth_mechanisms.push_back(keyword.substr(5));
      for (std::string mechanism; words >> mechanism;) caps.auth_mechanisms.push_back(mechanism);
    } else if (keyword == "PIPELINING") {
      caps.pipelining = true;
    } else if (keyword == "SIZE") {
      std::uint64_t limit = 0;
      caps.size = (words >> limit) ? limit : 0;
    } else if (keyword == "STARTTLS") {
      caps.starttls = true;
    } else if (keyword == "8BITMIME") {
      caps.eightbitmime = true;
    } else if (keyword == "SMTPUTF8") {
      caps.smtputf8 = true;
    }
  }
  return caps;
}

}  // namespace quarn::mail
