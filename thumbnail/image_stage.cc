#include "image_stage.h"

#include <IL/il.h>

#include <memory>
#include <optional>
#include <utility>

#include "decode/decoder.h"
#include "decode/devil_decoder.h"
#include "decode/preflight.h"
#include "pixels/colour.h"
#include "pixels/reduction.h"

namespace quarn::thumb {
namespace {

Thumbnail failed(Stage stage, unsigned int code) { return {{stage, code}, {}}; }

// Converted to sRGB from what the decoder read of the pixels' colours (few
// pixels are left), enlarged where the thumbnail is larger, turned upright.
Thumbnail complete(Raster pixels, Size target, const ColourSpace& colour, int orientation) {
  to_srgb(pixels, colour);
  if (pixels.width != target.width || pixels.height != target.height) {
    const StageResult enlarged = enlarge_with_library(pixels, target);
    if (enlarged.stage != Stage::kDone) return {enlarged, {}};
  }
  return {{Stage::kDone, 0}, orient(std::move(pixels), orientation)};
}

// What a decoder's failed step ends the stage with; nothing when the file
// goes the next way.
std::optional<Thumbnail> failure_of(const ImageDecoder* decoder) {
  const std::optional<StageResult> failure = decoder ? decoder->failure() : std::nullopt;
  if (!failure) return std::nullopt;
  return failed(failure->stage, failure->code);
}

// The thumbnail from one decoder, its rows reduced as they come. Nothing
// when the decoder refuses the file or fails on it and the file goes the
// next way.
std::optional<Thumbnail> decode_with(std::unique_ptr<ImageDecoder> decoder, const Preflight& check,
                                     std::uint32_t max_width, std::uint32_t max_height) {
  ImageHeader header{{check.width, check.height}, check.orientation};
  if (!decoder || !decoder->read_header(header)) return failure_of(decoder.get());
  // The one place the thumbnail's size is decided.
  const Size target = thumbnail_size(header.size, header.orientation, max_width, max_height);
  Reduction rows(target);
  // What will be decoded is known from here on.
  decoder->plan(target, rows.decode_at_least());
  ColourSpace colour;
  if (!decoder->decode(rows.decode_at_least(), rows, colour)) return failure_of(decoder.get());
  decoder.reset();  // done with the file
  // A huge box would make the scaler overflow its buffer size and write out
  // of bounds; refuse it as a parameter the library cannot take.
  if (!scaled_size_allowed(target, 1)) return failed(Stage::kScale, IL_INVALID_PARAM);
  return complete(rows.finish(), target, colour, header.orientation);
}

}  // namespace

Thumbnail finish_thumbnail(const DecodedImage& decoded, Size target, int orientation) {
  if (!scaled_size_allowed(target, 1)) return failed(Stage::kScale, IL_INVALID_PARAM);
  Reduction rows(target);
  rows.start({decoded.pixels.width, decoded.pixels.height}, decoded.pixels.channels);
  rows.add_rows(decoded.pixels);
  return complete(rows.finish(), target, decoded.colour, orientation);
}

Thumbnail run_image_stage(const void* data, unsigned long size, std::uint32_t max_width,
                          std::uint32_t max_height) {
  // Refused before any decoder: a hostile image never reaches one, nor
  // waits for or holds up the image work of other rows.
  const Preflight check = preflight_image(data, size);
  if (check.refused) return failed(Stage::kLoad, IL_ILLEGAL_FILE_VALUE);

  const auto* bytes = static_cast<const unsigned char*>(data);
  if (const DecoderEntry* entry = decoder_for(check.kind)) {
    if (auto made = decode_with(entry->open(bytes, size, check), check, max_width, max_height))
      return std::move(*made);
    // Formats the image library does not read fail as illegal files; so do
    // files it must not see (a GIF whose later frames are too many).
    if (!entry->library_fallback || check.library_refusal != nullptr)
      return failed(Stage::kLoad, IL_ILLEGAL_FILE_VALUE);
  }
  // The image library's decoder never refuses a file: it fails with its own code.
  return decode_with(open_devil(bytes, size, check), check, max_width, max_height).value();
}

}  // namespace quarn::thumb
