// The decoders of the image stage, as one interface: each tells the image's
// size and orientation from its header, then decodes (at a reduced scale
// where its format allows) and hands its rows to the reduction as it makes
// them. The thumbnail's size is computed once, from the header, between the
// two. Every format has a decoder of its own, outside the image library's
// lock; the image library's (devil_decoder.h) takes the formats only it
// reads and the files the others refuse.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "common/deadline.h"
#include "common/stage_result.h"
#include "decode/preflight.h"
#include "pixels/raster.h"
#include "pixels/reduction.h"

namespace quarn::thumb {

// What a decoder reads of an image before its pixels.
struct ImageHeader {
  Size size;            // as stored
  int orientation = 1;  // EXIF orientation (1-8): how to turn it upright
};

// What a decoder will decode for one thumbnail, told before it decodes, so
// that what it takes can be reckoned first.
struct DecodePlan {
  Size size{};  // the pixels it hands on, before the reduction
  // Whether it holds them all at once, at 1 to 4 bytes per pixel (else it
  // hands them on a few rows at a time).
  bool whole = false;
  bool preview = false;  // a HEIF file's preview image, not its picture
  // What its codec holds at its peak beside those pixels: a progressive
  // JPEG's coefficients, a lossless WebP's whole image, libheif's planes,
  // a band of TIFF strips. For the memory budget (decode_memory.h).
  std::uint64_t codec_bytes = 0;
};

// A decoder of one image, used once: read_header, plan, then decode.
class ImageDecoder {
 public:
  virtual ~ImageDecoder() = default;
  // Fills in what the header says (prefilled with the pre-flight's reading);
  // false when this decoder refuses the file or fails on it.
  virtual bool read_header(ImageHeader& header) = 0;
  // Chooses what to decode for a thumbnail of `target` (in the stored
  // orientation): the first image, or a preview of it at least that large,
  // at the smallest scale the format offers that is at least `at_least`
  // (full size where it offers none).
  virtual DecodePlan plan(Size target, Size at_least) = 0;
  // Decodes what plan chose, starting `rows` and handing them every row,
  // and says what the file tells of its colours. false when decoding
  // fails; the rows given are then void.
  virtual bool decode(Size at_least, Reduction& rows, ColourSpace& colour) = 0;
  // After a step returned false: the outcome it ends the image stage with;
  // nothing when the file goes the next way (DecoderEntry).
  std::optional<StageResult> failure() const { return stopped_; }
  // The call's time limit, which the decoders that can be stopped look at
  // between rows, scans or pieces of data.
  void set_deadline(const Deadline& deadline) { deadline_ = deadline; }
  // Threads the decoder may split one picture's work over (a HEIF grid's
  // tiles); at least 1, the calling thread alone.
  void set_threads(unsigned threads) { threads_ = threads > 0 ? threads : 1; }

 protected:
  // Ends the image stage with `result`, the file going no other way; false,
  // for the step to return.
  bool stop(StageResult result) {
    stopped_ = result;
    return false;
  }
  // Whether the time limit has passed; the stage then ends with its code.
  bool out_of_time() {
    if (!deadline_.passed()) return false;
    stop({Stage::kLoad, kOverTimeLimit});
    return true;
  }
  const Deadline& deadline() const { return deadline_; }
  unsigned threads() const { return threads_; }

 private:
  Deadline deadline_;
  unsigned threads_ = 1;
  std::optional<StageResult> stopped_;
};

using DecoderFactory = std::unique_ptr<ImageDecoder> (*)(const unsigned char* data,
                                                        std::size_t size, const Preflight& check);

struct DecoderEntry {
  ImageKind kind;  // what it reads, as the pre-flight detects it
  DecoderFactory open;
  // Whether a file it refuses goes to the image library (which gives its
  // own outcome, as before) or fails as an illegal file (formats the image
  // library does not read).
  bool library_fallback;
};

// The decoder of the pre-flight's kind; nullptr for the kinds that only
// the image library reads.
const DecoderEntry* decoder_for(ImageKind kind);

// Pixels a codec decoded whole, handed on as rows with what it read of
// their colours; false when it decoded nothing.
bool hand_on(const std::optional<DecodedImage>& image, Reduction& rows, ColourSpace& colour);

// The decoders of their own, each in its file.
std::unique_ptr<ImageDecoder> open_jpeg(const unsigned char* data, std::size_t size,
                                        const Preflight& check);
std::unique_ptr<ImageDecoder> open_png(const unsigned char* data, std::size_t size,
                                       const Preflight& check);
// What a PNG's chunks say of its colours (iCCP, else sRGB, else gAMA and
// cHRM), also for the PNGs the image library decodes, which drops them.
// Nothing said, or a PNG libpng cannot read, gives an empty value.
ColourSpace png_colour_space(const unsigned char* data, std::size_t size);
std::unique_ptr<ImageDecoder> open_gif(const unsigned char* data, std::size_t size,
                                       const Preflight& check);
std::unique_ptr<ImageDecoder> open_tiff(const unsigned char* data, std::size_t size,
                                        const Preflight& check);
std::unique_ptr<ImageDecoder> open_webp(const unsigned char* data, std::size_t size,
                                        const Preflight& check);
std::unique_ptr<ImageDecoder> open_heif(const unsigned char* data, std::size_t size,
                                        const Preflight& check);
std::unique_ptr<ImageDecoder> open_jxl(const unsigned char* data, std::size_t size,
                                       const Preflight& check);

}  // namespace quarn::thumb
