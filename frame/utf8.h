// UTF-8 as RFC 3629 has it, for the log's escaping and the mail's labels.
#pragma once

#include <cstddef>
#include <string_view>

namespace quarn {

// The length of the UTF-8 character at text[at]: shortest form, no
// surrogates, at most U+10FFFF; 0 when the bytes there are none.
inline std::size_t utf8_length(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) {
    return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u;
  };
  const unsigned lead = byte(0);
  const auto tail = [&](std::size_t i, unsigned low = 0x80, unsigned high = 0xBF) {
    return byte(i) >= low && byte(i) <= high;
  };
  if (lead < 0x80) return 1;
  // The second byte's range excludes overlong forms (E0, F0), surrogates
  // (ED) and code points above U+10FFFF (F4).
  if (lead >= 0xC2 && lead <= 0xDF) return tail(1) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    const unsigned low = lead == 0xE0 ? 0xA0 : 0x80;
    const unsigned high = lead == 0xED ? 0x9F : 0xBF;
    return tail(1, low, high) && tail(2) ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    const unsigned low = lead == 0xF0 ? 0x90 : 0x80;
    const unsigned high = lead == 0xF4 ? 0x8F : 0xBF;
    return tail(1, low, high) && tail(2) && tail(3) ? 4 : 0;
  }
  return 0;
}

inline bool valid_utf8(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = utf8_length(text, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

}  // namespace quarn
