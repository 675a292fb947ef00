// PNG with libpng: rows handed on as they are inflated (interlaced files,
// whose passes fill the whole image, are decoded whole first). libpng and
// zlib keep no state between files and read no environment variables.
#include <png.h>

#include <array>
#include <cmath>
#include <csetjmp>
#include <cstring>
#include <vector>

#include "decode/decoder.h"
#include "common/image_limits.h"

namespace quarn::thumb {
namespace {

// An ancillary chunk's data as libpng keeps it, an ICC profile inflated:
// profiles of a few megabytes exist (large lookup tables); anything far
// beyond is not read.
constexpr png_alloc_size_t kMaxChunk = png_alloc_size_t{1} << 24;

// The only ancillary chunks read; every other one is skipped unread, so
// that no text or palette suggestion of any size is kept.
constexpr png_byte kColourChunks[] = "iCCP\0sRGB\0gAMA\0cHRM";

// libpng reports an error by a long jump back to the setjmp of the call
// that raised it, and prints nothing here. Every function below that calls
// into libpng sets that point itself and holds nothing with a destructor.
[[noreturn]] void raise_silently(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void ignore_warning(png_structp, png_const_charp) {}

class PngReader {
 public:
  PngReader(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
  ~PngReader() { png_destroy_read_struct(&png_, info_ != nullptr ? &info_ : nullptr, nullptr); }
  PngReader(const PngReader&) = delete;
  PngReader& operator=(const PngReader&) = delete;

  // Reads the chunks before the image data; false when libpng refuses them.
  bool read_info() {
    png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, raise_silently, ignore_warning);
    if (png_ == nullptr) return false;
    info_ = png_create_info_struct(png_);
    if (info_ == nullptr) return false;
    if (setjmp(png_jmpbuf(png_))) return false;
    png_set_user_limits(png_, kMaxImageSide, kMaxImageSide);
    png_set_chunk_malloc_max(png_, kMaxChunk);
    png_set_keep_unknown_chunks(png_, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
    png_set_keep_unknown_chunks(png_, PNG_HANDLE_CHUNK_AS_DEFAULT, kColourChunks, 4);
    // Each chunk's CRC already covers every stored byte of the image data;
    // the zlib stream's own Adler-32 on top of it costs a tenth of the
    // decode and catches only encoder bugs, which browsers show anyway.
    png_set_option(png_, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
    png_set_read_fn(png_, this, read_bytes);
    png_read_info(png_, info_);
    return true;
  }

  Size size() const { return {png_get_image_width(png_, info_), png_get_image_height(png_, info_)}; }
  bool interlaced() const { return png_get_interlace_type(png_, info_) != PNG_INTERLACE_NONE; }

  // What the chunks say of the colours: iCCP, else sRGB, else gAMA and
  // cHRM. libpng has already dropped those it found inconsistent.
  ColourSpace colour() const {
    ColourSpace colour;
    png_charp name = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 length = 0;
    if (png_get_iCCP(png_, info_, &name, &compression, &profile, &length) != 0 && profile != nullptr) {
      colour.icc.assign(profile, profile + length);
      return colour;
    }
    int intent = 0;
    if (png_get_sRGB(png_, info_, &intent) != 0) {
      colour.srgb = true;
      return colour;
    }
    double gamma = 0;
    if (png_get_gAMA(png_, info_, &gamma) != 0 && std::isfinite(gamma)) colour.gamma = gamma;
    double c[8] = {};
    if (png_get_cHRM(png_, info_, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7]) != 0)
      colour.chromaticities = std::array<double, 8>{c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7]};
    return colour;
  }

  // 8-bit grey, grey+alpha, RGB or RGBA: palettes expanded, tRNS made
  // alpha, 16 bits scaled. Says the samples per pixel and the passes over
  // the rows (7 for an interlaced file); false when libpng refuses.
  bool set_output(int& channels, int& passes) {
    if (setjmp(png_jmpbuf(png_))) return false;
    png_set_expand(png_);
    png_set_scale_16(png_);
    passes = png_set_interlace_handling(png_);
    png_read_update_info(png_, info_);
    channels = png_get_channels(png_, info_);
    return png_get_bit_depth(png_, info_) == 8 && channels >= 1 && channels <= 4 &&
           png_get_rowbytes(png_, info_) == std::size_t{size().width} * channels;
  }

  bool read_row(std::uint8_t* row) {
    if (setjmp(png_jmpbuf(png_))) return false;
    png_read_row(png_, row, nullptr);
    return true;
  }

  // The chunks after the image data, up to IEND: the last image data
  // chunk's CRC, and a file cut short, are checked here.
  bool read_end() {
    if (setjmp(png_jmpbuf(png_))) return false;
    png_read_end(png_, nullptr);
    return true;
  }

 private:
  static void read_bytes(png_structp png, png_bytep out, png_size_t length) {
    auto* self = static_cast<PngReader*>(png_get_io_ptr(png));
    if (length > self->size_ - self->at_) png_error(png, "cut short");
    std::memcpy(out, self->data_ + self->at_, length);
    self->at_ += length;
  }

  const unsigned char* data_;
  std::size_t size_;
  std::size_t at_ = 0;
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
};

class PngDecoder : public ImageDecoder {
 public:
  PngDecoder(const unsigned char* data, std::size_t size) : reader_(data, size) {}

  bool read_header(ImageHeader& header) override {
    if (!reader_.read_info()) return false;
    header.size = reader_.size();
    return true;
  }

  // Interlaced files are decoded whole before their rows are handed on;
  // libpng holds two rows of up to 16-bit RGBA.
  DecodePlan plan(Size, Size) override {
    return {reader_.size(), reader_.interlaced(), false, std::uint64_t{reader_.size().width} * 16};
  }

  // Row by row, the time limit looked at before each.
  bool decode(Size, Reduction& rows, ColourSpace& colour) override {
    colour = reader_.colour();
    int channels = 0;
    int passes = 1;
    if (!reader_.set_output(channels, passes)) return false;
    const Size size = reader_.size();
    const std::size_t row_bytes = std::size_t{size.width} * channels;
    rows.start(size, channels);
    if (passes > 1) {
      // Each pass adds its pixels to the rows the passes before filled.
      Buffer<std::uint8_t> image(row_bytes * size.height);
      for (int pass = 0; pass < passes; ++pass)
        for (std::uint32_t y = 0; y < size.height; ++y)
          if (out_of_time() || !reader_.read_row(image.data() + y * row_bytes)) return false;
      rows.add_rows({image.data(), size.width, size.height, channels, false});
    } else {
      std::vector<std::uint8_t> row(row_bytes);
      for (std::uint32_t y = 0; y < size.height; ++y) {
        if (out_of_time() || !reader_.read_row(row.data())) return false;
        rows.add_row(row.data());
      }
    }
    return reader_.read_end();
  }

 private:
  PngReader reader_;
};

}  // namespace

std::unique_ptr<ImageDecoder> open_png(const unsigned char* data, std::size_t size, const Preflight&) {
  return std::make_unique<PngDecoder>(data, size);
}

ColourSpace png_colour_space(const unsigned char* data, std::size_t size) {
  PngReader reader(data, size);
  return reader.read_info() ? reader.colour() : ColourSpace{};
}

}  // namespace quarn::thumb
