// A cheap, in-memory look at an image BLOB before the image library decodes
// it. The library trusts the sizes an image header claims: a huge claim makes
// it overflow 32-bit buffer sizes and crash, a chunk length past the end makes
// its PNG reader spin, and junk taken for an image can end the process. What
// is refused here never reaches the library.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/image_limits.h"
#include "decode/jxl_header.h"

namespace quarn::thumb {

// An image may claim at most the sizes of image_limits.h.

// The format the image library will take the bytes for when asked to detect
// it, in the library's own order of detection; or one that is decoded apart
// from the library.
enum class ImageKind {
  kUnknown,  // no signature known here; the library's own detection decides
  kJpeg,
  kPng,
  kBmp,
  kGif,
  kPcx,
  kPnm,
  kPsd,
  kTiff,
  kTga,
  kIco,     // the library does not detect icons from data; their load fails
  kUnread,  // a format the library reads but whose header is not checked here
  kWebp,    // decoded by libwebp, never by the library
  kHeif,    // HEIF, HEIC and AVIF: decoded by libheif, never by the library
  kJxl,     // JPEG XL: decoded by libjxl, never by the library
};

const char* kind_name(ImageKind kind);

ImageKind detect_kind(const unsigned char* data, std::size_t size);

// Whether the library's last-resort Targa guess would take these bytes.
bool looks_like_tga(const unsigned char* data, std::size_t size);

struct Preflight {
  ImageKind kind;
  bool refused;
  std::uint32_t width;   // as claimed by the header, 0 when not read
  std::uint32_t height;
  const char* reason;    // why it was refused; empty when accepted
  // Set when the reason also goes into the call's log line: a refusal that
  // the load error alone would leave a riddle (an image a viewer shows).
  bool reason_logged = false;
  int orientation = 1;   // the EXIF orientation (1-8) of a JPEG, WebP, PNG or JPEG XL; 1 for others
  // Set when the file is accepted for a decoder that reads its first frame
  // only, but not for the image library, which decodes every frame: why.
  const char* library_refusal = nullptr;
  // HEIF: the thumbnail items of the primary image that passed the same
  // checks and are turned as it is: the previews its decoder may decode
  // instead of it (decode/heif_layout.h).
  std::uint32_t heif_previews[4] = {};
  std::size_t heif_preview_count = 0;
  // For the memory estimate (decode_memory.h). What a codec holds for the
  // whole image beyond the rows it hands on: a JPEG's DCT coefficients when
  // libjpeg decodes it in more than one pass (progressive, or a scan per
  // component); a GIF's first frame's indices when that frame is
  // interlaced.
  std::uint64_t held_bytes = 0;
  // The pixels the image library decodes where they are more than the
  // image's: a GIF's screens of every frame, a TIFF's every page.
  std::uint64_t library_pixels = 0;
  // The bytes per pixel the image library loads a PNG, BMP, PCX, PNM, PSD
  // or TGA at (channels times bytes per sample, as stored); 0 for other
  // formats.
  std::uint32_t library_bytes = 0;
  // HEIF: the pixels (colour and alpha) decoding the primary image takes,
  // and each preview of heif_previews: its coded pictures', or the canvases
  // of its grid or overlay where those are more.
  std::uint64_t heif_coded_pixels = 0;
  std::uint64_t heif_preview_pixels[4] = {};
  // HEIF: when the primary image is drawn on a canvas (a grid), whose tiles
  // libheif may decode several at once, its coded pictures and the pixels
  // of the largest; else 0.
  std::uint32_t heif_tiles = 0;
  std::uint64_t heif_tile_pixels = 0;
  // JPEG: what libjpeg holds of its APP2 segments (ICC profile chunks) when
  // it keeps them, each with its own bookkeeping.
  std::uint64_t jpeg_profile_bytes = 0;
  // JPEG XL: what its headers say (decode/jxl_header.h).
  JxlLayout jxl{};
};

// Refuses an image whose header claims more than the limits above, whose
// structure runs past the end of the data, or whose format is not checked.
// A GIF is judged by its screen and first frame; what comes after that
// only decides whether the image library may see it.
// Pure function of the bytes: touches neither the image library nor any
// shared state, so it runs outside the image lock. Its time is linear in
// the bytes. Its memory is at most one byte per byte of BLOB (the coded
// data of a HEIF tile stored in pieces, joined) plus kPreflightFixedBytes
// (HEIF's index of the items that decoding the primary image reads, whose
// number libheif's own limits cap); other formats hold nothing.
Preflight preflight_image(const void* data, std::size_t size);
inline constexpr std::size_t kPreflightFixedBytes = std::size_t{4} << 20;

// The orientation (tag 274) in the first directory of EXIF data, which is
// laid out as a TIFF file; 1 when it is missing, out of bounds or not 1-8.
int exif_orientation(const unsigned char* data, std::size_t size);

}  // namespace quarn::thumb
