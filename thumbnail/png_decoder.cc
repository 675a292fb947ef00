// PNG with libspng: rows handed on as they are inflated (interlaced files,
// whose passes fill the whole image, are decoded whole first). libspng and
// zlib keep no state between files and read no environment variables.
#include <spng.h>
#include <zlib.h>

#include <cstring>
#include <vector>

#include "c_handle.h"
#include "colour.h"
#include "decoder.h"
#include "image_limits.h"

namespace quarn::thumb {
namespace {

// Ancillary chunks libspng keeps (text, profiles, EXIF), inflated: real
// files hold a few MB at most; a compressed text chunk may inflate to any
// size.
constexpr std::size_t kMaxChunkCache = std::size_t{64} << 20;

std::uint32_t big_endian_32(const unsigned char* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// libspng stops reading once it has the last row, before the CRC of the
// last image data chunk (it checks every other chunk's): checked here, so
// that a damaged file is refused as the image library refuses it. A file
// cut short inside an image data chunk is refused too.
bool last_image_data_intact(const unsigned char* data, std::size_t size) {
  const unsigned char* last = nullptr;
  std::size_t at = 8;  // past the signature
  while (at <= size && size - at >= 8) {
    const std::uint32_t length = big_endian_32(data + at);
    const unsigned char* type = data + at + 4;
    if (std::memcmp(type, "IDAT", 4) == 0) {
      if (size - at < 12 || length > size - at - 12) return false;
      last = data + at;
    }
    if (std::memcmp(type, "IEND", 4) == 0 || length > size - at - 8 || size - at - 8 - length < 4) break;
    at += std::size_t{length} + 12;
  }
  if (last == nullptr) return true;  // libspng refuses it on its own
  const std::uint32_t length = big_endian_32(last);
  return crc32_z(0, last + 4, std::size_t{length} + 4) == big_endian_32(last + 8 + length);
}

class PngDecoder : public ImageDecoder {
 public:
  PngDecoder(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}

  bool read_header(ImageHeader& header) override {
    if (!context_) return false;
    spng_set_image_limits(context_.get(), kMaxImageSide, kMaxImageSide);
    spng_set_chunk_limits(context_.get(), 0x7FFFFFFF, kMaxChunkCache);
    if (spng_set_png_buffer(context_.get(), data_, size_) != 0 ||
        spng_get_ihdr(context_.get(), &header_) != 0)
      return false;
    header.size = {header_.width, header_.height};
    return true;
  }

  bool decode(Size, Reduction& rows, ColourSpace& colour) override {
    if (!last_image_data_intact(data_, size_)) return false;
    spng_ctx* png = context_.get();
    spng_trns transparency;
    const bool trns = spng_get_trns(png, &transparency) == 0;
    int format = SPNG_FMT_RGB8;
    int channels = 3;
    switch (header_.color_type) {
      case SPNG_COLOR_TYPE_GRAYSCALE:
        // libspng gives grey alone only from 8 bits or fewer.
        if (trns || header_.bit_depth > 8) {
          format = SPNG_FMT_GA8;
          channels = 2;
        } else {
          format = SPNG_FMT_G8;
          channels = 1;
        }
        break;
      case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA: format = SPNG_FMT_GA8; channels = 2; break;
      case SPNG_COLOR_TYPE_TRUECOLOR_ALPHA: format = SPNG_FMT_RGBA8; channels = 4; break;
      default:
        if (trns) {
          format = SPNG_FMT_RGBA8;
          channels = 4;
        }
        break;
    }
    // 8-bit samples without a palette or tRNS are handed on as stored.
    if (header_.bit_depth == 8 && header_.color_type != SPNG_COLOR_TYPE_INDEXED && !trns)
      format = SPNG_FMT_PNG;
    read_colour(colour);
    std::size_t bytes = 0;
    if (spng_decoded_image_size(png, format, &bytes) != 0) return false;
    const std::size_t row_bytes = std::size_t{header_.width} * channels;
    if (bytes != row_bytes * header_.height) return false;
    rows.start({header_.width, header_.height}, channels);
    if (header_.interlace_method != SPNG_INTERLACE_NONE) {
      std::vector<std::uint8_t> image(bytes);
      if (spng_decode_image(png, image.data(), bytes, format, SPNG_DECODE_TRNS) != 0) return false;
      rows.add_rows({image.data(), header_.width, header_.height, channels, false});
      return true;
    }
    if (spng_decode_image(png, nullptr, 0, format, SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE) != 0)
      return false;
    std::vector<std::uint8_t> row(row_bytes);
    for (;;) {
      // The last row comes with SPNG_EOI.
      const int status = spng_decode_row(png, row.data(), row.size());
      if (status != 0 && status != SPNG_EOI) return false;
      rows.add_row(row.data());
      if (status == SPNG_EOI) return true;
    }
  }

 private:
  void read_colour(ColourSpace& colour) { colour = png_colour_chunks(context_.get()); }

  const unsigned char* data_;
  std::size_t size_;
  // Each chunk's CRC already covers every stored byte of the image data;
  // the zlib stream's own Adler-32 on top of it costs a tenth of the decode
  // and catches only encoder bugs, which browsers show anyway.
  CHandle<spng_ctx, spng_ctx_free> context_{spng_ctx_new(SPNG_CTX_IGNORE_ADLER32)};
  spng_ihdr header_{};
};

}  // namespace

std::unique_ptr<ImageDecoder> open_png(const unsigned char* data, std::size_t size, const Preflight&) {
  return std::make_unique<PngDecoder>(data, size);
}

}  // namespace quarn::thumb
