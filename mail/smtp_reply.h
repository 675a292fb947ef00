// The server's side of the conversation, read without a network: replies
// (RFC 5321 4.2) and what an EHLO reply advertises.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::mail {

struct Reply {
  int code = 0;                    // 200 to 599
  std::vector<std::string> lines;  // each line's text after the code and separator
};

// kUnterminated: a line went past kMaxReplyLine (or the reply past
// kMaxReplyBytes) without its CR LF.
enum class ParseStatus { kComplete, kIncomplete, kMalformed, kUnterminated };

// Longest reply line taken, and longest reply; beyond them the peer is not
// an SMTP server (RFC 5321 allows 512 bytes a line).
constexpr std::size_t kMaxReplyLine = 4096;
constexpr std::size_t kMaxReplyBytes = 65536;

// Reads one reply from the start of input. Lines end in CR LF only: a bare
// LF or CR is part of the text, so that a server's text after one cannot
// pass for a reply of its own. Every line has the same three-digit code,
// "-" after it on all but the last. On kComplete, *consumed is the reply's
// length in bytes.
ParseStatus parse_reply(std::string_view input, Reply* reply, std::size_t* consumed);

// What a reply means for the command it answers, whose good reply has the
// first digit of expected (220, 250, 334, 235, 354): accepted; the server
// closing (421, RFC 5321 3.8); refused (any other 4xx or 5xx); or out of
// sequence (a reply of another kind).
enum class ReplyClass { kAccepted, kClosing, kRefused, kOutOfSequence };
ReplyClass classify(const Reply& reply, int expected);

// The reply as one log line: "550 5.1.1 text", the lines of a multi-line
// reply joined by " / ", cut at 500 bytes (at a character). Its bytes stay
// as the server sent them: the log escapes them as it escapes every text.
std::string reply_text(const Reply& reply);

// The first bytes of what the server sent, cut the same way, for a log line
// about a reply that is not SMTP.
std::string first_bytes(std::string_view bytes, std::size_t limit = 120);

// What the server advertises in its EHLO reply (keywords in any case).
struct Capabilities {
  bool auth = false;
  std::vector<std::string> auth_mechanisms;  // upper case, as advertised
  bool pipelining = false;
  std::optional<std::uint64_t> size;  // SIZE with a limit; 0 means none given
  bool starttls = false;
  bool eightbitmime = false;
  bool smtputf8 = false;

  bool offers(std::string_view mechanism) const;
};

// The EHLO reply's lines after the first, which greets.
Capabilities parse_capabilities(const Reply& ehlo);

}  // namespace quarn::mail
