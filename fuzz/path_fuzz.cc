// Whatever the file name, the thumbnail path is the directory plus one base
// name ending in ".jpg": no directory part, no NUL, no other suffix; or no
// path at all when the name leaves no base name.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "thumbnail_call.h"

namespace {

bool ends_in_jpg(const std::string& path) {
  if (path.size() < 4) return false;
  std::string tail = path.substr(path.size() - 4);
  for (char& c : tail)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return tail == ".jpg";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // First byte: directory length; the environment never holds a NUL.
  const std::size_t dir_length = std::min<std::size_t>(data[0] % 32, size - 1);
  std::string directory(reinterpret_cast<const char*>(data + 1), dir_length);
  directory = directory.substr(0, directory.find('\0'));
  const std::string name(reinterpret_cast<const char*>(data + 1 + dir_length),
                         size - 1 - dir_length);

  const std::optional<std::string> dir =
      data[0] & 0x80 ? std::nullopt : std::optional<std::string>(directory);
  const std::optional<std::string> built = quarn::thumb::build_path(dir, name);
  // The base name is what follows the last separator of the name's part
  // before any NUL; none is left only when that is empty, "." or "..".
  const std::string cut = name.substr(0, name.find('\0'));
  const std::size_t separator = cut.find_last_of("/\\");
  const std::string expected = separator == std::string::npos ? cut : cut.substr(separator + 1);
  const bool nameless = expected.empty() || expected == "." || expected == "..";
  if (nameless != !built) std::abort();
  if (!built) return 0;
  const std::string& path = *built;

  std::string prefix = dir.value_or("");
  if (!prefix.empty() && prefix.back() != '/' && prefix.back() != '\\') prefix += '/';
  if (path.compare(0, prefix.size(), prefix) != 0) std::abort();
  const std::string base = path.substr(prefix.size());
  if (base.find_first_of(std::string("/\\\0", 3)) != std::string::npos) std::abort();
  if (!ends_in_jpg(path)) std::abort();
  // With at most ".jpg" added.
  if (base != expected && base != expected + ".jpg") std::abort();
  return 0;
}
