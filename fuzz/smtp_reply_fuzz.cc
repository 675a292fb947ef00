// Whatever a server sends, the reply parser reads it within the input and
// its limits: a complete reply has a code from 200 to 599, is complete with
// the same length when only its own bytes are given, and shows as one
// printable log line.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "smtp_reply.h"

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
  for (const char c : reply_text(reply))
    if (c < 0x20 || c > 0x7e) std::abort();
  parse_capabilities(reply);
  return 0;
}
