// One BLOB through the pre-flight check and, for a JPEG XL file it passes,
// libjxl behind the one decoder interface: header, plan and decoding into a
// small and a larger box. Where libjxl reads the basic information too, it
// must be what the pre-flight read from the headers (the memory is reckoned
// from that). Files whose decoding is reckoned at more than 256 MB are left
// to the memory budget, which refuses them in a server with less.
#include <jxl/decode.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "decode/decode_memory.h"
#include "decode/decoder.h"
#include "decode/preflight.h"
#include "pixels/reduction.h"

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
  const DecoderEntry* entry = decoder_for(ImageKind::kJxl);
  for (const Size box : {Size{7, 5}, Size{64, 48}}) {
    const auto decoder = entry->open(data, size, check);
    ImageHeader header{{check.width, check.height}, check.orientation};
    if (!decoder->read_header(header)) return 0;
    if (header.size.width != check.width || header.size.height != check.height) std::abort();
    const Size target = thumbnail_size(header.size, header.orientation, box.width, box.height);
    Reduction rows(target);
    const DecodePlan plan = decoder->plan(target, rows.decode_at_least());
    if (decode_memory(plan, target) > (std::uint64_t{256} << 20)) return 0;
    ColourSpace colour;
    if (!decoder->decode(rows.decode_at_least(), rows, colour)) continue;
    const Raster image = rows.finish();
    const bool reduced = image.width == target.width && image.height == target.height;
    const bool whole = image.width == plan.size.width && image.height == plan.size.height;
    if ((!reduced && !whole) || (image.channels != 1 && image.channels != 3) ||
        image.samples.size() != std::size_t{image.width} * image.height * image.channels)
      std::abort();
    orient(image, header.orientation);
  }
  return 0;
}
