// TIFF with libtiff: the first page. Strips of 8- or 16-bit grey, RGB or
// palette samples (with or without alpha) are read row by row; tiles and
// every other layout libtiff knows go through its RGBA interface, one band
// of strips or tiles at a time. Either way memory grows with the width.
// libtiff's messages go to a handler of this file's own, never to the
// process-wide one, which another user of libtiff in the process may own.
#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "c_handle.h"
#include "decode/decoder.h"
#include "common/image_limits.h"

namespace quarn::thumb {
namespace {

struct Input {
  const unsigned char* data;
  toff_t size;
  toff_t at = 0;
};

tmsize_t read_input(thandle_t handle, void* out, tmsize_t wanted) {
  Input& in = *static_cast<Input*>(handle);
  if (wanted <= 0 || in.at >= in.size) return 0;
  const toff_t n = std::min<toff_t>(static_cast<toff_t>(wanted), in.size - in.at);
  std::memcpy(out, in.data + in.at, n);
  in.at += n;
  return static_cast<tmsize_t>(n);
}

tmsize_t no_write(thandle_t, void*, tmsize_t) { return -1; }

toff_t seek_input(thandle_t handle, toff_t offset, int whence) {
  Input& in = *static_cast<Input*>(handle);
  toff_t base = 0;
  if (whence == SEEK_CUR) base = in.at;
  if (whence == SEEK_END) base = in.size;
  // Offsets are unsigned: a backwards seek wraps round.
  in.at = base + offset;
  return in.at;
}

int close_input(thandle_t) { return 0; }
toff_t input_size(thandle_t handle) { return static_cast<Input*>(handle)->size; }

// Read-only mapping: libtiff reads strips in place instead of copying them.
int map_input(thandle_t handle, void** base, toff_t* size) {
  const Input& in = *static_cast<Input*>(handle);
  *base = const_cast<unsigned char*>(in.data);
  *size = in.size;
  return 1;
}

void unmap_input(thandle_t, void*, toff_t) {}

// Errors and warnings are not shown: a file libtiff fails on goes to the
// image library, which gives its own outcome.
int quiet(TIFF*, void*, const char*, const char*, va_list) { return 1; }

std::uint16_t field16(TIFF* tiff, ttag_t tag) {
  std::uint16_t value = 0;
  TIFFGetFieldDefaulted(tiff, tag, &value);
  return value;
}

// A sample of 8 or 16 bits as 8 bits.
inline unsigned eight(const std::uint8_t* row, std::size_t i, bool wide) {
  if (!wide) return row[i];
  std::uint16_t v;
  std::memcpy(&v, row + 2 * i, 2);  // host order: libtiff swaps on reading
  return (v * 255u + 32767u) / 65535u;
}

// Alpha onto white, for samples as stored (associated: already multiplied).
inline std::uint8_t on_white(unsigned c, unsigned alpha, bool associated) {
  if (associated) return static_cast<std::uint8_t>(std::min(255u, c + 255u - std::min(alpha, 255u)));
  return static_cast<std::uint8_t>((c * alpha + 255u * (255u - alpha) + 127u) / 255u);
}

class TiffDecoder : public ImageDecoder {
 public:
  TiffDecoder(const unsigned char* data, std::size_t size) : input_{data, size} {}

  bool read_header(ImageHeader& header) override {
    const CHandle<TIFFOpenOptions, TIFFOpenOptionsFree> options(TIFFOpenOptionsAlloc());
    if (!options) return false;
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), quiet, nullptr);
    // No single buffer beyond what the largest allowed image decodes to.
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), static_cast<tmsize_t>(8 * kMaxImagePixels));
    // Read whole, not strip by strip on demand ("O").
    // Mapped (no "m"): a strip is read in place, not copied whole beside
    // the BLOB, outside what the memory budget counts.
    tiff_.reset(TIFFClientOpenExt("tarvik", "r", &input_, read_input, no_write, seek_input,
                                  close_input, input_size, map_input, unmap_input, options.get()));
    if (!tiff_) return false;
    std::uint32_t width = 0, height = 0;
    if (!TIFFGetField(tiff_.get(), TIFFTAG_IMAGEWIDTH, &width) ||
        !TIFFGetField(tiff_.get(), TIFFTAG_IMAGELENGTH, &height) || width == 0 || height == 0 ||
        width > kMaxImageSide || height > kMaxImageSide ||
        std::uint64_t{width} * height > kMaxImagePixels)
      return false;
    header.size = size_ = {width, height};
    const std::uint16_t orientation = field16(tiff_.get(), TIFFTAG_ORIENTATION);
    header.orientation = orientation >= 1 && orientation <= 8 ? orientation : 1;
    return true;
  }

  // Row by row, or a band of strips or tiles at a time: libtiff's buffer
  // of one strip or row of tiles as stored and its RGBA raster of the band.
  DecodePlan plan(Size, Size) override {
    TIFF* tiff = tiff_.get();
    if (strip_layout()) return {size_, false, false, std::uint64_t{size_.width} * 16};
    std::uint32_t band = 0;
    std::uint64_t stored = 0;
    if (TIFFIsTiled(tiff)) {
      TIFFGetField(tiff, TIFFTAG_TILELENGTH, &band);
      stored = TIFFTileSize64(tiff);
    } else {
      TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &band);
      stored = TIFFStripSize64(tiff);
    }
    // Separate planes are read into one buffer.
    if (field16(tiff, TIFFTAG_PLANARCONFIG) == PLANARCONFIG_SEPARATE)
      stored *= field16(tiff, TIFFTAG_SAMPLESPERPIXEL);
    band = std::clamp<std::uint32_t>(band, 1, size_.height);
    return {size_, false, false, stored + std::uint64_t{size_.width} * band * 4};
  }

  bool decode(Size, Reduction& rows, ColourSpace& colour) override {
    TIFF* tiff = tiff_.get();
    std::uint32_t icc_bytes = 0;
    void* icc = nullptr;
    if (TIFFGetField(tiff, TIFFTAG_ICCPROFILE, &icc_bytes, &icc) && icc != nullptr) {
      const auto* bytes = static_cast<const std::uint8_t*>(icc);
      colour.icc.assign(bytes, bytes + icc_bytes);
    }
    return read_strips(rows) || read_rgba(rows);
  }

 private:
  // What the strips hold when they can be read row by row.
  struct StripLayout {
    std::uint16_t photometric = 0;
    std::uint16_t samples = 0;
    int colours = 0;
    bool grey = false, palette = false, alpha = false, associated = false, wide = false;
    std::uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;  // the palette
    bool narrow_map = true;  // 8-bit values in the 16-bit colour map
    tmsize_t scanline = 0;
    std::uint32_t width = 0, height = 0;
  };

  // Strips of 8- or 16-bit unsigned samples, contiguous: grey (either
  // polarity), RGB (JPEG's YCbCr converted by libjpeg) or palette, and at
  // most one extra sample, taken as alpha. Nothing for any other layout.
  std::optional<StripLayout> strip_layout() {
    TIFF* tiff = tiff_.get();
    StripLayout l;
    const std::uint16_t bits = field16(tiff, TIFFTAG_BITSPERSAMPLE);
    l.samples = field16(tiff, TIFFTAG_SAMPLESPERPIXEL);
    const std::uint16_t format = field16(tiff, TIFFTAG_SAMPLEFORMAT);
    const std::uint16_t planar = field16(tiff, TIFFTAG_PLANARCONFIG);
    if (!TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &l.photometric)) return std::nullopt;
    std::uint16_t extra_count = 0;
    std::uint16_t* extra = nullptr;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_EXTRASAMPLES, &extra_count, &extra);
    if (TIFFIsTiled(tiff) || (bits != 8 && bits != 16) || format != SAMPLEFORMAT_UINT ||
        (planar != PLANARCONFIG_CONTIG && l.samples > 1) || extra_count > 1 || l.samples < extra_count)
      return std::nullopt;
    l.colours = l.samples - extra_count;
    l.grey = l.photometric == PHOTOMETRIC_MINISBLACK || l.photometric == PHOTOMETRIC_MINISWHITE;
    l.palette = l.photometric == PHOTOMETRIC_PALETTE;
    bool rgb = l.photometric == PHOTOMETRIC_RGB;
    if (l.photometric == PHOTOMETRIC_YCBCR && field16(tiff, TIFFTAG_COMPRESSION) == COMPRESSION_JPEG &&
        bits == 8) {
      if (!TIFFSetField(tiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB)) return std::nullopt;
      rgb = true;
    }
    if (!((l.grey && l.colours == 1) || (rgb && l.colours == 3) ||
          (l.palette && l.samples == 1 && bits == 8)))
      return std::nullopt;
    if (l.palette && !TIFFGetField(tiff, TIFFTAG_COLORMAP, &l.red, &l.green, &l.blue))
      return std::nullopt;
    // Some writers store 8-bit values in the 16-bit colour map.
    for (int i = 0; l.palette && i < 256; ++i)
      if (l.red[i] > 255 || l.green[i] > 255 || l.blue[i] > 255) l.narrow_map = false;
    l.alpha = extra_count == 1 && (extra[0] == EXTRASAMPLE_ASSOCALPHA ||
                                   extra[0] == EXTRASAMPLE_UNASSALPHA);
    l.associated = l.alpha && extra[0] == EXTRASAMPLE_ASSOCALPHA;
    l.wide = bits == 16;
    l.scanline = TIFFScanlineSize(tiff);
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &l.width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &l.height);
    if (l.scanline != static_cast<tmsize_t>(std::size_t{l.width} * l.samples * (bits / 8)))
      return std::nullopt;
    return l;
  }

  // The strips row by row; false, before any row, for a layout other than
  // strip_layout's.
  bool read_strips(Reduction& rows) {
    TIFF* tiff = tiff_.get();
    const std::optional<StripLayout> layout = strip_layout();
    if (!layout) return false;
    const StripLayout& l = *layout;
    const auto map = [&l](std::uint16_t v) { return static_cast<std::uint8_t>(l.narrow_map ? v : v >> 8); };
    // 8-bit grey or RGB, alone or with unassociated alpha, goes on as stored.
    const bool as_stored = !l.wide && !l.palette && l.photometric != PHOTOMETRIC_MINISWHITE &&
                           (l.samples == l.colours || (l.alpha && !l.associated));
    const int out_channels = as_stored ? l.samples : l.grey ? 1 : 3;
    Buffer<std::uint8_t> in(static_cast<std::size_t>(l.scanline));
    std::vector<std::uint8_t> out(std::size_t{l.width} * out_channels);
    rows.start({l.width, l.height}, out_channels);
    for (std::uint32_t y = 0; y < l.height; ++y) {
      // Past the first row, a failure is a damaged file, not a layout
      // this reader does not take.
      if (out_of_time()) return false;
      if (TIFFReadScanline(tiff, in.data(), y, 0) < 0) return y == 0 ? false : fail();
      if (as_stored) {
        rows.add_row(in.data());
        continue;
      }
      std::uint8_t* o = out.data();
      for (std::uint32_t x = 0; x < l.width; ++x) {
        const std::size_t at = std::size_t{x} * l.samples;
        const unsigned a = l.alpha ? eight(in.data(), at + l.colours, l.wide) : 255;
        if (l.palette) {
          const std::uint8_t index = in[at];
          const unsigned c[3] = {map(l.red[index]), map(l.green[index]), map(l.blue[index])};
          for (int k = 0; k < 3; ++k) *o++ = static_cast<std::uint8_t>(c[k]);
          continue;
        }
        for (int k = 0; k < l.colours; ++k) {
          unsigned c = eight(in.data(), at + k, l.wide);
          if (l.photometric == PHOTOMETRIC_MINISWHITE)
            c = (l.associated ? a : 255u) - std::min(c, l.associated ? a : 255u);
          *o++ = l.alpha ? on_white(c, a, l.associated) : static_cast<std::uint8_t>(c);
        }
      }
      rows.add_row(out.data());
    }
    return true;
  }

  // Whatever libtiff's RGBA interface takes, in bands of whole strips or
  // tiles, as stored (libtiff's own turning is switched off).
  bool read_rgba(Reduction& rows) {
    if (failed_ || failure()) return false;
    TIFF* tiff = tiff_.get();
    char message[1024];
    if (!TIFFRGBAImageOK(tiff, message)) return false;
    TIFFRGBAImage image{};
    if (!TIFFRGBAImageBegin(&image, tiff, 0, message)) return false;
    const AtExit end([&image] { TIFFRGBAImageEnd(&image); });
    image.req_orientation = ORIENTATION_TOPLEFT;
    image.orientation = ORIENTATION_TOPLEFT;
    const std::uint32_t width = image.width, height = image.height;
    std::uint32_t band = 0;
    if (TIFFIsTiled(tiff))
      TIFFGetField(tiff, TIFFTAG_TILELENGTH, &band);
    else
      TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &band);
    band = std::clamp<std::uint32_t>(band, 1, height);
    const bool grey = (image.photometric == PHOTOMETRIC_MINISBLACK ||
                       image.photometric == PHOTOMETRIC_MINISWHITE) &&
                      image.samplesperpixel - (image.alpha ? 1 : 0) == 1;
    const int out_channels = grey ? 1 : 3;
    Buffer<std::uint32_t> raster(std::size_t{width} * band);
    std::vector<std::uint8_t> out(std::size_t{width} * out_channels);
    rows.start({width, height}, out_channels);
    for (std::uint32_t y = 0; y < height; y += band) {
      const std::uint32_t n = std::min(band, height - y);
      image.row_offset = static_cast<int>(y);
      if (out_of_time() || !TIFFRGBAImageGet(&image, raster.data(), width, n)) return false;
      for (std::uint32_t r = 0; r < n; ++r) {
        const std::uint32_t* in = raster.data() + std::size_t{r} * width;
        std::uint8_t* o = out.data();
        for (std::uint32_t x = 0; x < width; ++x) {
          // Alpha comes multiplied in.
          const unsigned a = TIFFGetA(in[x]);
          *o++ = on_white(TIFFGetR(in[x]), a, true);
          if (grey) continue;
          *o++ = on_white(TIFFGetG(in[x]), a, true);
          *o++ = on_white(TIFFGetB(in[x]), a, true);
        }
        rows.add_row(out.data());
      }
    }
    return true;
  }

  bool fail() {
    failed_ = true;
    return false;
  }

  Input input_;
  CHandle<TIFF, TIFFClose> tiff_;
  Size size_{};
  bool failed_ = false;
};

}  // namespace

std::unique_ptr<ImageDecoder> open_tiff(const unsigned char* data, std::size_t size, const Preflight&) {
  return std::make_unique<TiffDecoder>(data, size);
}

}  // namespace quarn::thumb
