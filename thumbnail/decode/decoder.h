// The decoders of the image stage, as one interface: each says which kind of
// file it reads, tells the image's size and orientation from its header,
// then decodes (at a reduced scale where its format allows) outside the
// image library's lock and hands its rows to the reduction as it makes
// them. The thumbnail's size is computed once, from the header.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "decode/preflight.h"
#include "pixels/raster.h"

namespace quarn::thumb {

// Where a decoder's rows go. Reduced as they come by an area average over
// whole blocks of pixels, down to no less than twice the thumbnail in each
// dimension (memory grows with the width, not the area); the rest with
// Lanczos-3, which keeps detail the average would soften.
class Reduction {
 public:
  // `target` is the thumbnail's size in the stored orientation.
  explicit Reduction(Size target) : target_(target) {}

  // The least size a decoder should decode at: twice the thumbnail, so
  // that the kernel has room to work.
  Size decode_at_least() const;

  // Once, before the first row: the size the decoder delivers and its
  // samples per pixel (1 grey, 2 grey+alpha, 3 RGB, 4 RGBA, 8-bit).
  void start(Size decoded, int channels);
  // The next row, top to bottom.
  void add_row(const std::uint8_t* row);
  void add_rows(const PixelView& image);

  // The thumbnail's pixels, grey or RGB with alpha composited onto white:
  // `target` in size; or, when the thumbnail is larger than the decoded
  // image in either dimension (or empty), the decoded image itself for the
  // image library to enlarge. Empty for a target beyond the limits, which
  // no step after this takes.
  Raster finish();

 private:
  Size target_;
  Size decoded_{};
  int channels_ = 0;
  std::optional<LanczosRows> lanczos_;  // when reducing
  std::optional<AreaAverage> average_;  // first, when whole blocks fit
  std::vector<std::uint8_t> flat_;      // a row composited onto white
  Raster whole_;                        // when kept as decoded
  std::uint32_t rows_ = 0;
  bool discard_ = false;
};

// The size an area average by whole blocks takes `decoded` to, leaving at
// least twice the thumbnail `target` per dimension: `decoded` itself when
// that is less than four times the thumbnail.
Size block_size(Size decoded, Size target);

// What a decoder reads of an image before its pixels.
struct ImageHeader {
  Size size;            // as stored
  int orientation = 1;  // EXIF orientation (1-8): how to turn it upright
};

// A decoder of one image.
class ImageDecoder {
 public:
  virtual ~ImageDecoder() = default;
  // Fills in what the header says (prefilled with the pre-flight's reading);
  // false when this decoder refuses the file.
  virtual bool read_header(ImageHeader& header) = 0;
  // Decodes the first image at the smallest scale the format offers that
  // is at least `at_least` (full size where it offers none), starting
  // `rows` and handing them every row, and says what the file tells of its
  // colours. false when decoding fails; the rows given are then void.
  virtual bool decode(Size at_least, Reduction& rows, ColourSpace& colour) = 0;
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

// The decoders of their own, each in its file.
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

}  // namespace quarn::thumb
