// One BLOB through the pre-flight check and, for a JPEG XL file it passes,
// libjxl behind the one decoder interface (see decoder_fuzz.h). Where
// libjxl reads the basic information too, it must be what the pre-flight
// read from the headers: the memory is reckoned from that.
#include <jxl/decode.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "decoder_fuzz.h"

using namespace quarn::thumb;

namespace {

// libjxl's basic information, where it reads one.
bool libjxl_reads(const std::uint8_t* data, std::size_t size, JxlBasicInfo& info) {
  JxlDecoder* decoder = JxlDecoderCreate(nullptr);
  if (decoder == nullptr) return false;
  bool read = JxlDecoderSubscribeEvents(decoder, JXL_DEC_BASIC_INFO) == JXL_DEC_SUCCESS &&
              JxlDecoderSetKeepOrientation(decoder, JXL_TRUE) == JXL_DEC_SUCCESS &&
              JxlDecoderSetInput(decoder, data, size) == JXL_DEC_SUCCESS;
  JxlDecoderCloseInput(decoder);
  read = read && JxlDecoderProcessInput(decoder) == JXL_DEC_BASIC_INFO &&
         JxlDecoderGetBasicInfo(decoder, &info) == JXL_DEC_SUCCESS;
  JxlDecoderDestroy(decoder);
  return read;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Preflight check = preflight_image(data, size);
  if (check.refused || check.kind != ImageKind::kJxl) return 0;
  const JxlLayout& layout = check.jxl;
  JxlBasicInfo info{};
  if (libjxl_reads(data, size, info) &&
      (info.xsize != layout.width || info.ysize != layout.height ||
       static_cast<int>(info.orientation) != layout.orientation ||
       info.num_extra_channels != layout.extra_channels || (info.alpha_bits != 0) != layout.alpha ||
       (info.uses_original_profile == 0) != layout.xyb || (info.have_animation != 0) != layout.animation))
    std::abort();
  return fuzz_decoder(ImageKind::kJxl, data, size);
}
