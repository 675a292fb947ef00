// WebP, HEIC, AVIF, GIF, TIFF and JPEG XL images encoded at run time with
// the formats' own libraries (libwebp, libheif with x265 and libaom,
// libavif, giflib, libtiff, libjxl): test inputs,
// fuzzing seeds and benchmark images. Samples are 8-bit, interleaved, top
// row first: 1 channel grey, 3 RGB, 4 RGBA. Each gives "" when the encoder
// fails.
#pragma once

#include <cstdint>
#include <lcms2.h>

#include <string>
#include <vector>

namespace quarn::test {

using Samples = std::vector<std::uint8_t>;

std::string webp(const Samples& samples, unsigned width, unsigned height, int channels,
                 bool lossless);

// An animation whose frames (RGBA, canvas-sized) show 100 ms each.
std::string webp_animation(const std::vector<Samples>& frames, unsigned width, unsigned height);

// The WebP with an EXIF chunk that holds the orientation (tag 274).
std::string webp_with_exif(const std::string& webp, int orientation);

enum class HeifCodec { kHevc, kAv1 };

struct HeifOptions {
  HeifCodec codec = HeifCodec::kHevc;
  int orientation = 1;       // written as irot and imir boxes: how to show the stored image
  int exif_orientation = 0;  // an EXIF block with this orientation; 0: none
  int quality = 90;
  int nclx_primaries = 0;    // colour primaries (ITU-T H.273) in an nclx box with sRGB's
                             // transfer; 0: libheif's default box
  // A thumbnail item (heif_context_encode_thumbnail) fitted into a square
  // of this side; 0: none. It shows `preview_of` (same channels) when given,
  // else the image itself.
  int preview = 0;
  const std::vector<std::uint8_t>* preview_of = nullptr;
  unsigned preview_width = 0, preview_height = 0;
};

std::string heif(const Samples& samples, unsigned width, unsigned height, int channels,
                 const HeifOptions& options);

// A picture stored as phones store their photos: cut into tiles, each coded
// alone by libheif's encoder (x265), kept as hidden items and joined by a
// grid item that crops the tiles on the right and bottom edges to the
// picture (their samples past it repeat its edge).
struct HeifGridOptions {
  unsigned tile_width = 512, tile_height = 512;
  int orientation = 1;  // irot and imir on the grid, as libheif writes them
  // A thumbnail item (thmb) of the picture fitted into a square of this
  // (even) side, its other side rounded down to even, turned as the grid
  // is; 0: none.
  unsigned preview = 0;
  int quality = 90;
  // The picture the preview shows (RGB, the grid's size); null: the grid's.
  const Samples* preview_of = nullptr;
};

// RGB samples; "" when the encoder fails, a tile's side is odd or the grid
// would need more than 256 tiles across or down.
std::string heic_grid(const Samples& samples, unsigned width, unsigned height,
                      const HeifGridOptions& options = {});

// A 10-bit 4:2:0 AVIF of an RGB image (libavif: libheif 1.15's encoder
// fails on 10 bits with this libaom).
std::string avif_10bit(const Samples& samples, unsigned width, unsigned height);

// One frame of a GIF: palette indices, `width` x `height` at (left, top).
struct GifFrame {
  Samples indices;
  unsigned left = 0, top = 0, width = 0, height = 0;
  int transparent = -1;  // the index shown transparent; -1: none
};

// A GIF of the frames, shown 100 ms each, looping; `palette` holds RGB
// triples, 2, 4, ... or 256 of them.
std::string gif(const std::vector<GifFrame>& frames, unsigned width, unsigned height,
                const Samples& palette);

enum class TiffCompression { kNone, kLzw, kJpeg };

struct TiffOptions {
  int bits = 8;           // 8 or 16 (each sample times 257)
  int orientation = 1;    // the Orientation tag
  bool tiled = false;     // 16 x 16 tiles, else strips of rows_per_strip rows
  unsigned rows_per_strip = 16;
  TiffCompression compression = TiffCompression::kLzw;  // JPEG: 8-bit grey or RGB only
};

// Grey, grey+alpha, RGB or RGBA (alpha unassociated), one page.
std::string tiff(const Samples& samples, unsigned width, unsigned height, int channels,
                 const TiffOptions& options);

struct JxlOptions {
  bool lossless = false;  // modular in the image's own colours; else lossy XYB
  int orientation = 1;    // EXIF's values, in the header
  const std::string* icc = nullptr;  // an embedded profile; else a named space:
  int primaries = 1;                 // libjxl's JxlPrimaries (11: Display P3), sRGB's curve
  // Frames after the first, 100 ms each: an animation.
  std::vector<Samples> more_frames;
  bool container = false;  // the codestream in a jxlc box
  int effort = 3;          // libjxl's, 1-9: the files decode alike, low efforts encode fast
  bool progressive_dc = false;  // the 1:8 image in a frame of its own before the picture
  // Layers over a still image, composed in order onto it: frames of their
  // own size at their place (samples as the image's).
  struct Layer {
    Samples samples;
    int x0 = 0, y0 = 0;
    unsigned width = 0, height = 0;
  };
  std::vector<Layer> layers;
};

// Grey, grey+alpha, RGB or RGBA, 8-bit.
std::string jxl(const Samples& samples, unsigned width, unsigned height, int channels,
                const JxlOptions& options = {});

// The profile as lcms2 saves it ("" when it cannot); closes it.
std::string saved_profile(cmsHPROFILE profile);

// An RGB matrix-shaper profile with one tone curve for the three channels;
// frees the curve.
std::string rgb_profile(cmsCIExyY white, cmsCIExyYTRIPLE primaries, cmsToneCurve* curve);

}  // namespace quarn::test
