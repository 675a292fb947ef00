// Shapes of the texts the functions return, shared by the hardening tests.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace quarn::hardening {

// prefix + one or more decimal digits, nothing after them.
inline bool digits_after(const std::string& text, const std::string& prefix) {
  if (text.size() <= prefix.size() || text.compare(0, prefix.size(), prefix) != 0) return false;
  for (std::size_t i = prefix.size(); i < text.size(); ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  return true;
}

inline std::string load_failure(const std::string& path) {
  return "Error loading the image for " + path + ". Err Code: ";
}
inline std::string save_failure(const std::string& path) {
  return "Error saving the thumbnail for " + path + ". Err Code: ";
}
inline std::string no_maximum(const std::string& path) {
  return "Error: no maximum width or height given for " + path;
}
inline std::string written(const std::string& path) { return "File written as " + path; }
inline const std::string kNoFileName = "Error: No file name for the thumbnail.";

// Takes the expected pieces out of a log in any interleaving, longest match
// first (a thumbnail failure ends in digits, and no piece starts with one).
// Returns what is left over: the pieces not found, then the unmatched rest.
inline std::string unmatched_log(std::string log, std::map<std::string, int> expected) {
  std::size_t pos = 0;
  while (pos < log.size()) {
    std::string best;
    for (const auto& [piece, count] : expected) {
      if (count > 0 && piece.size() > best.size() && log.compare(pos, piece.size(), piece) == 0)
        best = piece;
    }
    if (best.empty()) break;
    if (--expected[best] == 0) expected.erase(best);
    pos += best.size();
  }
  std::string rest;
  for (const auto& [piece, count] : expected)
    if (count > 0) rest += "missing x" + std::to_string(count) + ": " + piece + "\n";
  if (pos < log.size()) rest += "unexpected: " + log.substr(pos, 300);
  return rest;
}

}  // namespace quarn::hardening
