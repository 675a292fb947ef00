#include "decode/preflight.h"

#include <webp/decode.h>

#include <algorithm>
#include <cstring>

#include "ascii.h"
#include "decode/heif_layout.h"

namespace quarn::thumb {
namespace {

using Bytes = const unsigned char*;

std::uint32_t be16(Bytes p) { return (std::uint32_t{p[0]} << 8) | p[1]; }
std::uint32_t be32(Bytes p) { return (be16(p) << 16) | be16(p + 2); }
std::uint32_t le16(Bytes p) { return (std::uint32_t{p[1]} << 8) | p[0]; }
std::uint32_t le32(Bytes p) { return (le16(p + 2) << 16) | le16(p); }

// TIFF's integers, in the byte order its header names ("II" or "MM").
struct TiffOrder {
  bool big;
  std::uint32_t u16(Bytes p) const { return big ? be16(p) : le16(p); }
  std::uint32_t u32(Bytes p) const { return big ? be32(p) : le32(p); }
};

bool starts_with(Bytes d, std::size_t size, const char* magic, std::size_t length) {
  return size >= length && std::memcmp(d, magic, length) == 0;
}

// Decoded sizes beyond this overflow the library's 32-bit byte counts long
// before memory runs out: 8 bytes (16-bit RGBA) for every allowed pixel.
constexpr std::uint64_t kMaxDecodedBytes = 8 * kMaxImagePixels;

Preflight accept(ImageKind kind, std::uint64_t width, std::uint64_t height) {
  return {kind, false, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), ""};
}

Preflight refuse(ImageKind kind, const char* reason, std::uint64_t width = 0,
                 std::uint64_t height = 0) {
  const auto clamp = [](std::uint64_t v) {
    return static_cast<std::uint32_t>(v > 0xFFFFFFFFu ? 0xFFFFFFFFu : v);
  };
  return {kind, true, clamp(width), clamp(height), reason};
}

// The size check every format ends with.
Preflight claimed(ImageKind kind, std::uint64_t width, std::uint64_t height) {
  if (width == 0 || height == 0) return refuse(kind, "empty image", width, height);
  if (width > kMaxImageSide || height > kMaxImageSide)
    return refuse(kind, "side too long", width, height);
  if (width * height > kMaxImagePixels) return refuse(kind, "too many pixels", width, height);
  return accept(kind, width, height);
}

// ---- detection, mirroring the order and the tests of the library's own ----

bool is_jpeg(Bytes d, std::size_t n) { return n >= 2 && d[0] == 0xFF && d[1] == 0xD8; }

bool is_png(Bytes d, std::size_t n) { return starts_with(d, n, "\x89PNG\r\n\x1a\n", 8); }

// The library's own test of a bitmap header is looser than the format and
// hard to pin down (it even takes a cut header), so every "BM" is a bitmap;
// where the library disagrees it falls back to Targa, which is checked too.
bool is_bmp(Bytes d, std::size_t n) { return n >= 2 && d[0] == 'B' && d[1] == 'M'; }

// The library compares the GIF signature without regard to letter case.
bool is_gif(Bytes d, std::size_t n) {
  if (n < 6) return false;
  const std::string_view signature(reinterpret_cast<const char*>(d), 6);
  return ascii_iequals(signature, "gif87a") || ascii_iequals(signature, "gif89a");
}

// The library takes even a few bytes for a PCX header, whatever the version.
bool is_pcx(Bytes d, std::size_t n) { return n >= 3 && d[0] == 0x0A && d[2] == 1; }

bool is_pnm(Bytes d, std::size_t n) { return n >= 2 && d[0] == 'P' && d[1] >= '1' && d[1] <= '6'; }

bool is_psd(Bytes d, std::size_t n) { return starts_with(d, n, "8BPS\0\1", 6); }

bool is_tiff(Bytes d, std::size_t n) {
  return starts_with(d, n, "II*\0", 4) || starts_with(d, n, "MM\0*", 4);
}

// Targa has no signature; the library guesses it, as its last resort, from
// the image type, the bit depth and the size fields of the 18-byte header.
bool is_tga(Bytes d, std::size_t n) {
  if (n < 18) return false;
  const unsigned type = d[2];
  const unsigned bpp = d[16];
  return (type <= 3 || (type >= 9 && type <= 11)) && le16(d + 12) != 0 && le16(d + 14) != 0 &&
         (bpp == 8 || bpp == 15 || bpp == 16 || bpp == 24 || bpp == 32) && (d[17] & 0x10) == 0;
}

bool is_webp(Bytes d, std::size_t n) {
  return starts_with(d, n, "RIFF", 4) && n >= 12 && std::memcmp(d + 8, "WEBP", 4) == 0;
}

bool is_ico(Bytes d, std::size_t n) {
  return n >= 6 && d[0] == 0 && d[1] == 0 && (d[2] == 1 || d[2] == 2) && d[3] == 0;
}

// Formats the library also detects, by their signatures; their headers are
// not read here, so they are refused before the library sees them.
bool is_unread(Bytes d, std::size_t n) {
  static const struct {
    const char* magic;
    std::size_t length;
  } kSignatures[] = {
      {"DDS ", 4},                       // DirectDraw surface
      {"#?", 2},                         // Radiance HDR
      {"icns", 4},                       // Macintosh icon
      {"/*", 2},                         // X pixmap: the library finds "XPM" even across line ends
      {"! XPM2", 6},                     // X pixmap, version 2
      {"\x01\xda", 2},                   // Silicon Graphics
      {"\x53\x80\xf6\x34", 4},           // Softimage PIC
      {"Paint Shop Pro Image File", 25},  // PaintShop Pro
      {"Willy 7", 7},                    // Homeworld LIF
      {"IDST", 4},                       // Half-Life model
      {"\x59\xa6\x6a\x95", 4},           // Sun raster
      {"VTF\0", 4},                      // Valve texture
      {"\x76\x2f\x31\x01", 4},           // OpenEXR
      {"\0\0\0\x0cjP  ", 8},             // JPEG 2000
      {"\xff\x4f\xff\x51", 4},           // JPEG 2000 codestream
      {"\xb1\x68\xde\x3a", 4},           // multi-page PCX
      {"SIMPLE", 6},                     // FITS
      {"IWi", 3},                        // Infinity Ward image
      {"BLP1", 4},                       // Blizzard texture
      {"BLP2", 4},
      {"FORM", 4},                       // Amiga IFF / ILBM
      {"\x8aMNG", 4},                    // MNG
      {"\x8bJNG", 4},                    // JNG
      {"8BPS\0\2", 6},                   // Photoshop large document
  };
  for (const auto& s : kSignatures)
    if (starts_with(d, n, s.magic, s.length)) return true;
  return false;
}

// ---- per-format header reading ----

Preflight check_png(Bytes d, std::size_t n) {
  // A chunk length past the end makes the library's reader wait for bytes
  // that never come, so every chunk up to IEND must lie inside the data.
  std::size_t pos = 8;
  std::uint64_t width = 0;
  std::uint64_t height = 0;
  std::uint32_t pixel_bytes = 0;
  bool header = false;
  int orientation = 0;  // 0 until an eXIf chunk was seen
  for (;;) {
    if (n - pos < 12) return refuse(ImageKind::kPng, "chunk runs past the end", width, height);
    const std::uint32_t length = be32(d + pos);
    if (length > 0x7FFFFFFFu || length > n - pos - 12)
      return refuse(ImageKind::kPng, "chunk runs past the end", width, height);
    Bytes type = d + pos + 4;
    if (!header) {
      if (std::memcmp(type, "IHDR", 4) != 0 || length != 13)
        return refuse(ImageKind::kPng, "no IHDR chunk first");
      width = be32(d + pos + 8);
      height = be32(d + pos + 12);
      // Samples per pixel of the colour type (grey, -, RGB, palette, grey
      // and alpha, -, RGBA) at the bit depth.
      static const std::uint32_t kSamples[7] = {1, 1, 3, 1, 2, 1, 4};
      pixel_bytes = kSamples[std::min<unsigned>(d[pos + 17], 6)] * (d[pos + 16] > 8 ? 2 : 1);
      header = true;
    } else if (std::memcmp(type, "IHDR", 4) == 0) {
      return refuse(ImageKind::kPng, "second IHDR chunk", width, height);
    }
    // The first eXIf chunk, which holds a TIFF file (some writers put
    // JPEG's "Exif\0\0" before it).
    if (std::memcmp(type, "eXIf", 4) == 0 && orientation == 0) {
      Bytes payload = d + pos + 8;
      const std::size_t skip = starts_with(payload, length, "Exif\0\0", 6) ? 6 : 0;
      orientation = exif_orientation(payload + skip, length - skip);
    }
    pos += 12 + std::size_t{length};
    if (std::memcmp(type, "IEND", 4) == 0) break;
  }
  Preflight result = claimed(ImageKind::kPng, width, height);
  if (!result.refused && orientation != 0) result.orientation = orientation;
  result.library_bytes = pixel_bytes;
  return result;
}

bool is_sof(unsigned marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// The bytes of the DCT coefficients of a whole frame as libjpeg holds them:
// each component's 8x8 blocks (at its sampling), rounded up to whole
// sampling units, 64 coefficients of 2 bytes each.
std::uint64_t coefficient_bytes(std::uint64_t width, std::uint64_t height, Bytes components,
                                unsigned count) {
  const auto factor = [&](unsigned i, bool vertical) -> std::uint64_t {
    const unsigned f = vertical ? components[3 * i + 1] & 0x0F : components[3 * i + 1] >> 4;
    return f == 0 ? 1 : f;
  };
  std::uint64_t h_max = 1, v_max = 1;
  for (unsigned i = 0; i < count; ++i) {
    h_max = std::max(h_max, factor(i, false));
    v_max = std::max(v_max, factor(i, true));
  }
  std::uint64_t bytes = 0;
  for (unsigned i = 0; i < count; ++i) {
    const std::uint64_t h = factor(i, false), v = factor(i, true);
    const std::uint64_t across = (width * h + 8 * h_max - 1) / (8 * h_max);
    const std::uint64_t down = (height * v + 8 * v_max - 1) / (8 * v_max);
    bytes += (across + h - 1) / h * h * ((down + v - 1) / v * v) * 64 * 2;
  }
  return bytes;
}

Preflight check_jpeg(Bytes d, std::size_t n) {
  // Walks every marker segment: the library's reader skips a segment that
  // runs past the end by waiting, forever, for the missing bytes.
  std::size_t pos = 2;
  bool in_scan = false;
  bool have_frame = false;
  bool progressive = false;
  unsigned component_count = 0;
  std::uint64_t coefficients = 0;
  std::uint64_t profile_bytes = 0;
  unsigned scans = 0;
  int orientation = 0;  // 0 until an EXIF segment was seen
  Preflight frame = refuse(ImageKind::kJpeg, "no frame header");
  for (;;) {
    // Entropy-coded data or stray bytes, most of a file: memchr's pace.
    if (pos < n && d[pos] != 0xFF) {
      const void* marker = std::memchr(d + pos, 0xFF, n - pos);
      pos = marker != nullptr ? static_cast<std::size_t>(static_cast<Bytes>(marker) - d) : n;
    }
    while (pos < n && d[pos] == 0xFF) ++pos;
    if (pos >= n) break;
    const unsigned marker = d[pos++];
    if (marker == 0x00 || marker == 0x01 || marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7))
      continue;  // stuffed byte, restart marker or stray marker without a length
    if (marker == 0xD9) break;
    if (n - pos < 2) return refuse(ImageKind::kJpeg, "segment runs past the end");
    const std::size_t length = be16(d + pos);
    if (length < 2 || length > n - pos) return refuse(ImageKind::kJpeg, "segment runs past the end");
    if (is_sof(marker) && !have_frame) {
      if (length < 8) return refuse(ImageKind::kJpeg, "short frame header");
      const unsigned components = d[pos + 7];
      if (components == 0 || components > 4)
        return refuse(ImageKind::kJpeg, "unusual component count");
      if (length < 8 + 3 * std::size_t{components})
        return refuse(ImageKind::kJpeg, "short frame header");
      // A height of 0 (defined later by a DNL marker) is refused as empty.
      frame = claimed(ImageKind::kJpeg, be16(d + pos + 5), be16(d + pos + 3));
      if (frame.refused) return frame;
      have_frame = true;
      progressive = marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
      coefficients = coefficient_bytes(frame.width, frame.height, d + pos + 8, components);
      component_count = components;
    }
    if (marker == 0xDA) {
      if (!have_frame) return frame;  // a scan before any frame header
      if (++scans > kMaxJpegScans) {
        Preflight refused = refuse(ImageKind::kJpeg, kTooManyScans, frame.width, frame.height);
        refused.reason_logged = true;
        return refused;
      }
      // libjpeg keeps every coefficient of the image when its first scan
      // does not hold every component or the frame is progressive.
      if (!in_scan && (progressive || (length >= 3 && d[pos + 2] < component_count)))
        frame.held_bytes = coefficients;
      in_scan = true;
    }
    // libjpeg's record of a segment it keeps: its bookkeeping and a block
    // header of the memory manager's, beside the data.
    if (marker == 0xE2) profile_bytes += length - 2 + 96;
    // APP1 "Exif\0\0": the first one counts, as for other readers.
    if (marker == 0xE1 && orientation == 0 && length >= 8 &&
        std::memcmp(d + pos + 2, "Exif\0\0", 6) == 0)
      orientation = exif_orientation(d + pos + 8, length - 8);
    pos += length;
  }
  if (!have_frame) return frame;
  if (!in_scan) return refuse(ImageKind::kJpeg, "no scan", frame.width, frame.height);
  frame.orientation = orientation == 0 ? 1 : orientation;
  frame.jpeg_profile_bytes = profile_bytes;
  return frame;
}

Preflight check_bmp(Bytes d, std::size_t n) {
  if (n < 54) return refuse(ImageKind::kBmp, "header runs past the end");
  const std::uint64_t width = le32(d + 18);
  const auto signed_height = static_cast<std::int32_t>(le32(d + 22));
  const std::uint64_t height =
      signed_height < 0 ? std::uint64_t{0} - static_cast<std::int64_t>(signed_height)
                        : static_cast<std::uint64_t>(signed_height);
  const Preflight size = claimed(ImageKind::kBmp, width, height);
  if (size.refused) return size;
  const std::uint64_t offset = le32(d + 10);
  const std::uint64_t bpp = le16(d + 28);
  if (offset > n) return refuse(ImageKind::kBmp, "pixel data runs past the end", width, height);
  if (le32(d + 30) == 0) {
    // Uncompressed rows are padded to 4 bytes; all of them must be there.
    const std::uint64_t row = (width * bpp + 31) / 32 * 4;
    if (row * height > n - offset)
      return refuse(ImageKind::kBmp, "pixel data runs past the end", width, height);
  }
  Preflight accepted = size;
  accepted.library_bytes = static_cast<std::uint32_t>(std::clamp<std::uint64_t>((bpp + 7) / 8, 1, 4));
  return accepted;
}

// GIF block introducers and flags.
constexpr unsigned kGifExtension = 0x21;
constexpr unsigned kGifImage = 0x2C;
constexpr unsigned kGifTrailer = 0x3B;
constexpr unsigned kGifColourTable = 0x80;  // flag: a colour table follows
constexpr unsigned kGifMaxCodeSize = 11;    // LZW codes are at most 12 bits

// Bytes of the colour table that the flags byte announces.
std::size_t gif_colour_table(unsigned flags) {
  return flags & kGifColourTable ? std::size_t{3} << ((flags & 7) + 1) : 0;
}

// Skips a chain of GIF data sub-blocks; false when it runs past the end.
bool skip_sub_blocks(Bytes d, std::size_t n, std::size_t& pos) {
  for (;;) {
    if (pos >= n) return false;
    const std::size_t length = d[pos++];
    if (length == 0) return true;
    if (length > n - pos) return false;
    pos += length;
  }
}

Preflight check_gif(Bytes d, std::size_t n) {
  if (n < 13) return refuse(ImageKind::kGif, "header runs past the end");
  const std::uint64_t width = le16(d + 6);
  const std::uint64_t height = le16(d + 8);
  const Preflight size = claimed(ImageKind::kGif, width, height);
  if (size.refused) return size;
  std::size_t pos = 13 + gif_colour_table(d[10]);
  // The library decodes every frame into a full-size image of its own; the
  // first frame is all that is decoded otherwise, so a fault after it only
  // keeps the file from the library.
  std::uint64_t pixels = 0;
  unsigned frames = 0;
  Preflight accepted = size;
  const auto stop = [&](const char* reason) {
    if (frames == 0) return refuse(ImageKind::kGif, reason, width, height);
    Preflight first_frame = accepted;
    first_frame.library_refusal = reason;
    return first_frame;
  };
  while (pos < n) {
    const unsigned block = d[pos++];
    if (block == kGifTrailer) break;
    if (block == kGifExtension) {
      if (pos >= n) return stop("extension runs past the end");
      ++pos;  // label
      if (!skip_sub_blocks(d, n, pos)) return stop("extension runs past the end");
    } else if (block == kGifImage) {
      if (n - pos < 9) return stop("frame runs past the end");
      const std::uint64_t left = le16(d + pos);
      const std::uint64_t top = le16(d + pos + 2);
      const std::uint64_t frame_width = le16(d + pos + 4);
      const std::uint64_t frame_height = le16(d + pos + 6);
      const unsigned flags = d[pos + 8];
      pos += 9;
      if (frame_width == 0 || frame_height == 0 || left + frame_width > width ||
          top + frame_height > height)
        return stop("frame outside the screen");
      pos += gif_colour_table(flags);
      if (pos >= n) return stop("frame runs past the end");
      const unsigned code_size = d[pos++];
      if (code_size < 1 || code_size > kGifMaxCodeSize) return stop("bad code size");
      if (!skip_sub_blocks(d, n, pos)) return stop("frame runs past the end");
      // Interlaced rows come in four passes: the first frame is read whole.
      if (frames == 0 && (flags & 0x40) != 0) accepted.held_bytes = frame_width * frame_height;
      ++frames;
      pixels += width * height;
      if (pixels > kMaxImagePixels) return stop("too many pixels");
      accepted.library_pixels = pixels;
    } else {
      return stop("unknown block");
    }
  }
  if (frames == 0) return refuse(ImageKind::kGif, "no frame", width, height);
  return accepted;
}

Preflight check_pcx(Bytes d, std::size_t n) {
  if (n < 128) return refuse(ImageKind::kPcx, "header runs past the end");
  const std::uint32_t xmin = le16(d + 4), ymin = le16(d + 6);
  const std::uint32_t xmax = le16(d + 8), ymax = le16(d + 10);
  if (xmax < xmin || ymax < ymin) return refuse(ImageKind::kPcx, "empty image");
  const std::uint64_t width = xmax - xmin + 1;
  const std::uint64_t height = ymax - ymin + 1;
  const Preflight size = claimed(ImageKind::kPcx, width, height);
  if (size.refused) return size;
  const std::uint64_t bits = d[3];
  const std::uint64_t planes = d[65];
  const std::uint64_t line = le16(d + 66);
  if (planes == 0 || line < (width * bits + 7) / 8 || line * planes * height > kMaxDecodedBytes)
    return refuse(ImageKind::kPcx, "bad line length", width, height);
  Preflight accepted = size;
  accepted.library_bytes = static_cast<std::uint32_t>(std::max<std::uint64_t>(1, bits * planes / 8));
  return accepted;
}

// The library reads a PNM header line by line into a small buffer and
// splits it on spaces only: other separators, carriage returns, long lines
// or control bytes in comments make it misread the header or corrupt its
// heap. Only the plain form is let through.
constexpr std::size_t kMaxPnmLine = 100;

// Reads the next decimal header field, skipping spaces, line ends and
// comments; false on anything else, beyond 32 bits or on too long a line.
bool pnm_number(Bytes d, std::size_t n, std::size_t& pos, std::size_t& line_start,
                std::uint64_t& value) {
  const auto line_ok = [&] { return pos - line_start <= kMaxPnmLine; };
  for (;;) {
    while (pos < n && (d[pos] == ' ' || d[pos] == '\n')) {
      if (d[pos] == '\n') line_start = pos + 1;
      ++pos;
      if (!line_ok()) return false;
    }
    if (pos < n && d[pos] == '#') {
      while (pos < n && d[pos] != '\n') {
        if (d[pos] < 0x20 || d[pos] > 0x7E) return false;
        ++pos;
        if (!line_ok()) return false;
      }
      continue;
    }
    break;
  }
  if (pos >= n || d[pos] < '0' || d[pos] > '9') return false;
  value = 0;
  while (pos < n && d[pos] >= '0' && d[pos] <= '9') {
    value = value * 10 + static_cast<unsigned>(d[pos++] - '0');
    if (value > 0xFFFFFFFFu || !line_ok()) return false;
  }
  // The field ends at a space or a line end, as the library splits it.
  return pos < n && (d[pos] == ' ' || d[pos] == '\n');
}

Preflight check_pnm(Bytes d, std::size_t n) {
  const char kind = static_cast<char>(d[1]);
  std::size_t pos = 2;
  std::size_t line_start = 0;
  std::uint64_t width = 0, height = 0, maxval = 1;
  if (pos >= n || (d[pos] != ' ' && d[pos] != '\n'))
    return refuse(ImageKind::kPnm, "unusual header");
  if (!pnm_number(d, n, pos, line_start, width) || !pnm_number(d, n, pos, line_start, height))
    return refuse(ImageKind::kPnm, "unusual header");
  const bool bitmap = kind == '1' || kind == '4';
  if (!bitmap && !pnm_number(d, n, pos, line_start, maxval))
    return refuse(ImageKind::kPnm, "unusual header");
  if (maxval == 0 || maxval > 65535) return refuse(ImageKind::kPnm, "bad maximum value");
  const Preflight size = claimed(ImageKind::kPnm, width, height);
  if (size.refused) return size;
  ++pos;  // the single white space character before the samples
  const std::uint64_t rest = pos < n ? n - pos : 0;
  const std::uint64_t channels = (kind == '3' || kind == '6') ? 3 : 1;
  const std::uint64_t samples = width * height * channels;
  std::uint64_t needed = 0;
  switch (kind) {
    case '1': needed = samples; break;             // digits may follow each other
    case '2': case '3': needed = 2 * samples - 1; break;  // digit and separator
    case '4': needed = (width + 7) / 8 * height; break;
    default: needed = samples * (maxval > 255 ? 2 : 1); break;
  }
  if (needed > rest) return refuse(ImageKind::kPnm, "samples run past the end", width, height);
  if (kind <= '3') {
    // The library's reader of text samples never gets past any other byte.
    for (std::size_t i = pos; i < n; ++i) {
      const unsigned char c = d[i];
      if (!((c >= '0' && c <= '9') || c == ' ' || c == '\t' || c == '\n' || c == '\r'))
        return refuse(ImageKind::kPnm, "stray byte in text samples", width, height);
    }
  }
  Preflight accepted = size;
  accepted.library_bytes = static_cast<std::uint32_t>(channels * (maxval > 255 ? 2 : 1));
  return accepted;
}

constexpr std::uint64_t kPsdMaxChannels = 24;  // as the format allows
constexpr unsigned kPsdRaw = 0;
constexpr unsigned kPsdRunLength = 1;

Preflight check_psd(Bytes d, std::size_t n) {
  if (n < 26) return refuse(ImageKind::kPsd, "header runs past the end");
  const std::uint64_t channels = be16(d + 12);
  const std::uint64_t height = be32(d + 14);
  const std::uint64_t width = be32(d + 18);
  const std::uint64_t depth = be16(d + 22);
  const Preflight size = claimed(ImageKind::kPsd, width, height);
  if (size.refused) return size;
  if (channels == 0 || channels > kPsdMaxChannels || !(depth == 1 || depth == 8 || depth == 16))
    return refuse(ImageKind::kPsd, "bad channels or depth", width, height);
  const std::uint64_t sample_bytes = depth == 16 ? 2 : 1;
  if (width * height * channels * sample_bytes > kMaxDecodedBytes)
    return refuse(ImageKind::kPsd, "too many pixels", width, height);
  // Colour mode data, image resources, layer and mask information.
  std::size_t pos = 26;
  for (int section = 0; section < 3; ++section) {
    if (n - pos < 4) return refuse(ImageKind::kPsd, "section runs past the end", width, height);
    const std::uint32_t length = be32(d + pos);
    pos += 4;
    if (length > n - pos) return refuse(ImageKind::kPsd, "section runs past the end", width, height);
    pos += length;
  }
  if (n - pos < 2) return refuse(ImageKind::kPsd, "no image data", width, height);
  const std::uint32_t compression = be16(d + pos);
  pos += 2;
  const std::uint64_t rest = n - pos;
  if (compression == kPsdRaw) {
    const std::uint64_t row = depth == 1 ? (width + 7) / 8 : width * sample_bytes;
    if (row * height * channels > rest)
      return refuse(ImageKind::kPsd, "image data runs past the end", width, height);
  } else if (compression == kPsdRunLength) {
    if (height * channels * 2 > rest)  // the byte count of every row comes first
      return refuse(ImageKind::kPsd, "image data runs past the end", width, height);
  } else {
    return refuse(ImageKind::kPsd, "unknown compression", width, height);
  }
  Preflight accepted = size;
  accepted.library_bytes = static_cast<std::uint32_t>(channels * sample_bytes);
  return accepted;
}

// TIFF field types and the tags read here.
constexpr std::uint32_t kTiffShort = 3;
constexpr std::uint32_t kTiffLong = 4;
constexpr std::uint32_t kTagImageWidth = 256;
constexpr std::uint32_t kTagImageLength = 257;
constexpr std::uint32_t kTagStripOffsets = 273;
constexpr std::uint32_t kTagStripByteCounts = 279;
constexpr std::uint32_t kTagTileWidth = 322;
constexpr std::uint32_t kTagTileLength = 323;
constexpr std::uint32_t kTagTileOffsets = 324;
constexpr std::uint32_t kTagTileByteCounts = 325;
constexpr std::uint32_t kTagOrientation = 274;
constexpr int kTiffMaxPages = 64;
constexpr std::uint64_t kTiffEntryBytes = 12;

std::uint64_t tiff_type_size(std::uint32_t type) {
  switch (type) {
    case 1: case 2: case 6: case 7: return 1;
    case 3: case 8: return 2;
    case 4: case 9: case 11: case 13: return 4;
    case 5: case 10: case 12: return 8;
    default: return 0;  // unknown types are skipped by the decoder
  }
}

// The file and its byte order.
struct TiffReader : TiffOrder {
  Bytes d;
  std::size_t n;
};

// An array of SHORT or LONG values somewhere in the file.
struct TiffArray {
  Bytes at = nullptr;
  std::uint64_t count = 0;
  std::uint32_t type = 0;
  std::uint64_t get(const TiffReader& r, std::uint64_t i) const {
    return type == kTiffShort ? r.u16(at + 2 * i) : r.u32(at + 4 * i);
  }
};

// What one image file directory says about its page.
struct TiffDirectory {
  const char* refusal = nullptr;
  bool unread = false;  // refused before any entry was read
  std::uint64_t width = 0, height = 0, tile_width = 0, tile_height = 0;
  TiffArray offsets, counts;  // of the strips or tiles
  std::uint64_t next = 0;     // offset of the next directory, 0 for none
};

TiffDirectory read_tiff_directory(const TiffReader& r, std::uint64_t ifd) {
  TiffDirectory dir;
  const std::size_t n = r.n;
  dir.unread = true;
  if (ifd > n || n - ifd < 2) return dir.refusal = "directory runs past the end", dir;
  const std::uint64_t entries = r.u16(r.d + ifd);
  if (entries == 0 || (n - ifd - 2) / kTiffEntryBytes < entries ||
      n - ifd - 2 - entries * kTiffEntryBytes < 4)
    return dir.refusal = "directory runs past the end", dir;
  dir.unread = false;
  for (std::uint64_t i = 0; i < entries; ++i) {
    Bytes e = r.d + ifd + 2 + i * kTiffEntryBytes;
    const std::uint32_t tag = r.u16(e);
    const std::uint32_t type = r.u16(e + 2);
    const std::uint64_t count = r.u32(e + 4);
    const std::uint64_t value =
        type == kTiffShort ? r.u16(e + 8) : type == kTiffLong ? r.u32(e + 8) : 0;
    // Values of more than four bytes lie elsewhere in the file; the
    // library's reader does not stop at the end of the data but reads on.
    const std::uint64_t bytes = count * tiff_type_size(type);
    Bytes where = e + 8;
    if (bytes > 4) {
      if (r.u32(e + 8) > n || bytes > n - r.u32(e + 8))
        return dir.refusal = "value runs past the end", dir;
      where = r.d + r.u32(e + 8);
    }
    const bool array = type == kTiffShort || type == kTiffLong;
    switch (tag) {
      case kTagImageWidth: dir.width = value; break;
      case kTagImageLength: dir.height = value; break;
      case kTagTileWidth: dir.tile_width = value; break;
      case kTagTileLength: dir.tile_height = value; break;
      case kTagStripOffsets: case kTagTileOffsets:
        if (array) dir.offsets = {where, count, type};
        break;
      case kTagStripByteCounts: case kTagTileByteCounts:
        if (array) dir.counts = {where, count, type};
        break;
      default: break;
    }
  }
  dir.next = r.u32(r.d + ifd + 2 + entries * kTiffEntryBytes);
  return dir;
}

// Every strip or tile the decoder will seek to must lie inside the data.
const char* tiff_strips_refusal(const TiffReader& r, const TiffDirectory& dir) {
  if (dir.offsets.at == nullptr || dir.counts.at == nullptr || dir.offsets.count != dir.counts.count)
    return "strips not described";
  for (std::uint64_t i = 0; i < dir.offsets.count; ++i) {
    const std::uint64_t at = dir.offsets.get(r, i);
    const std::uint64_t length = dir.counts.get(r, i);
    if (at > r.n || length > r.n - at) return "strip runs past the end";
  }
  return nullptr;
}

Preflight check_tiff(Bytes d, std::size_t n) {
  if (n < 8) return refuse(ImageKind::kTiff, "header runs past the end");
  const TiffReader reader{{d[0] == 'M'}, d, n};
  std::uint64_t first_width = 0, first_height = 0, pixels = 0;
  std::uint64_t ifd = reader.u32(d + 4);
  // The library may read every directory of a multi-page file.
  for (int page = 0; ifd != 0; ++page) {
    if (page == kTiffMaxPages)
      return refuse(ImageKind::kTiff, "too many pages", first_width, first_height);
    const TiffDirectory dir = read_tiff_directory(reader, ifd);
    if (dir.refusal != nullptr) {
      // A directory that cannot be read at all has no size of its own.
      return refuse(ImageKind::kTiff, dir.refusal, dir.unread ? first_width : dir.width,
                    dir.unread ? first_height : dir.height);
    }
    if (const char* refusal = tiff_strips_refusal(reader, dir))
      return refuse(ImageKind::kTiff, refusal, dir.width, dir.height);
    const Preflight size = claimed(ImageKind::kTiff, dir.width, dir.height);
    if (size.refused) return size;
    if (dir.tile_width > kMaxImageSide || dir.tile_height > kMaxImageSide ||
        dir.tile_width * dir.tile_height > kMaxImagePixels)
      return refuse(ImageKind::kTiff, "tile too large", dir.width, dir.height);
    if (page == 0) {
      first_width = dir.width;
      first_height = dir.height;
    }
    pixels += dir.width * dir.height;
    if (pixels > kMaxImagePixels)
      return refuse(ImageKind::kTiff, "too many pixels", first_width, first_height);
    if (dir.next == ifd) return refuse(ImageKind::kTiff, "directory loop", first_width, first_height);
    ifd = dir.next;
  }
  if (first_width == 0) return refuse(ImageKind::kTiff, "no directory");
  Preflight accepted = accept(ImageKind::kTiff, first_width, first_height);
  accepted.library_pixels = pixels;
  return accepted;
}

// Only the claimed size, for bytes that the library may take for a Targa
// although another signature matched first.
Preflight tga_size(Bytes d) { return claimed(ImageKind::kTga, le16(d + 12), le16(d + 14)); }

Preflight check_tga(Bytes d, std::size_t n) {
  const Preflight size = tga_size(d);
  if (size.refused) return size;
  const unsigned type = d[2];
  if (type == 0) return refuse(ImageKind::kTga, "no image data", size.width, size.height);
  // The library decodes grey Targas deeper than 8 bits into an image whose
  // pixel size contradicts its format.
  if ((type == 3 || type == 11) && d[16] != 8)
    return refuse(ImageKind::kTga, "grey deeper than 8 bits", size.width, size.height);
  // A colour-mapped image without a colour map of the usual kind makes the
  // library allocate as if from garbage: over 512 MB for a 1 x 32 image.
  const bool mapped = type == 1 || type == 9;
  const unsigned map_bits = d[7];
  if (d[1] > 1 || mapped != (d[1] == 1) ||
      (mapped && !(map_bits == 15 || map_bits == 16 || map_bits == 24 || map_bits == 32)))
    return refuse(ImageKind::kTga, "unusual colour map", size.width, size.height);
  const std::uint64_t map_entry_bytes = (std::uint64_t{d[7]} + 7) / 8;
  const std::uint64_t offset = 18 + std::uint64_t{d[0]} + (d[1] ? le16(d + 5) * map_entry_bytes : 0);
  const std::uint64_t pixel_bytes = (std::uint64_t{d[16]} + 7) / 8;
  const std::uint64_t pixels = std::uint64_t{size.width} * size.height;
  // The library allocates the whole image before reading it: all pixels
  // must be there, or for run-length data at least one packet per 128.
  const std::uint64_t needed =
      type <= 3 ? pixels * pixel_bytes : (pixels + 127) / 128 * (1 + pixel_bytes);
  if (offset > n || needed > n - offset)
    return refuse(ImageKind::kTga, "pixel data runs past the end", size.width, size.height);
  Preflight accepted = size;
  accepted.library_bytes = static_cast<std::uint32_t>(std::max<std::uint64_t>(1, pixel_bytes));
  return accepted;
}

Preflight check_ico(Bytes d, std::size_t n) {
  const std::uint64_t count = le16(d + 4);
  if (count == 0) return refuse(ImageKind::kIco, "no image");
  if ((n - 6) / 16 < count) return refuse(ImageKind::kIco, "directory runs past the end");
  std::uint64_t pixels = 0, first_width = 0, first_height = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    Bytes e = d + 6 + i * 16;
    const std::uint64_t bytes = le32(e + 8);
    const std::uint64_t offset = le32(e + 12);
    if (offset > n || bytes > n - offset || bytes < 40)
      return refuse(ImageKind::kIco, "image runs past the end");
    // The size that counts is the embedded image's own, not the directory's.
    Bytes image = d + offset;
    std::uint64_t width = 0, height = 0;
    if (is_png(image, bytes)) {
      if (bytes < 24) return refuse(ImageKind::kIco, "image runs past the end");
      width = be32(image + 16);
      height = be32(image + 20);
    } else {
      width = le32(image + 4);
      height = le32(image + 8) / 2;  // colour and mask bitmaps stacked
    }
    const Preflight size = claimed(ImageKind::kIco, width, height);
    if (size.refused) return size;
    if (i == 0) {
      first_width = width;
      first_height = height;
    }
    pixels += width * height;
    if (pixels > kMaxImagePixels) return refuse(ImageKind::kIco, "too many pixels");
  }
  return accept(ImageKind::kIco, first_width, first_height);
}

// The orientation in a WebP's EXIF chunk, which holds a TIFF file (some
// writers put JPEG's "Exif\0\0" before it); 1 when there is none.
int webp_orientation(Bytes d, std::size_t n) {
  const std::size_t end = static_cast<std::size_t>(std::min<std::uint64_t>(n, 8 + std::uint64_t{le32(d + 4)}));
  for (std::size_t pos = 12; pos <= end && end - pos >= 8;) {
    const std::size_t length = le32(d + pos + 4);
    if (length > end - pos - 8) break;
    Bytes payload = d + pos + 8;
    if (std::memcmp(d + pos, "EXIF", 4) == 0) {
      const std::size_t skip = starts_with(payload, length, "Exif\0\0", 6) ? 6 : 0;
      return exif_orientation(payload + skip, length - skip);
    }
    pos += 8 + length;
    if (length % 2 == 1) {  // chunks are padded to an even length
      if (pos == end) break;
      ++pos;
    }
  }
  return 1;
}

// libwebp's own reading of the header: the canvas of an animation, or the
// still image's size, which it checks against its bitstream.
Preflight check_webp(Bytes d, std::size_t n) {
  WebPBitstreamFeatures features;
  if (WebPGetFeatures(d, n, &features) != VP8_STATUS_OK)
    return refuse(ImageKind::kWebp, "unreadable header");
  Preflight size = claimed(ImageKind::kWebp, static_cast<std::uint32_t>(features.width),
                           static_cast<std::uint32_t>(features.height));
  if (!size.refused) size.orientation = webp_orientation(d, n);
  return size;
}

// Colour and alpha pictures of an image at the limits.
constexpr std::uint64_t kMaxHeifCodedPixels = 2 * kMaxImagePixels;

// Whether decoding what `pictures` counts stays within the limits.
const char* heif_refusal(const HeifPictures& pictures) {
  if (pictures.refusal != nullptr) return pictures.refusal;
  if (pictures.widest > kMaxImageSide || pictures.tallest > kMaxImageSide) return "side too long";
  if (pictures.coded_pixels > kMaxHeifCodedPixels) return "too many pixels";
  return nullptr;
}

// The sizes that count are the coded pictures' (see heif_layout.h); the
// image's own size comes from libheif's reading of the file, before it
// decodes anything. A preview that fails the same checks is never decoded,
// but the file is judged by its picture, which is decoded for larger boxes.
Preflight check_heif(Bytes d, std::size_t n) {
  const HeifLayout layout = read_heif_layout(d, n);
  if (layout.refusal != nullptr) return refuse(ImageKind::kHeif, layout.refusal);
  if (const char* refusal = heif_refusal(layout))
    return refuse(ImageKind::kHeif, refusal, layout.widest, layout.tallest);
  Preflight accepted = accept(ImageKind::kHeif, 0, 0);
  accepted.heif_coded_pixels = std::max(layout.coded_pixels, layout.canvas_pixels);
  if (layout.canvas_pixels > 0) {
    accepted.heif_tiles = layout.pictures;
    accepted.heif_tile_pixels = layout.largest;
  }
  static_assert(std::size(Preflight{}.heif_previews) >= kMaxHeifPreviews);
  for (std::size_t i = 0; i < layout.preview_count; ++i) {
    const HeifPreview& preview = layout.previews[i];
    if (preview.shown_alike && heif_refusal(preview.pictures) == nullptr) {
      accepted.heif_preview_pixels[accepted.heif_preview_count] =
          std::max(preview.pictures.coded_pixels, preview.pictures.canvas_pixels);
      accepted.heif_previews[accepted.heif_preview_count++] = preview.item;
    }
  }
  return accepted;
}

// The headers as read before libjxl sees them (decode/jxl_header.h), the
// image held to the limits.
Preflight check_jxl(Bytes d, std::size_t n) {
  const JxlLayout layout = read_jxl_layout(d, n);
  if (layout.refusal != nullptr)
    return refuse(ImageKind::kJxl, layout.refusal, layout.width, layout.height);
  Preflight size = claimed(ImageKind::kJxl, layout.width, layout.height);
  if (size.refused) return size;
  size.orientation = layout.orientation;
  size.jxl = layout;
  return size;
}

}  // namespace

int exif_orientation(const unsigned char* d, std::size_t n) {
  if (d == nullptr || !is_tiff(d, n) || n < 8) return 1;
  const TiffOrder order{d[0] == 'M'};
  const std::uint64_t ifd = order.u32(d + 4);
  if (ifd > n || n - ifd < 2) return 1;
  const std::uint64_t entries = order.u16(d + ifd);
  for (std::uint64_t i = 0; i < entries && (n - ifd - 2) / kTiffEntryBytes > i; ++i) {
    Bytes e = d + ifd + 2 + i * kTiffEntryBytes;
    if (order.u16(e) != kTagOrientation) continue;
    // One SHORT, held in the entry itself.
    const std::uint32_t value = order.u16(e + 8);
    const bool one_short = order.u16(e + 2) == kTiffShort && order.u32(e + 4) == 1;
    return one_short && value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
  }
  return 1;
}

const char* kind_name(ImageKind kind) {
  switch (kind) {
    case ImageKind::kUnknown: return "unknown";
    case ImageKind::kJpeg: return "JPEG";
    case ImageKind::kPng: return "PNG";
    case ImageKind::kBmp: return "BMP";
    case ImageKind::kGif: return "GIF";
    case ImageKind::kPcx: return "PCX";
    case ImageKind::kPnm: return "PNM";
    case ImageKind::kPsd: return "PSD";
    case ImageKind::kTiff: return "TIFF";
    case ImageKind::kTga: return "TGA";
    case ImageKind::kIco: return "ICO";
    case ImageKind::kUnread: return "unread";
    case ImageKind::kWebp: return "WebP";
    case ImageKind::kHeif: return "HEIF";
    case ImageKind::kJxl: return "JPEG XL";
  }
  return "?";
}

bool looks_like_tga(const unsigned char* d, std::size_t n) { return d != nullptr && is_tga(d, n); }

ImageKind detect_kind(const unsigned char* d, std::size_t n) {
  if (d == nullptr) return ImageKind::kUnknown;
  if (is_jpeg(d, n)) return ImageKind::kJpeg;
  if (is_jxl(d, n)) return ImageKind::kJxl;
  if (is_unread(d, n)) return ImageKind::kUnread;
  if (is_webp(d, n)) return ImageKind::kWebp;
  if (is_heif(d, n)) return ImageKind::kHeif;
  if (is_png(d, n)) return ImageKind::kPng;
  if (is_bmp(d, n)) return ImageKind::kBmp;
  if (is_gif(d, n)) return ImageKind::kGif;
  if (is_pcx(d, n)) return ImageKind::kPcx;
  if (is_pnm(d, n)) return ImageKind::kPnm;
  if (is_psd(d, n)) return ImageKind::kPsd;
  if (is_tiff(d, n)) return ImageKind::kTiff;
  if (is_tga(d, n)) return ImageKind::kTga;
  if (is_ico(d, n)) return ImageKind::kIco;
  return ImageKind::kUnknown;
}

Preflight preflight_image(const void* data, std::size_t size) {
  const auto* d = static_cast<const unsigned char*>(data);
  const ImageKind kind = detect_kind(d, size);
  Preflight result = accept(kind, 0, 0);
  switch (kind) {
    case ImageKind::kUnknown: return result;
    case ImageKind::kUnread: return refuse(kind, "format not checked");
    // Never handed to the library, so its Targa guess does not matter.
    case ImageKind::kWebp: return check_webp(d, size);
    case ImageKind::kHeif: return check_heif(d, size);
    case ImageKind::kJxl: return check_jxl(d, size);
    case ImageKind::kJpeg: result = check_jpeg(d, size); break;
    case ImageKind::kPng: result = check_png(d, size); break;
    case ImageKind::kBmp: result = check_bmp(d, size); break;
    case ImageKind::kGif: result = check_gif(d, size); break;
    case ImageKind::kPcx: result = check_pcx(d, size); break;
    case ImageKind::kPnm: result = check_pnm(d, size); break;
    case ImageKind::kPsd: result = check_psd(d, size); break;
    case ImageKind::kTiff: result = check_tiff(d, size); break;
    case ImageKind::kTga: return check_tga(d, size);
    case ImageKind::kIco: result = check_ico(d, size); break;
  }
  // Should the library's own test of the format above fail where this one
  // passed, it falls back to Targa: that reading must be safe as well.
  if (!result.refused && is_tga(d, size)) {
    const Preflight fallback = tga_size(d);
    if (fallback.refused) return {kind, true, result.width, result.height, "unsafe as Targa"};
  }
  return result;
}

}  // namespace quarn::thumb
