// Whatever a server sends, the reply parser reads it within the input and
// its limits: a complete reply has a code from 200 to 599, is complete with
// the same length when only its own bytes are given, and shows as one
// log line with no control byte once the log has escaped it.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "log.h"
#include "smtp_reply.h"
#include "utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quarn::mail;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Reply reply;
  std::size_t consumed = 0;
  if (parse_reply(bytes, &reply, &consumed) != ParseStatus::kComplete) return 0;
  if (consumed == 0 || consumed > size || consumed > kMaxReplyBytes) std::abort();
  if (reply.code < 200 || reply.code > 599 || reply.lines.empty()) std::abort();
  Reply again;
  std::size_t again_consumed = 0;
  if (parse_reply(bytes.substr(0, consumed), &again, &again_consumed) != ParseStatus::kComplete ||
      again_consumed != consumed || again.lines != reply.lines)
    std::abort();
  const std::string shown = quarn::log_escape(reply_text(reply));
  if (!quarn::valid_utf8(shown)) std::abort();
  for (std::size_t i = 0; i < shown.size(); ++i) {
    const auto c = static_cast<unsigned char>(shown[i]);
    if (c < 0x20 || c == 0x7f) std::abort();
    // No C1 control (U+0080 to U+009F) either.
    if (c == 0xc2 && i + 1 < shown.size() && static_cast<unsigned char>(shown[i + 1]) < 0xa0)
      std::abort();
  }
  parse_capabilities(reply);
  return 0;
}
