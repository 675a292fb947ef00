// format_string and the result convention never write past the capacity,
// always terminate, and report lengths by the rules.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "format_string.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t capacity = (data[0] | (data[1] << 8)) % 600;
  // The text as "%s" sees it: up to its first NUL.
  const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  const std::string visible = text.substr(0, text.find('\0'));

  // Exactly capacity bytes on the heap, so any overrun is caught.
  std::vector<char> buffer(capacity);
  char* out = capacity ? buffer.data() : nullptr;
  const int returned = quarn::format_string(out, capacity, "%s", text.c_str());
  if (returned != static_cast<int>(visible.size())) std::abort();
  if (capacity > 0) {
    const std::size_t stored = std::strlen(buffer.data());  // terminated within capacity
    if (stored != std::min(visible.size(), capacity - 1)) std::abort();
    if (std::memcmp(buffer.data(), visible.data(), stored) != 0) std::abort();

    const long length = quarn::store_text(buffer.data(), capacity, text.c_str());
    if (length != static_cast<long>(std::min(visible.size(), capacity - 1))) std::abort();
  }

  // A conversion with a precision taken from the input.
  char small[32];
  const int precision = data[0] % 64;
  const int n = quarn::format_string(small, sizeof small, "[%.*s]", precision, visible.c_str());
  const int expected = 2 + static_cast<int>(std::min<std::size_t>(precision, visible.size()));
  if (n != expected || std::strlen(small) != std::min<std::size_t>(expected, sizeof small - 1))
    std::abort();
  return 0;
}
