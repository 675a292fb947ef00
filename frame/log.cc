#include "log.h"

#include "utf8.h"

#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace quarn {

namespace {

const char* severity_name(Severity severity) {
  switch (severity) {
    case Severity::kError: return "ERROR";
    case Severity::kWarning: return "Warning";
    case Severity::kNote: return "Note";
  }
  return "Note";
}

void append_hex(std::string& out, unsigned char c) {
  static const char kDigits[] = "0123456789abcdef";
  out += "\\x";
  out += kDigits[c >> 4];
  out += kDigits[c & 15];
}

}  // namespace

std::string log_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size() < kMaxLogText ? text.size() : kMaxLogText);
  std::string piece;
  for (std::size_t at = 0; at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    std::size_t length = utf8_length(text, at);
    piece.clear();
    if (c == '\n') {
      piece = "\\n";
    } else if (c == '\r') {
      piece = "\\r";
    } else if (c == '\t') {
      piece = "\\t";
    } else if (c < 0x20 || c == 0x7F || length == 0) {
      append_hex(piece, c);
      length = 1;
    } else if (c == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0) {
      // U+0080 to U+009F, among them NEL, which some readers take for a
      // line end.
      append_hex(piece, c);
      append_hex(piece, static_cast<unsigned char>(text[at + 1]));
    } else {
      piece.assign(text.substr(at, length));
    }
    if (out.size() + piece.size() > kMaxLogText) {
      out += "... (" + std::to_string(text.size() - at) + " more bytes)";
      break;
    }
    out += piece;
    at += length;
  }
  return out;
}

std::string log_line_text(const char* function, Severity severity, std::string_view text) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char prefix[96];
  std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02d %2d:%02d:%02d 0 [%s] %s: ",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, severity_name(severity), function);
  return prefix + log_escape(text);
}

void log_line(const char* function, Severity severity, std::string_view text) noexcept {
  try {
    const std::string line = log_line_text(function, severity, text) + "\n";
    // Straight to the descriptor: one write, past any buffer of stdio's.
    for (std::size_t done = 0; done < line.size();) {
      const ssize_t written = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return;
      done += static_cast<std::size_t>(written);
    }
  } catch (...) {
    // Memory for the line ran out: the line is lost, the call goes on.
  }
}

bool RepeatCap::admit(std::string_view kind) noexcept {
  for (auto& [seen, count] : kinds_) {
    if (seen != kind) continue;
    if (count >= kWritten) {
      ++held_back_;
      return false;
    }
    ++count;
    return true;
  }
  if (kinds_.size() < kKinds) {
    try {
      kinds_.emplace_back(std::string(kind), 1);
    } catch (...) {
    }
  }
  return true;
}

}  // namespace quarn
