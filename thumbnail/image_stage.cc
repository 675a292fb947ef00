#include "image_stage.h"

#include <IL/il.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

#include "decode/decode_memory.h"
#include "decode/decoder.h"
#include "decode/devil_decoder.h"
#include "decode/preflight.h"
#include "pixels/colour.h"
#include "pixels/reduction.h"

namespace quarn::thumb {
namespace {

Thumbnail failed(Stage stage, unsigned int code, const char* note = nullptr) {
  return {{stage, code, note}, {}};
}

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
  return failed(failure->stage, failure->code, failure->note);
}

// The budget's answer for `bytes`: held, or the failure that ends the stage.
std::optional<Thumbnail> reserve(std::uint64_t bytes, const MemoryAllowance& memory,
                                 MemoryBudget::Reservation& reserved) {
  MemoryBudget::Attempt attempt = memory.budget->reserve(bytes, memory.limit, memory.wait);
  if (attempt.refusal == MemoryBudget::Refusal::kNone) {
    reserved = std::move(attempt.reservation);
    return std::nullopt;
  }
  Thumbnail refused = failed(Stage::kLoad, attempt.refusal == MemoryBudget::Refusal::kTooLarge
                                               ? kOverMemoryBudget
                                               : kNoRoomInMemoryBudget);
  refused.memory = bytes;
  return refused;
}

// A decoder and the memory reserved for its work, given back only once the
// decoder is gone.
struct Work {
  MemoryBudget::Reservation reserved;
  std::unique_ptr<ImageDecoder> decoder;
  std::uint64_t bytes = 0;

  explicit Work(std::unique_ptr<ImageDecoder> opened = nullptr) : decoder(std::move(opened)) {}
  Work(Work&&) = default;
  ~Work() { decoder.reset(); }
};

// The thumbnail from one decoder, its rows reduced as they come. Nothing
// when the decoder refuses the file or fails on it and the file goes the
// next way. What it takes is reserved between its plan and its decoding,
// unless `work` comes with its reservation.
std::optional<Thumbnail> decode_with(Work work, const Preflight& check, std::uint32_t max_width,
                                     std::uint32_t max_height, const MemoryAllowance& memory) {
  ImageHeader header{{check.width, check.height}, check.orientation};
  ImageDecoder* decoder = work.decoder.get();
  if (!decoder || !decoder->read_header(header)) return failure_of(decoder);
  // The one place the thumbnail's size is decided.
  const Size target = thumbnail_size(header.size, header.orientation, max_width, max_height);
  Reduction rows(target);
  // What will be decoded is known from here on.
  const DecodePlan plan = decoder->plan(target, rows.decode_at_least());
  if (!work.reserved.held()) {
    work.bytes = decode_memory(plan, target);
    if (auto refused = reserve(work.bytes, memory, work.reserved)) return refused;
  }
  ColourSpace colour;
  if (!decoder->decode(rows.decode_at_least(), rows, colour)) return failure_of(decoder);
  work.decoder.reset();  // done with the file
  // A huge box would make the scaler overflow its buffer size and write out
  // of bounds; refuse it as a parameter the library cannot take.
  if (!scaled_size_allowed(target, 1)) return failed(Stage::kScale, IL_INVALID_PARAM);
  Thumbnail made = complete(rows.finish(), target, colour, header.orientation);
  made.memory = work.bytes;
  return made;
}

}  // namespace

Thumbnail finish_thumbnail(const DecodedImage& decoded, Size target, int orientation) {
  if (!scaled_size_allowed(target, 1)) return failed(Stage::kScale, IL_INVALID_PARAM);
  Reduction rows(target);
  rows.start({decoded.pixels.width, decoded.pixels.height}, decoded.pixels.channels);
  rows.add_rows(decoded.pixels);
  return complete(rows.finish(), target, decoded.colour, orientation);
}

unsigned decode_threads(long setting) {
  if (setting > 0) return static_cast<unsigned>(setting);
  return std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
}

Thumbnail run_image_stage(const void* data, unsigned long size, std::uint32_t max_width,
                          std::uint32_t max_height, const MemoryAllowance& memory,
                          const Deadline& deadline, unsigned threads) {
  // Refused before any decoder: a hostile image never reaches one, nor
  // waits for or holds up the image work of other rows.
  const Preflight check = preflight_image(data, size);
  if (check.refused)
    return failed(Stage::kLoad, IL_ILLEGAL_FILE_VALUE, check.reason_logged ? check.reason : nullptr);

  const auto* bytes = static_cast<const unsigned char*>(data);
  if (const DecoderEntry* entry = decoder_for(check.kind)) {
    Work work(entry->open(bytes, size, check));
    if (work.decoder) {
      work.decoder->set_deadline(deadline);
      work.decoder->set_threads(threads);
    }
    if (auto made = decode_with(std::move(work), check, max_width, max_height, memory))
      return std::move(*made);
    // Formats the image library does not read fail as illegal files; so do
    // files it must not see (a GIF whose later frames are too many).
    if (!entry->library_fallback || check.library_refusal != nullptr)
      return failed(Stage::kLoad, IL_ILLEGAL_FILE_VALUE);
  }
  // The image library decodes as it reads the header, under its lock: its
  // memory is reserved before, from the pre-flight, so that no call waits
  // for the budget while it holds that lock.
  Work work;
  work.bytes = library_decode_memory(
      check, thumbnail_size({check.width, check.height}, check.orientation, max_width, max_height));
  if (auto refused = reserve(work.bytes, memory, work.reserved)) return std::move(*refused);
  work.decoder = open_devil(bytes, size, check);
  // The image library's decoder never refuses a file: it fails with its own code.
  return decode_with(std::move(work), check, max_width, max_height, memory).value();
}

}  // namespace quarn::thumb
