// The HEIF decoder behind the pre-flight check, the picture or a preview of
// it; see decoder_fuzz.h.
#include "decoder_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return quarn::thumb::fuzz_decoder(quarn::thumb::ImageKind::kHeif, data, size);
}
