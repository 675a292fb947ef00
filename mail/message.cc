#include "message.h"

#include <sys/random.h>
#include <sys/types.h>

#include <idn2.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <system_error>

#include "ascii.h"
#include "c_handle.h"
#include "utf8.h"

namespace quarn::mail {

namespace {

// Base64 of data into out, which has room for it and one more byte (the
// library terminates its output); returns the characters written.
std::size_t encode_block(std::string_view data, char* out) {
  return static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out),
                                                  reinterpret_cast<const unsigned char*>(data.data()),
                                                  static_cast<int>(data.size())));
}

std::size_t base64_size(std::size_t bytes) { return (bytes + 2) / 3 * 4; }

}  // namespace

std::string base64_encode(std::string_view text) {
  // In pieces whose length the library's int can hold, each a multiple of 3.
  constexpr std::size_t kPiece = 3u << 20;
  std::string encoded(base64_size(text.size()) + 1, '\0');
  std::size_t written = 0;
  for (std::size_t at = 0; at < text.size(); at += kPiece)
    written += encode_block(text.substr(at, kPiece), &encoded[written]);
  encoded.resize(written);
  return encoded;
}

namespace {

// Puts the bytes of the data into out, or, without out, only counts them:
// the size planned and the data written come from the same code. Stuffed,
// a "." that starts a line (at the start, or after any LF byte) gets one
// more in front, so the server neither ends the data early nor drops it.
class Writer {
 public:
  explicit Writer(std::string* out, bool stuffed = true) : out_(out), stuffed_(stuffed) {}

  std::size_t size() const { return size_; }

  void put(std::string_view bytes) {
    while (!bytes.empty()) {
      const std::size_t line_feed = bytes.find('\n');
      const std::size_t end = line_feed == std::string_view::npos ? bytes.size() : line_feed + 1;
      if (bytes.front() == '.' && line_start_ && stuffed_) raw('.');
      raw(bytes.substr(0, end));
      line_start_ = line_feed != std::string_view::npos;
      bytes.remove_prefix(end);
    }
  }

  void put(char c) {
    if (c == '.' && line_start_ && stuffed_) raw('.');
    raw(c);
    line_start_ = c == '\n';
  }

  // Bytes with no LF, so no line starts inside them.
  void put_line(std::string_view bytes) {
    if (bytes.empty()) return;
    if (bytes.front() == '.' && line_start_ && stuffed_) raw('.');
    raw(bytes);
    line_start_ = false;
  }

  // Base64 in lines of 76 characters (RFC 2045 6.8) joined by CR LF, with
  // no line end after the last; the alphabet has no ".". Counted without
  // encoding.
  void put_base64_lines(std::string_view data) {
    if (data.empty()) return;
    constexpr std::size_t kLineBytes = 57;
    constexpr std::size_t kBatchLines = 64;
    const std::size_t lines = (data.size() + kLineBytes - 1) / kLineBytes;
    line_start_ = false;
    if (out_ == nullptr) {
      size_ += base64_size(data.size()) + 2 * (lines - 1);
      return;
    }
    // Each line's CR LF before it, its characters and the library's NUL.
    char batch[kBatchLines * 78 + 1];
    for (std::size_t at = 0; at < data.size();) {
      std::size_t used = 0;
      for (std::size_t line = 0; line < kBatchLines && at < data.size(); ++line, at += kLineBytes) {
        if (at > 0) {
          batch[used++] = '\r';
          batch[used++] = '\n';
        }
        used += encode_block(data.substr(at, kLineBytes), batch + used);
      }
      raw(std::string_view(batch, used));
    }
  }

  // Bytes as they are: the end-of-data line.
  void raw(std::string_view bytes) {
    if (out_ != nullptr) out_->append(bytes);
    size_ += bytes.size();
  }

 private:
  void raw(char c) {
    if (out_ != nullptr) out_->push_back(c);
    ++size_;
  }

  std::string* out_;
  bool stuffed_;
  std::size_t size_ = 0;
  bool line_start_ = true;
};

}  // namespace

std::string base64_lines(std::string_view data) {
  Writer count(nullptr);
  count.put_base64_lines(data);
  std::string lines;
  lines.reserve(count.size());
  Writer(&lines).put_base64_lines(data);
  return lines;
}

void append_dot_stuffed(std::string& out, std::string_view text) { Writer(&out).put(text); }

namespace {

constexpr auto npos = std::string_view::npos;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == npos) return std::string();
  return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

// An address text in the RFC 5322 manner, as far as velmar needs it: quoted
// strings and comments (with backslash escapes), angle-bracketed addresses
// (which may hold quoted strings), commas, blanks and the words between.
enum class Lex { kBlank, kWord, kQuoted, kComment, kAngle, kComma };

struct Lexeme {
  Lex kind;
  std::string_view text;  // as written, with its delimiters
  bool closed = true;     // a quote, comment or angle address that ends
};

using Part = std::vector<Lexeme>;

std::size_t quoted_end(std::string_view text, std::size_t at) {
  for (std::size_t i = at + 1; i < text.size(); ++i) {
    if (text[i] == '\\') ++i;
    else if (text[i] == '"') return i + 1;
  }
  return npos;
}

std::size_t comment_end(std::string_view text, std::size_t at) {
  int depth = 0;
  for (std::size_t i = at; i < text.size(); ++i) {
    if (text[i] == '\\') ++i;
    else if (text[i] == '(') ++depth;
    else if (text[i] == ')' && --depth == 0) return i + 1;
  }
  return npos;
}

std::size_t angle_end(std::string_view text, std::size_t at) {
  for (std::size_t i = at + 1; i < text.size(); ++i) {
    if (text[i] == '"') {
      const std::size_t end = quoted_end(text, i);
      if (end == npos) return npos;
      i = end - 1;
    } else if (text[i] == '>') {
      return i + 1;
    }
  }
  return npos;
}

bool starts_lexeme(char c) { return is_blank(c) || c == '"' || c == '(' || c == '<' || c == ','; }

std::vector<Lexeme> lex(std::string_view text) {
  std::vector<Lexeme> lexemes;
  std::size_t at = 0;
  while (at < text.size()) {
    const char c = text[at];
    Lexeme lexeme{Lex::kWord, {}};
    std::size_t end = at + 1;
    if (c == '"' || c == '(' || c == '<') {
      lexeme.kind = c == '"' ? Lex::kQuoted : c == '(' ? Lex::kComment : Lex::kAngle;
      end = c == '"' ? quoted_end(text, at) : c == '(' ? comment_end(text, at) : angle_end(text, at);
      lexeme.closed = end != npos;
      if (!lexeme.closed) end = text.size();
    } else if (c == ',') {
      lexeme.kind = Lex::kComma;
    } else if (is_blank(c)) {
      lexeme.kind = Lex::kBlank;
      while (end < text.size() && is_blank(text[end])) ++end;
    } else {
      while (end < text.size() && !starts_lexeme(text[end])) ++end;
    }
    lexeme.text = text.substr(at, end - at);
    lexemes.push_back(lexeme);
    at = end;
  }
  return lexemes;
}

std::vector<Part> parts_of(std::string_view text, bool split_at_commas) {
  std::vector<Part> parts(1);
  for (const Lexeme& lexeme : lex(text)) {
    if (lexeme.kind == Lex::kComma && split_at_commas) parts.emplace_back();
    else parts.back().push_back(lexeme);
  }
  return parts;
}

// A delimited lexeme without its delimiters (the closing one only if there).
std::string_view inside(const Lexeme& lexeme) {
  return lexeme.text.substr(1, lexeme.text.size() - (lexeme.closed ? 2 : 1));
}

// The last one, should a part hold several.
const Lexeme* angle_address(const Part& part) {
  const Lexeme* angle = nullptr;
  for (const Lexeme& lexeme : part)
    if (lexeme.kind == Lex::kAngle) angle = &lexeme;
  return angle;
}

// What the envelope takes of a part: the inside of its angle address, else
// the text without comments and surrounding blanks.
std::string envelope_address(const Part& part) {
  if (const Lexeme* angle = angle_address(part)) return std::string(inside(*angle));
  std::string bare;
  for (const Lexeme& lexeme : part)
    if (lexeme.kind != Lex::kComment) bare += lexeme.text;
  return trimmed(bare);
}

Addresses scan(std::string_view text, bool split_at_commas) {
  Addresses result;
  for (const Part& part : parts_of(text, split_at_commas)) {
    result.addresses.push_back(envelope_address(part));
    for (const Lexeme& lexeme : part)
      if (!lexeme.closed) result.problem = AddressProblem::kUnclosed;
  }
  return result;
}

}  // namespace

Addresses recipient_addresses(std::string_view to) {
  Addresses result = scan(to, true);
  if (result.problem == AddressProblem::kNone &&
      std::any_of(result.addresses.begin(), result.addresses.end(),
                  [](const std::string& address) { return address.empty(); }))
    result.problem = AddressProblem::kEmptyPart;
  return result;
}

Addresses sender_address(std::string_view from) { return scan(from, false); }

namespace {

bool outside_ascii(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) > 0x7F; });
}

// Where the domain of an address starts: after its last "@" outside quoted
// strings; npos when it has none.
std::size_t domain_start(std::string_view address) {
  std::size_t at = npos;
  for (std::size_t i = 0; i < address.size(); ++i) {
    if (address[i] == '"') {
      const std::size_t end = quoted_end(address, i);
      if (end == npos) return npos;
      i = end - 1;
    } else if (address[i] == '@') {
      at = i;
    }
  }
  return at == npos ? npos : at + 1;
}

// Letters, digits and hyphens in dot-separated labels: fit for the right
// side of a Message-ID as it is, and a domain as RFC 5321 (4.1.2) writes it.
bool host_name(std::string_view domain) {
  if (domain.empty() || domain.size() > 253) return false;
  std::size_t label = 0;
  for (const char c : domain) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
    } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-') {
      ++label;
    } else {
      return false;
    }
  }
  return label > 0;
}

// libidn2's STD3 flag is not used: its 2.3.3 drops a blank, "_" or '"'
// instead of refusing it ("bü cher.example" became the A-labels of
// bücher.example, another domain). Without it those fail the round trip or
// come out as they are, and the result is checked here.
std::optional<std::string> a_labels(const std::string& domain, std::string* reason) {
  char* converted = nullptr;
  const int status =
      idn2_to_ascii_8z(domain.c_str(), &converted, IDN2_NONTRANSITIONAL | IDN2_NFC_INPUT);
  const CHandle<char, idn2_free> owned(converted);
  if (status != IDN2_OK) {
    *reason = idn2_strerror(status);
    return std::nullopt;
  }
  if (!host_name(converted)) {
    *reason = "not a host name (letters, digits and hyphens between dots)";
    return std::nullopt;
  }
  return std::string(converted);
}

}  // namespace

std::optional<std::string> ascii_domains(std::string_view text, bool list, BadDomain* bad) {
  if (!outside_ascii(text)) return std::string(text);
  std::string out;
  bool first = true;
  for (const Part& part : parts_of(text, list)) {
    if (!first) out += ',';
    first = false;
    const std::string address = envelope_address(part);
    const std::size_t start = domain_start(address);
    if (start == npos || !outside_ascii(std::string_view(address).substr(start))) {
      for (const Lexeme& lexeme : part) out += lexeme.text;
      continue;
    }
    std::string reason;
    const auto domain = a_labels(address.substr(start), &reason);
    if (!domain) {
      *bad = {address, reason};
      return std::nullopt;
    }
    const std::string converted = address.substr(0, start) + *domain;
    if (const Lexeme* angle = angle_address(part)) {
      for (const Lexeme& lexeme : part)
        out += &lexeme == angle ? "<" + converted + ">" : std::string(lexeme.text);
    } else {
      // A bare address is written anew (comments may have stood inside it),
      // its comments after it.
      if (!part.empty() && part.front().kind == Lex::kBlank) out += ' ';
      out += converted;
      for (const Lexeme& lexeme : part) {
        if (lexeme.kind != Lex::kComment) continue;
        out += ' ';
        out += lexeme.text;
      }
    }
  }
  return out;
}

// --- header and body encodings -----------------------------------------------

namespace {

// What a text that is not UTF-8 is taken for (a UDF does not learn its
// arguments' character set): MariaDB's latin1 is
// windows-1252, and ISO-8859-1 text is windows-1252 as well but for the
// controls 0x80 to 0x9F.
constexpr char kEightBitCharset[] = "windows-1252";

// 42 bytes are 56 base64 characters, 68 with "=?UTF-8?B?" and "?=":
// "Subject: " and one word make a line of 77; with "=?windows-1252?B?" 36
// bytes do.
constexpr std::size_t kEncodedWordBytes = 42;
constexpr std::size_t kEightBitEncodedWordBytes = 36;

// Printable ASCII, blanks included: text a header may carry as written.
bool printable(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= 0x20 && c <= 0x7E) || c == '\t'; });
}

// "Name: value" CR LF, with a line break before a run of blanks wherever
// the line would grow past kFoldedLineBytes: unfolding (removing the CR LF)
// gives the value back. The first word stays on the name's line, and every
// line holds more than blanks.
std::string folded(std::string_view name, std::string_view value) {
  std::string field(name);
  field += ':';
  if (value.empty()) return field + "\r\n";
  field += ' ';
  std::size_t line_start = 0;
  for (std::size_t at = 0; at < value.size();) {
    std::size_t word = at;
    while (word < value.size() && is_blank(value[word])) ++word;
    std::size_t end = word;
    while (end < value.size() && !is_blank(value[end])) ++end;
    const bool breakable = at > 0 && end > word;
    if (breakable && field.size() - line_start + (end - at) > kFoldedLineBytes) {
      field += "\r\n";
      line_start = field.size();
    }
    field.append(value.substr(at, end - at));
    at = end;
  }
  return field + "\r\n";
}

std::size_t longest_line(std::string_view text) {
  std::size_t longest = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find("\r\n", start);
    if (end == npos) end = text.size();
    longest = std::max(longest, end - start);
    start = end + 2;
  }
  return longest;
}

std::string subject_field(std::string_view subject) {
  // Readers drop blanks after the colon, so a leading one is encoded.
  if (printable(subject) && (subject.empty() || !is_blank(subject.front()))) {
    std::string field = folded("Subject", subject);
    if (longest_line(field) <= kMaxLineBytes) return field;
  }
  return folded("Subject", encoded_words(subject));
}

std::string unquoted(const Lexeme& quoted) {
  std::string text;
  const std::string_view quoted_text = inside(quoted);
  for (std::size_t i = 0; i < quoted_text.size(); ++i) {
    if (quoted_text[i] == '\\' && i + 1 < quoted_text.size()) ++i;
    text += quoted_text[i];
  }
  return text;
}

bool plain(const Part& part) {
  return std::all_of(part.begin(), part.end(), [](const Lexeme& lexeme) {
    return lexeme.kind == Lex::kAngle || printable(lexeme.text);
  });
}

// One address of a From or To header. A plain part goes as written; in
// another one, or in every one when rewritten, the address stays as written
// and the text around it becomes encoded words: a display name (quotes
// removed, comments kept as text) before an angle address, the inside of
// each comment after a bare address.
std::string rendered(const Part& part, bool rewrite) {
  if (!rewrite && plain(part)) {
    std::string text;
    for (const Lexeme& lexeme : part) text += lexeme.text;
    return trimmed(text);
  }
  if (const Lexeme* angle = angle_address(part)) {
    std::string name;
    for (const Lexeme& lexeme : part) {
      if (&lexeme == angle) continue;
      name += lexeme.kind == Lex::kQuoted ? unquoted(lexeme) : std::string(lexeme.text);
    }
    name = trimmed(name);
    return (name.empty() ? std::string() : encoded_words(name) + " ") + std::string(angle->text);
  }
  std::string text = envelope_address(part);
  for (const Lexeme& lexeme : part) {
    if (lexeme.kind != Lex::kComment) continue;
    if (!text.empty()) text += ' ';
    text += "(" + encoded_words(inside(lexeme)) + ")";
  }
  return text;
}

// A text that is plain and fits one line goes as written. Otherwise its
// addresses are joined by ", " so that the line can be folded after each;
// should a line still be too long (a word of hundreds of letters), the text
// around every address is encoded, which can be folded anywhere.
std::string address_field(std::string_view name, std::string_view text) {
  const std::vector<Part> parts = parts_of(text, true);
  if (std::all_of(parts.begin(), parts.end(), plain) &&
      name.size() + 2 + text.size() <= kFoldedLineBytes)
    return folded(name, text);
  const auto joined = [&parts](bool rewrite) {
    std::string value;
    for (const Part& part : parts) {
      if (!value.empty()) value += ", ";
      value += rendered(part, rewrite);
    }
    return value;
  };
  std::string field = folded(name, joined(false));
  if (longest_line(field) > kMaxLineBytes) field = folded(name, joined(true));
  return field;
}

bool line_end(char c) { return c == '\r' || c == '\n'; }

// 7bit (RFC 2045 2.7) once its line ends are CR LF: no NUL, no byte above
// 127, no line over 998 bytes.
bool seven_bit(std::string_view text) {
  std::size_t line = 0;
  for (const char c : text) {
    if (c == '\0' || static_cast<unsigned char>(c) >= 0x80) return false;
    if (line_end(c)) line = 0;
    else if (++line > kMaxLineBytes) return false;
  }
  return true;
}

// Printable ASCII but "=" and the blank: what quoted-printable leaves as it
// is wherever it stands.
bool safe(char c) { return c >= 33 && c <= 126 && c != '='; }

// Where c occurs first at or after at; the text's size where it does not.
std::size_t next(std::string_view text, char c, std::size_t at) {
  return std::min(text.find(c, at), text.size());
}

// A CR LF, a bare LF and a bare CR each end a line; every one goes as CR LF.
void put_lines(Writer& out, std::string_view text) {
  // The next CR and the next LF, each looked for again once passed: each
  // byte is scanned once, whichever of them the text uses.
  std::size_t cr = next(text, '\r', 0), lf = next(text, '\n', 0);
  for (std::size_t start = 0;;) {
    if (cr < start) cr = next(text, '\r', start);
    if (lf < start) lf = next(text, '\n', start);
    const std::size_t end = std::min(cr, lf);
    out.put_line(text.substr(start, end - start));
    if (end == text.size()) return;
    out.put("\r\n");
    start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  }
}

// Quoted-printable (RFC 2045 6.7) of the text with its line ends as CR LF:
// they stay hard line breaks; "=", bytes outside printable ASCII and blanks
// before a line end are encoded; soft line breaks keep every line within
// 76 characters.
void put_quoted_printable(Writer& out, std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  constexpr std::size_t kMaxEncodedLine = 76;
  std::size_t column = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (line_end(text[i])) {
      if (text.compare(i, 2, "\r\n") == 0) ++i;
      out.put("\r\n");
      column = 0;
      continue;
    }
    // A run of characters that go as they are, while the line has room for
    // each and the "=" of a soft break after it.
    std::size_t run = i;
    while (run < text.size() && run - i + column + 1 < kMaxEncodedLine && safe(text[run])) ++run;
    if (run > i) {
      out.put_line(text.substr(i, run - i));
      column += run - i;
      i = run - 1;
      continue;
    }
    const bool line_ends = i + 1 == text.size() || line_end(text[i + 1]);
    const bool literal = safe(text[i]) || ((c == ' ' || c == '\t') && !line_ends);
    const std::size_t width = literal ? 1 : 3;
    // Unless the line ends here, leave room for the "=" of a soft break.
    if (column + width > kMaxEncodedLine - (line_ends ? 0 : 1)) {
      out.put("=\r\n");
      column = 0;
    }
    if (literal) {
      out.put(static_cast<char>(c));
    } else {
      const char escape[] = {'=', kHex[c >> 4], kHex[c & 15]};
      out.put_line(std::string_view(escape, 3));
    }
    column += width;
  }
}

}  // namespace

std::string encoded_words(std::string_view text) {
  const bool utf8 = valid_utf8(text);
  const std::string start = utf8 ? "=?UTF-8?B?" : "=?" + std::string(kEightBitCharset) + "?B?";
  std::string words;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = at;
    if (utf8) {
      while (end < text.size()) {
        const std::size_t length = quarn::utf8_length(text, end);  // valid: never 0
        if (end + length - at > kEncodedWordBytes) break;
        end += length;
      }
    } else {
      end = std::min(text.size(), at + kEightBitEncodedWordBytes);
    }
    if (!words.empty()) words += ' ';
    words += start + base64_encode(text.substr(at, end - at)) + "?=";
    at = end;
  }
  return words;
}

std::string quoted_printable(std::string_view crlf_text) {
  std::string encoded;
  encoded.reserve(crlf_text.size() + crlf_text.size() / 8 + 16);
  Writer out(&encoded, false);
  put_quoted_printable(out, crlf_text);
  return encoded;
}

// --- the message ---------------------------------------------------------------

std::string rfc5322_date(const std::tm& local) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const long minutes = local.tm_gmtoff / 60;
  const long offset = std::labs(minutes);
  char text[128];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                kDays[(local.tm_wday % 7 + 7) % 7], local.tm_mday,
                kMonths[(local.tm_mon % 12 + 12) % 12], local.tm_year + 1900, local.tm_hour,
                local.tm_min, local.tm_sec, minutes < 0 ? '-' : '+', offset / 60, offset % 60);
  return text;
}

namespace {

std::string hex_digits(const unsigned char* bytes, std::size_t count) {
  static const char kHex[] = "0123456789abcdef";
  std::string digits;
  for (std::size_t i = 0; i < count; ++i) {
    digits += kHex[bytes[i] >> 4];
    digits += kHex[bytes[i] & 15];
  }
  return digits;
}

}  // namespace

std::string message_id(std::string_view from, const std::array<unsigned char, 16>& random) {
  const std::string address = sender_address(from).addresses.front();
  const std::size_t at = address.rfind('@');
  std::string domain = at == std::string::npos ? std::string() : address.substr(at + 1);
  if (!host_name(domain)) domain = kMessageIdDomain;
  return "<" + hex_digits(random.data(), random.size()) + "@" + domain + ">";
}

namespace {

template <std::size_t N>
void fill_random(std::array<unsigned char, N>& random) {
  for (std::size_t got = 0; got < random.size();) {
    const ssize_t read = getrandom(random.data() + got, random.size() - got, 0);
    if (read < 0 && errno == EINTR) continue;
    if (read < 0) throw std::system_error(errno, std::generic_category(), "getrandom");
    got += static_cast<std::size_t>(read);
  }
}

}  // namespace

MessageStamp new_stamp(std::string_view from) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) gmtime_r(&now, &local);
  std::array<unsigned char, 16> id{};
  fill_random(id);
  std::array<unsigned char, 12> seed{};
  fill_random(seed);
  return {rfc5322_date(local), message_id(from, id), hex_digits(seed.data(), seed.size())};
}

std::string attachment_type(std::string_view file_name) {
  static const std::pair<const char*, const char*> kTypes[] = {
      {"csv", "text/csv"},         {"txt", "text/plain"},       {"html", "text/html"},
      {"htm", "text/html"},        {"pdf", "application/pdf"},  {"png", "image/png"},
      {"jpg", "image/jpeg"},       {"jpeg", "image/jpeg"},      {"gif", "image/gif"},
      {"webp", "image/webp"},      {"zip", "application/zip"},  {"json", "application/json"},
      {"xml", "application/xml"},
  };
  const std::size_t dot = file_name.rfind('.');
  if (dot != std::string_view::npos) {
    const std::string_view extension = file_name.substr(dot + 1);
    for (const auto& [known, type] : kTypes)
      if (ascii_iequals(extension, known)) return type;
  }
  return "application/octet-stream";
}

namespace {

// RFC 2231's attribute-char: what a parameter value may hold unescaped.
bool attribute_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("!#$&+-.^_`|~").find(c) != std::string_view::npos;
}

}  // namespace

std::string disposition_field(std::string_view file_name) {
  const std::string_view name = "Content-Disposition: attachment;";
  const bool quotable = printable(file_name) && file_name.find_first_of("\"\\\t") == npos;
  if (quotable && name.size() + file_name.size() + 12 <= kFoldedLineBytes)
    return std::string(name) + " filename=\"" + std::string(file_name) + "\"\r\n";
  static const char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  for (const char c : file_name) {
    const auto byte = static_cast<unsigned char>(c);
    if (attribute_char(c)) {
      escaped += c;
    } else {
      escaped += '%';
      escaped += kHex[byte >> 4];
      escaped += kHex[byte & 15];
    }
  }
  const bool utf8 = valid_utf8(file_name);
  const std::string charset = (utf8 ? std::string("UTF-8") : kEightBitCharset) + "''";
  if (name.size() + escaped.size() + 12 + charset.size() <= kFoldedLineBytes)
    return std::string(name) + " filename*=" + charset + escaped + "\r\n";
  // Numbered sections (RFC 2231 3), each on a line of its own. Readers
  // decode each section alone, so none ends inside an escape or inside a
  // UTF-8 sequence (an escape of a continuation byte, %80 to %BF, starts
  // none).
  constexpr std::size_t kSectionBytes = 56;
  const auto inside_escape = [&escaped](std::size_t at) {
    return at < escaped.size() &&
           ((at >= 1 && escaped[at - 1] == '%') || (at >= 2 && escaped[at - 2] == '%'));
  };
  const auto starts_character = [&](std::size_t at) {
    if (at >= escaped.size()) return true;
    if (inside_escape(at)) return false;
    return !utf8 || escaped[at] != '%' || std::string_view("89AB").find(escaped[at + 1]) == npos;
  };
  std::string field(name);
  std::size_t number = 0;
  for (std::size_t at = 0; at < escaped.size(); ++number) {
    // The first section's line also holds the charset, which may be longer
    // than "UTF-8''".
    const std::size_t room = kSectionBytes + (number == 0 ? 7 - charset.size() : 0);
    const std::size_t most = std::min(at + room, escaped.size());
    std::size_t end = most;
    while (end > at && !starts_character(end)) --end;
    // Bytes that are no UTF-8 (a run of continuation bytes): any escape's
    // start will do.
    if (end == at)
      for (end = most; inside_escape(end);) --end;
    if (number > 0) field += ';';
    field += "\r\n filename*" + std::to_string(number) + "*=" + (number == 0 ? charset : "") +
             escaped.substr(at, end - at);
    at = end;
  }
  return field + "\r\n";
}

namespace {

using Form = MessageData::Form;
using Piece = MessageData::Piece;

Piece made(std::string bytes) { return {Form::kAsIs, std::move(bytes), {}}; }

// One part of a MIME message (or its whole body): its header lines (each
// CR LF ended) and its content, whose last line has no line end (the
// delimiter that follows brings it, RFC 2046 5.1.1).
struct Entity {
  std::string header;
  std::vector<Piece> content;
};

// A text as a part of its own (or as the whole message's body).
Entity text_part(std::string_view text, bool html) {
  Entity part;
  part.header = std::string("Content-Type: text/") + (html ? "html" : "plain") +
                "; charset=" + (valid_utf8(text) ? "utf-8" : kEightBitCharset) + "\r\n";
  const bool seven = seven_bit(text);
  if (!seven) part.header += "Content-Transfer-Encoding: quoted-printable\r\n";
  part.content.push_back({seven ? Form::kLines : Form::kQuotedPrintable, {}, text});
  return part;
}

Entity attachment_part(const Attachment& attachment) {
  Entity part{"Content-Type: " + attachment_type(attachment.name) +
                  "\r\nContent-Transfer-Encoding: base64\r\n" + disposition_field(attachment.name),
              {}};
  part.content.push_back({Form::kBase64, {}, attachment.data});
  return part;
}

// Whether mark, which holds no line end, occurs in the piece as written.
// Line ends become CR LF but no line changes, and base64 and
// quoted-printable never hold "=_", which starts every mark.
bool holds(const Piece& piece, const std::string& mark) {
  switch (piece.form) {
    case Form::kAsIs: return piece.made.find(mark) != npos;
    case Form::kLines: return piece.source.find(mark) != npos;
    case Form::kQuotedPrintable:
    case Form::kBase64: break;
  }
  return false;
}

// A boundary that occurs in none of the parts. Only a 7-bit text part can
// hold one by chance (or on purpose, should the caller guess the random
// seed).
std::string boundary(const MessageStamp& stamp, char kind, const std::vector<Entity>& parts) {
  for (unsigned attempt = 0;; ++attempt) {
    const std::string candidate =
        "=_velmar_" + stamp.boundary_seed + "_" + kind + std::to_string(attempt);
    if (std::none_of(parts.begin(), parts.end(), [&candidate](const Entity& part) {
          return part.header.find(candidate) != npos ||
                 std::any_of(part.content.begin(), part.content.end(),
                             [&candidate](const Piece& piece) { return holds(piece, candidate); });
        }))
      return candidate;
  }
}

// The parts as one multipart part of the subtype; their texts stay where
// they are.
Entity multipart(const char* subtype, char kind, std::vector<Entity>& parts,
                 const MessageStamp& stamp) {
  const std::string mark = boundary(stamp, kind, parts);
  Entity whole;
  whole.header =
      std::string("Content-Type: multipart/") + subtype + ";\r\n boundary=\"" + mark + "\"\r\n";
  std::string delimiter = "--" + mark + "\r\n";
  for (Entity& part : parts) {
    whole.content.push_back(made(delimiter + part.header + "\r\n"));
    for (Piece& piece : part.content) whole.content.push_back(std::move(piece));
    delimiter = "\r\n--" + mark + "\r\n";
  }
  whole.content.push_back(made("\r\n--" + mark + "--"));
  return whole;
}

// The body: one part, or the text and HTML alternatives, then the
// attachments.
Entity body_part(const MessageText& text, const MessageStamp& stamp) {
  Entity body = text_part(text.body, text.is_html);
  if (text.is_html && text.text) {
    std::vector<Entity> alternatives;
    alternatives.push_back(text_part(*text.text, false));
    alternatives.push_back(std::move(body));
    body = multipart("alternative", 'a', alternatives, stamp);
  }
  if (text.attachments.empty()) return body;
  std::vector<Entity> parts;
  parts.push_back(std::move(body));
  for (const Attachment& attachment : text.attachments) parts.push_back(attachment_part(attachment));
  return multipart("mixed", 'm', parts, stamp);
}

const char* importance_word(Importance importance) {
  switch (importance) {
    case Importance::kHigh: return "high";
    case Importance::kNormal: return "normal";
    case Importance::kLow: return "low";
    case Importance::kUnset: break;
  }
  return nullptr;
}

// Local part as written, domain in any letter case.
std::string address_key(const std::string& address) {
  const std::size_t at = address.rfind('@');
  if (at == std::string::npos) return address;
  return address.substr(0, at + 1) + ascii_lowercase(address.substr(at + 1));
}

// The data: each piece in its form, every line that starts with "." stuffed,
// then the end-of-data line. Without out, only its size.
std::size_t write_data(const std::vector<Piece>& pieces, std::string* out) {
  Writer writer(out);
  for (const Piece& piece : pieces) {
    switch (piece.form) {
      case Form::kAsIs: writer.put(piece.made); break;
      case Form::kLines: put_lines(writer, piece.source); break;
      case Form::kQuotedPrintable: put_quoted_printable(writer, piece.source); break;
      case Form::kBase64: writer.put_base64_lines(piece.source); break;
    }
  }
  writer.raw("\r\n.\r\n");
  return writer.size();
}

}  // namespace

MessageData::MessageData(const MessageText& text, const MessageStamp& stamp) {
  Entity body = body_part(text, stamp);

  std::string header = subject_field(text.subject);
  header += address_field("From", text.from);
  header += address_field("To", text.to);
  if (!text.cc.empty()) header += address_field("Cc", text.cc);
  if (!text.reply_to.empty()) header += address_field("Reply-To", text.reply_to);
  header += "Date: " + stamp.date + "\r\n";
  header += "Message-ID: " + stamp.message_id + "\r\n";
  if (const char* word = importance_word(text.importance)) {
    // Outlook reads Importance, other readers X-Priority (1 high, 5 low).
    header += std::string("Importance: ") + word + "\r\n";
    header += text.importance == Importance::kHigh  ? "X-Priority: 1\r\n"
              : text.importance == Importance::kLow ? "X-Priority: 5\r\n"
                                                    : "X-Priority: 3\r\n";
  }
  header += "MIME-Version: 1.0\r\n";
  header += body.header;
  header += "\r\n";

  // Header lines start with a name or a blank; stuffed all the same, should
  // a To or From text hold a line break.
  pieces_.push_back(made(std::move(header)));
  for (Piece& piece : body.content) pieces_.push_back(std::move(piece));
  size_ = write_data(pieces_, nullptr);
}

std::string MessageData::write() const {
  std::string data;
  data.reserve(size_);
  write_data(pieces_, &data);
  return data;
}

namespace {

void envelope(const MessageText& text, std::string* sender, std::vector<std::string>* recipients) {
  *sender = sender_address(text.from).addresses.front();
  std::set<std::string> seen;
  for (const std::string_view* list : {&text.to, &text.cc, &text.bcc}) {
    if (list->empty()) continue;
    for (std::string& address : recipient_addresses(*list).addresses)
      if (seen.insert(address_key(address)).second) recipients->push_back(std::move(address));
  }
}

}  // namespace

OutgoingMessage outgoing_message(const MessageText& text, const MessageData& data) {
  OutgoingMessage message;
  envelope(text, &message.sender, &message.recipients);
  message.data = data.write();
  return message;
}

OutgoingMessage::AsciiDomains ascii_domains_form(const MessageText& ascii, const MessageStamp& stamp,
                                                 const MessageData& data) {
  OutgoingMessage::AsciiDomains form;
  envelope(ascii, &form.sender, &form.recipients);
  // Only the address fields differ: the body, and so its boundaries, are
  // the same texts.
  form.header = MessageData(ascii, stamp).header();
  form.header_bytes = data.header().size();
  return form;
}

}  // namespace quarn::mail
