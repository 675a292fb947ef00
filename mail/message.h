// What velmar sends, built without a network: the envelope addresses taken
// from the To and From texts, and the message data (header lines and body)
// as it goes after DATA. Pure functions, so tests and fuzzers call them
// directly; only new_stamp() reads the clock and the kernel's random bytes.
#pragma once

#include <array>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::mail {

// Standard base64 (RFC 4648) with "=" padding and no line breaks; strict
// SASL decoders refuse unpadded credentials.
std::string base64_encode(std::string_view text);

// Appends text to out with one more "." in front of every line that begins
// with "." (a line begins at the start of the text and after any LF byte),
// so the server neither ends the data early nor drops a leading dot. out
// must end at the start of a line.
void append_dot_stuffed(std::string& out, std::string_view text);

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

// --- header and body encodings -----------------------------------------------

// Header lines are folded to this length where the text allows (RFC 5322
// 2.2.3); no line of the data is ever longer than kMaxLineBytes.
constexpr std::size_t kFoldedLineBytes = 78;
constexpr std::size_t kMaxLineBytes = 998;

// RFC 2047 encoded words (UTF-8, base64) for a header text, separated by
// blanks, which decoders drop between encoded words. Each word is short
// enough to follow "Subject: " on a folded line, and holds whole UTF-8
// sequences only (a byte that starts none counts as one character).
std::string encoded_words(std::string_view text);

// Line ends as CR LF: a CR LF, a bare LF and a bare CR each end a line.
std::string crlf_lines(std::string_view text);

// Quoted-printable (RFC 2045 6.7) of a text whose line ends are CR LF: they
// stay hard line breaks; "=", bytes outside printable ASCII and blanks before
// a line end are encoded; soft line breaks keep every line within 76
// characters.
std::string quoted_printable(std::string_view crlf_text);

// --- the message ---------------------------------------------------------------

struct MessageText {
  std::string from;  // whole texts, as the caller gave them
  std::string to;
  std::string subject;
  std::string body;
  bool is_html = true;
};

// What the system adds to each message: the Date and Message-ID values.
struct MessageStamp {
  std::string date;        // RFC 5322 date-time
  std::string message_id;  // with its angle brackets
};

// A moment as a Date value, "Tue, 03 Feb 2026 14:03:07 +0100": English names
// whatever the locale, the offset from tm_gmtoff.
std::string rfc5322_date(const std::tm& local);

// "<32 hex digits@domain>" from 16 random bytes; the domain is that of the
// From address, or kMessageIdDomain when it has none fit for a Message-ID.
constexpr char kMessageIdDomain[] = "velmar.invalid";
std::string message_id(std::string_view from, const std::array<unsigned char, 16>& random);

// Now, in the server's local time, and 128 bits from the kernel. Reading the
// time zone takes a read hold on the environment lock, so call it while
// this thread holds none: a second hold would wait behind a queued writer
// for ever.
MessageStamp new_stamp(std::string_view from);

// The data after DATA, for texts without CR or LF in To and From (the call
// refuses them). The header: Subject, From, To (non-ASCII text as encoded
// words, addresses as written, folded), Date, Message-ID, MIME-Version,
// Content-Type and, for a body that is not 7-bit ASCII in lines of at most
// kMaxLineBytes, Content-Transfer-Encoding: quoted-printable. Then the empty
// line, the body with CR LF line ends, dot-stuffed, and the end-of-data line
// "." with nothing after it.
std::string message_data(const MessageText& text, const MessageStamp& stamp);

// Everything the session sends for one message.
struct OutgoingMessage {
  std::string sender;                   // MAIL FROM:<sender>
  std::vector<std::string> recipients;  // one RCPT TO each, in this order
  std::string data;                     // message_data()
};

// For texts whose addresses have no problem (the caller checked).
OutgoingMessage outgoing_message(const MessageText& text, const MessageStamp& stamp);

}  // namespace quarn::mail
