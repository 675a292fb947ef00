// Letter case of ASCII text, whatever the locale: protocol keywords, file
// suffixes and setting values are ASCII, and the server's locale is not ours.
#pragma once

#include <string>
#include <string_view>

namespace quarn {

constexpr char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
constexpr char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

inline std::string ascii_lowercase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = ascii_lower(c);
  return lower;
}

inline std::string ascii_uppercase(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = ascii_upper(c);
  return upper;
}

constexpr bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

}  // namespace quarn
