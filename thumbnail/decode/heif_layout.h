// A look at a HEIF file's boxes before libheif sees it. libheif 1.15 trusts
// the coded pictures: a picture whose sequence parameters claim 60000 x 60000
// is allocated at that size whatever its image item says, and a grid may
// list thousands of tiles, each decoded in full. What the decoders would
// make is read here from the codec headers themselves.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarn::thumb {

// Whether the bytes start with an ISO base media file type box that names
// a HEIF brand (heic, heix, mif1, msf1, avif, avis) as major or compatible.
bool is_heif(const unsigned char* data, std::size_t size);

// Most coded pictures one image may take to decode: a large grid has a few
// hundred tiles.
constexpr std::uint32_t kMaxHeifPictures = 4096;

// The coded pictures that decoding one image takes.
struct HeifPictures {
  const char* refusal = nullptr;    // why it is refused; null when accepted
  std::uint64_t coded_pixels = 0;   // all pictures the image is decoded from
  std::uint32_t pictures = 0;       // how many
  std::uint64_t widest = 0;         // the largest coded width and height, or canvas's
  std::uint64_t tallest = 0;
  std::uint64_t largest = 0;        // pixels of the largest coded picture
  // The canvases of the grids and overlays it is drawn on, which libheif
  // allocates whole at the size their data gives, however little of them
  // is shown; each within the pixel limit.
  std::uint64_t canvas_pixels = 0;
};

// A thumbnail item of the primary image, which phones store beside it.
struct HeifPreview {
  std::uint32_t item = 0;
  HeifPictures pictures;
  // Whether it is turned, mirrored and cropped (irot, imir, clap) as the
  // primary image is: otherwise it shows something else.
  bool shown_alike = false;
};

// Most previews looked at; phones store one.
constexpr std::size_t kMaxHeifPreviews = 4;

struct HeifLayout : HeifPictures {
  HeifPreview previews[kMaxHeifPreviews];
  std::size_t preview_count = 0;
};

// The coded pictures that decoding the primary image takes: its own, or its
// grid's tiles, and those of an auxiliary image (alpha) that belongs to it,
// each at the size its sequence header (HEVC) or sequence header OBU (AV1)
// gives, in its configuration box or its data. Refused when a picture's size
// cannot be read, a structure runs past the end of the data, or there are
// more than kMaxHeifPictures pictures. The same for each of the primary
// image's thumbnail items, which a refusal of theirs does not refuse the
// file with.
HeifLayout read_heif_layout(const unsigned char* data, std::size_t size);

}  // namespace quarn::thumb
