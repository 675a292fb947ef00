// What velmar sends, built without a network: the envelope addresses taken
// from the To and From texts, and the message data (header lines and body)
// as it goes after DATA. Pure functions, so tests and fuzzers call them
// directly.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quarn::mail {

// Standard base64 (RFC 4648) with "=" padding and no line breaks; strict
// SASL decoders refuse unpadded credentials.
std::string base64_encode(std::string_view text);

// Puts one more "." in front of every line that begins with "." (a line
// begins at the start of the text and after any LF byte), so the server
// neither ends the data early nor drops a leading dot.
std::string dot_stuff(std::string_view text);

enum class AddressProblem {
  kNone,
  kEmptyPart,  // "a@x, , b@x", a trailing comma, "Name <>" as a recipient
  kUnclosed,   // a "<", "(" or '"' that is not closed
};

struct Addresses {
  std::vector<std::string> addresses;  // as they go into MAIL FROM / RCPT TO
  AddressProblem problem = AddressProblem::kNone;
};

// The recipients of a To text: one address per comma-separated part, where
// commas inside quotes, angle brackets and comments do not separate. Of a
// part written as `Name <addr>` the envelope takes addr; of a bare part the
// text without comments and surrounding blanks.
Addresses recipient_addresses(std::string_view to);

// The envelope sender of a From text: the same rules for one address, not
// split at commas. An empty text or "<>" is the null sender.
Addresses sender_address(std::string_view from);

struct MessageText {
  std::string from;  // whole texts, as they go into the header lines
  std::string to;
  std::string subject;
  std::string body;
  bool is_html = true;
};

// The data after DATA: the four header lines, the empty line, the body
// (dot-stuffed, otherwise as given) and the end-of-data line "." with
// nothing after it.
std::string message_data(const MessageText& text);

// Everything the session sends for one message.
struct OutgoingMessage {
  std::string sender;                   // MAIL FROM:<sender>
  std::vector<std::string> recipients;  // one RCPT TO each, in this order
  std::string data;                     // message_data()
};

// For texts whose addresses have no problem (the caller checked).
OutgoingMessage outgoing_message(const MessageText& text);

}  // namespace quarn::mail
