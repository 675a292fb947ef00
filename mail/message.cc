#include "message.h"

#include <boost/archive/iterators/base64_from_binary.hpp>
#include <boost/archive/iterators/transform_width.hpp>

#include <algorithm>
#include <iterator>
#include <sstream>

namespace quarn::mail {

std::string base64_encode(std::string_view text) {
  using namespace boost::archive::iterators;
  using Encoder = base64_from_binary<transform_width<std::string_view::const_iterator, 6, 8>>;
  std::ostringstream out;
  std::copy(Encoder(text.begin()), Encoder(text.end()), std::ostream_iterator<char>(out));
  // The iterators fill the last group with zero bits but leave the padding
  // to the caller.
  std::string encoded = out.str();
  encoded.append((3 - text.size() % 3) % 3, '=');
  return encoded;
}

std::string dot_stuff(std::string_view text) {
  std::string stuffed;
  stuffed.reserve(text.size() + text.size() / 64 + 1);
  bool line_start = true;
  for (const char c : text) {
    if (line_start && c == '.') stuffed += '.';
    stuffed += c;
    line_start = c == '\n';
  }
  return stuffed;
}

namespace {

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// One pass over an address text in the RFC 5322 manner, as far as the
// envelope needs it: quoted strings and backslash escapes are kept as
// written, comments are dropped, an angle-bracketed address replaces the
// rest of its part (the last one, should a part hold several).
Addresses scan(std::string_view text, bool split_at_commas) {
  Addresses result;
  std::string bare, angled;
  bool has_angle = false, in_angle = false, quoted = false, escaped = false;
  int comment_depth = 0;
  const auto finish_part = [&] {
    result.addresses.push_back(has_angle ? angled : trimmed(bare));
    bare.clear();
    angled.clear();
    has_angle = false;
  };
  for (const char c : text) {
    std::string& target = in_angle ? angled : bare;
    if (comment_depth > 0) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '(') ++comment_depth;
      else if (c == ')') --comment_depth;
      continue;
    }
    if (quoted) {
      target += c;
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') quoted = false;
      continue;
    }
    if (c == '"') {
      quoted = true;
      target += c;
    } else if (in_angle) {
      if (c == '>') in_angle = false;
      else angled += c;
    } else if (c == '(') {
      comment_depth = 1;
    } else if (c == '<') {
      has_angle = in_angle = true;
      angled.clear();
    } else if (c == ',' && split_at_commas) {
      finish_part();
    } else {
      bare += c;
    }
  }
  if (quoted || in_angle || comment_depth > 0) result.problem = AddressProblem::kUnclosed;
  finish_part();
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

std::string message_data(const MessageText& text) {
  // Each header line starts a line of the data, so stuffing line by line
  // is the same as stuffing the whole section.
  std::string data;
  data.reserve(text.body.size() + text.body.size() / 64 + text.subject.size() +
               text.from.size() + text.to.size() + 96);
  data += dot_stuff("SUBJECT:" + text.subject) + "\r\n";
  data += dot_stuff("From:" + text.from) + "\r\n";
  data += dot_stuff("To:" + text.to) + "\r\n";
  data += text.is_html ? "Content-Type:text/html; charset=utf-8\r\n"
                       : "Content-Type:text/plain; charset=utf-8\r\n";
  data += "\r\n";
  data += dot_stuff(text.body);
  data += "\r\n.\r\n";
  return data;
}

OutgoingMessage outgoing_message(const MessageText& text) {
  OutgoingMessage message;
  message.sender = sender_address(text.from).addresses.front();
  message.recipients = recipient_addresses(text.to).addresses;
  message.data = message_data(text);
  return message;
}

}  // namespace quarn::mail
