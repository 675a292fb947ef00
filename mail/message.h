// What velmar sends, built without a network: the envelope addresses taken
// from the To and From texts, and the message data (header lines and body)
// as it goes after DATA. Pure functions, so tests and fuzzers call them
// directly; only new_stamp() reads the clock and the kernel's random bytes.
#pragma once

#include <array>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarn::mail {

// Standard base64 (RFC 4648) with "=" padding and no line breaks; strict
// SASL decoders refuse unpadded credentials.
std::string base64_encode(std::string_view text);

// The same in lines of 76 characters (RFC 2045 6.8) joined by CR LF, with
// no line end after the last one.
std::string base64_lines(std::string_view data);

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

// An address whose domain is outside ASCII and no valid international
// domain name.
struct BadDomain {
  std::string address;  // as the envelope takes it
  std::string reason;   // libidn2's words
};

// The text with the domain of each address that is outside ASCII in its
// A-label form: IDNA 2008 with the UTS #46 mapping, as resolvers and mail
// servers look names up ("bücher.example" is "xn--bcher-kva.example").
// Addresses are found as recipient_addresses finds them when list is true,
// else as sender_address does; everything else stays as written, and a
// text with only ASCII domains comes back unchanged. nullopt, with *bad,
// when such a domain has no A-label form.
std::optional<std::string> ascii_domains(std::string_view text, bool list, BadDomain* bad);

// --- header and body encodings -----------------------------------------------

// Header lines are folded to this length where the text allows (RFC 5322
// 2.2.3); no line of the data is ever longer than kMaxLineBytes.
constexpr std::size_t kFoldedLineBytes = 78;
constexpr std::size_t kMaxLineBytes = 998;

// RFC 2047 encoded words (UTF-8, or windows-1252 for a text that is not
// valid UTF-8; base64) for a header text, separated by blanks, which
// decoders drop between encoded words. Each word is short enough to follow
// "Subject: " on a folded line, and holds whole UTF-8 sequences only.
std::string encoded_words(std::string_view text);

// Quoted-printable (RFC 2045 6.7) of a text whose line ends are CR LF: they
// stay hard line breaks; "=", bytes outside printable ASCII and blanks before
// a line end are encoded; soft line breaks keep every line within 76
// characters.
std::string quoted_printable(std::string_view crlf_text);

// --- the message ---------------------------------------------------------------

enum class Importance { kUnset, kHigh, kNormal, kLow };

// The texts of a message are views: velmar's are the server's argument
// buffers, valid for the whole row call, so no text is copied before it is
// encoded into the data.
struct Attachment {
  std::string_view name;  // the file name readers show and save under
  std::string_view data;  // the bytes as they are
};

constexpr char kDefaultAttachmentName[] = "attachment.bin";

struct MessageText {
  MessageText() = default;
  MessageText(std::string_view from, std::string_view to, std::string_view subject,
              std::string_view body, bool is_html = true)
      : from(from), to(to), subject(subject), body(body), is_html(is_html) {}

  std::string_view from;  // whole texts, as the caller gave them
  std::string_view to;
  std::string_view subject;
  std::string_view body;
  bool is_html = true;
  std::string_view cc;        // empty: no Cc header, no copies
  std::string_view bcc;       // envelope only, never in the data
  std::string_view reply_to;  // empty: no Reply-To header
  // The plain-text version of an HTML body; left out of a plain body, which
  // is text already.
  std::optional<std::string_view> text;
  Importance importance = Importance::kUnset;
  std::vector<Attachment> attachments;
};

// What the system adds to each message: the Date and Message-ID values and
// the random part of the MIME boundaries.
struct MessageStamp {
  MessageStamp(std::string date, std::string message_id, std::string boundary_seed = "")
      : date(std::move(date)), message_id(std::move(message_id)),
        boundary_seed(std::move(boundary_seed)) {}

  std::string date;        // RFC 5322 date-time
  std::string message_id;  // with its angle brackets
  std::string boundary_seed;  // random hex digits (never a line break)
};

// A moment as a Date value, "Tue, 03 Feb 2026 14:03:07 +0100": English names
// whatever the locale, the offset from tm_gmtoff.
std::string rfc5322_date(const std::tm& local);

// "<32 hex digits@domain>" from 16 random bytes; the domain is that of the
// From address, or kMessageIdDomain when it has none fit for a Message-ID.
constexpr char kMessageIdDomain[] = "velmar.invalid";
std::string message_id(std::string_view from, const std::array<unsigned char, 16>& random);

// Now, in the server's local time, and random bits from the kernel.
MessageStamp new_stamp(std::string_view from);

// The media type of an attachment from its file name's extension (any
// letter case): csv, txt, htm(l), pdf, png, jp(e)g, gif, webp, zip, json,
// xml; otherwise application/octet-stream.
std::string attachment_type(std::string_view file_name);

// The Content-Disposition field of an attachment, CR LF ended: the name as a
// quoted string when it is printable ASCII and fits the line, otherwise
// RFC 2231 encoded (UTF-8, or windows-1252 for a name that is not valid
// UTF-8; percent-escapes), split into numbered sections on lines of their
// own when long.
std::string disposition_field(std::string_view file_name);

// The data after DATA, for texts without CR or LF in To, From, Cc, Reply-To
// and the attachment names (the call refuses them). The header: Subject,
// From, To, Cc and Reply-To (non-ASCII text as encoded words, addresses as
// written, folded), Date, Message-ID, Importance and X-Priority,
// MIME-Version, then the body's Content-Type. A body alone is one text part;
// with a text alternative to an HTML body, multipart/alternative (text
// first); with attachments, multipart/mixed with the body first and each
// attachment in base64. A text part is labelled utf-8, or windows-1252
// when it is not valid UTF-8; one that is not 7-bit ASCII in lines of at
// most kMaxLineBytes goes as quoted-printable. Boundaries hold the stamp's
// seed and occur in no part. Then the end-of-data line "." with nothing
// after it; every line that starts with "." gets another one.
//
// Planned before it is written: the header lines and MIME framing are
// made here, the texts stay views, and size() is the exact length of the
// data, known before any of it is written. write() then encodes every text
// once, straight into one string of that size: a message with a large
// attachment is held once, in its final form, and nothing else as large.
// It views the message's texts, which must outlive it.
class MessageData {
 public:
  MessageData(const MessageText& text, const MessageStamp& stamp);
  std::size_t size() const { return size_; }
  std::string write() const;
  // The header with its empty line, as the data begins with it.
  const std::string& header() const { return pieces_.front().made; }

  // How a piece of the data is written: as it is, a text with its line
  // ends as CR LF, the same as quoted-printable, or base64 lines.
  enum class Form { kAsIs, kLines, kQuotedPrintable, kBase64 };
  struct Piece {
    Form form;
    std::string made;         // kAsIs: the bytes
    std::string_view source;  // the others: the caller's text
  };

 private:
  std::vector<Piece> pieces_;
  std::size_t size_ = 0;
};

inline std::string message_data(const MessageText& text, const MessageStamp& stamp) {
  return MessageData(text, stamp).write();
}

// Everything the session sends for one message.
struct OutgoingMessage {
  std::string sender;                   // MAIL FROM:<sender>
  std::vector<std::string> recipients;  // one RCPT TO each, in this order
  std::string data;                     // MessageData::write()

  // For a server without SMTPUTF8, where an address of From, To, Cc, Bcc or
  // Reply-To has a domain outside ASCII: the envelope and the header with
  // those domains as A-labels (ascii_domains). The header takes the place
  // of the first header_bytes of data; the rest is the same.
  struct AsciiDomains {
    std::string sender;
    std::vector<std::string> recipients;
    std::string header;
    std::size_t header_bytes = 0;
  };
  std::optional<AsciiDomains> ascii_domains;
};

// For texts whose addresses have no problem (the caller checked). The
// recipients are those of To, then Cc, then Bcc, each address once (the
// domain in any letter case): servers deliver one copy per address anyway.
OutgoingMessage outgoing_message(const MessageText& text, const MessageData& data);

inline OutgoingMessage outgoing_message(const MessageText& text, const MessageStamp& stamp) {
  return outgoing_message(text, MessageData(text, stamp));
}

// The AsciiDomains of a message whose data is `data`, from the same texts
// with their domains as A-labels (`ascii`, built with the same stamp).
OutgoingMessage::AsciiDomains ascii_domains_form(const MessageText& ascii, const MessageStamp& stamp,
                                                 const MessageData& data);

}  // namespace quarn::mail
