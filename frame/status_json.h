// The JSON objects of the plug-ins' status functions (tarvik_status(),
// velmar_status(), udf_settings()), which monitoring reads.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarn {

// A JSON text of the bytes: quoted; '"', '\' and the control bytes escaped;
// UTF-8 as it is; any other byte as the character of its value (\u00NN),
// so that the object stays valid JSON whatever the bytes are.
std::string json_string(std::string_view bytes);

// A JSON object written member by member, in the order given.
class JsonObject {
 public:
  JsonObject& text(std::string_view name, std::string_view value);
  // null when missing.
  JsonObject& text_or_null(std::string_view name, const std::optional<std::string>& value);
  JsonObject& number(std::string_view name, long long value);
  JsonObject& texts(std::string_view name, const std::vector<std::string>& values);
  JsonObject& object(std::string_view name, const JsonObject& value);
  JsonObject& null(std::string_view name);
  std::string str() const { return "{" + members_ + "}"; }

 private:
  JsonObject& member(std::string_view name, std::string_view json);
  std::string members_;
};

}  // namespace quarn
