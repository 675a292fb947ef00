#include "status_json.h"

#include "utf8.h"

namespace quarn {

std::string json_string(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out = "\"";
  out.reserve(bytes.size() + 2);
  for (std::size_t at = 0; at < bytes.size();) {
    const auto c = static_cast<unsigned char>(bytes[at]);
    const std::size_t length = utf8_length(bytes, at);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F || length == 0) {
      out += "\\u00";
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    } else {
      out.append(bytes.substr(at, length));
      at += length;
      continue;
    }
    ++at;
  }
  out += '"';
  return out;
}

JsonObject& JsonObject::member(std::string_view name, std::string_view json) {
  if (!members_.empty()) members_ += ',';
  members_ += json_string(name);
  members_ += ':';
  members_ += json;
  return *this;
}

JsonObject& JsonObject::text(std::string_view name, std::string_view value) {
  return member(name, json_string(value));
}

JsonObject& JsonObject::text_or_null(std::string_view name,
                                     const std::optional<std::string>& value) {
  return value ? text(name, std::string_view(*value)) : null(name);
}

JsonObject& JsonObject::number(std::string_view name, long long value) {
  return member(name, std::to_string(value));
}

JsonObject& JsonObject::texts(std::string_view name, const std::vector<std::string>& values) {
  std::string array = "[";
  for (const std::string& value : values) {
    if (array.size() > 1) array += ',';
    array += json_string(value);
  }
  return member(name, array + "]");
}

JsonObject& JsonObject::object(std::string_view name, const JsonObject& value) {
  return member(name, value.str());
}

JsonObject& JsonObject::null(std::string_view name) { return member(name, "null"); }

}  // namespace quarn
