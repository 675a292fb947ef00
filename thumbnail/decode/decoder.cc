#include "decode/decoder.h"

#include <algorithm>
#include <limits>

#include "decode/heif_codec.h"
#include "decode/jpeg_codec.h"
#include "thumbnail.h"
#include "decode/webp_codec.h"

namespace quarn::thumb {

namespace {

std::uint32_t twice(std::uint32_t n) {
  return n > std::numeric_limits<std::uint32_t>::max() / 2 ? std::numeric_limits<std::uint32_t>::max()
                                                           : 2 * n;
}

std::uint32_t blocks(std::uint32_t decoded, std::uint32_t at_least) {
  const std::uint32_t k = at_least == 0 ? 1 : decoded / at_least;
  return k < 2 ? decoded : (decoded + k / 2) / k;
}

}  // namespace

Size block_size(Size decoded, Size at_least) {
  return {blocks(decoded.width, at_least.width), blocks(decoded.height, at_least.height)};
}

Size Reduction::decode_at_least() const { return {twice(target_.width), twice(target_.height)}; }

void Reduction::start(Size decoded, int channels) {
  decoded_ = decoded;
  channels_ = channels;
  rows_ = 0;
  average_.reset();
  lanczos_.reset();
  whole_ = {};
  // Nothing after this takes such a thumbnail: the rows are only decoded,
  // so that a file that fails to decode fails as before.
  discard_ = !scaled_size_allowed(target_, 1);
  if (discard_) return;
  const int colours = channels >= 3 ? 3 : 1;
  const bool reduce = target_.width > 0 && target_.height > 0 && target_.width <= decoded.width &&
                      target_.height <= decoded.height;
  if (reduce) {
    const Size blocked = block_size(decoded, decode_at_least());
    lanczos_.emplace(blocked, colours, target_);
    if (blocked.width != decoded.width || blocked.height != decoded.height)
      average_.emplace(decoded, channels, blocked, &*lanczos_);
    else if (colours != channels)
      flat_.resize(std::size_t{decoded.width} * colours);
    return;
  }
  whole_ = Raster{decoded.width, decoded.height, colours,
                  std::vector<std::uint8_t>(std::size_t{decoded.width} * decoded.height * colours)};
}

void Reduction::add_row(const std::uint8_t* row) {
  if (discard_ || rows_ >= decoded_.height) return;
  const bool alpha = channels_ == 2 || channels_ == 4;
  const int colours = channels_ >= 3 ? 3 : 1;
  if (average_) {
    average_->add_row(row);
  } else if (lanczos_) {
    if (alpha) {
      flatten_row(row, decoded_.width, colours, flat_.data());
      row = flat_.data();
    }
    lanczos_->add_row(row);
  } else {
    const std::size_t bytes = std::size_t{whole_.width} * colours;
    std::uint8_t* out = whole_.samples.data() + rows_ * bytes;
    if (alpha)
      flatten_row(row, decoded_.width, colours, out);
    else
      std::copy_n(row, bytes, out);
  }
  ++rows_;
}

void Reduction::add_rows(const PixelView& image) {
  for (std::uint32_t y = 0; y < image.height; ++y) add_row(image.row(y));
}

Raster Reduction::finish() {
  if (discard_) return {};
  return lanczos_ ? lanczos_->take() : std::move(whole_);
}

namespace {

// Pixels a codec decoded whole, handed on as rows with what it read of
// their colours; false when it decoded nothing.
bool hand_on(const std::optional<DecodedImage>& image, Reduction& rows, ColourSpace& colour) {
  if (!image) return false;
  rows.start({image->pixels.width, image->pixels.height}, image->pixels.channels);
  rows.add_rows(image->pixels);
  colour = image->colour;
  return true;
}

// libjpeg-turbo, at the smallest DCT scale that covers what is asked.
class JpegDecoder : public ImageDecoder {
 public:
  JpegDecoder(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
  bool read_header(ImageHeader&) override { return true; }  // the pre-flight's reading
  bool decode(Size at_least, Reduction& rows, ColourSpace& colour) override {
    return hand_on(decode_jpeg(data_, size_, at_least), rows, colour);
  }

 private:
  const unsigned char* data_;
  std::size_t size_;
};

// libwebp, whose rescaler does the area average's part as it decodes.
class WebpDecoder : public ImageDecoder {
 public:
  WebpDecoder(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
  bool read_header(ImageHeader& header) override {
    size_stored_ = header.size;
    return true;
  }
  bool decode(Size at_least, Reduction& rows, ColourSpace& colour) override {
    return hand_on(decode_webp(data_, size_, block_size(size_stored_, at_least)), rows, colour);
  }

 private:
  const unsigned char* data_;
  std::size_t size_;
  Size size_stored_{};
};

// libheif, which decodes at full size only and turns the image upright
// itself: its size is known once it is decoded.
class HeifDecoder : public ImageDecoder {
 public:
  HeifDecoder(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
  bool read_header(ImageHeader& header) override {
    image_ = decode_heif(data_, size_);
    if (!image_) return false;
    header.size = {image_->pixels.width, image_->pixels.height};
    header.orientation = 1;
    return true;
  }
  bool decode(Size, Reduction& rows, ColourSpace& colour) override {
    const bool handed = hand_on(image_, rows, colour);
    image_.reset();
    return handed;
  }

 private:
  const unsigned char* data_;
  std::size_t size_;
  std::optional<DecodedImage> image_;
};

template <class D>
std::unique_ptr<ImageDecoder> open(const unsigned char* data, std::size_t size, const Preflight&) {
  return std::make_unique<D>(data, size);
}

// JPEGs that libjpeg-turbo does not decode cleanly, and PNG, GIF and TIFF
// files that their decoders refuse, go to the image library as before.
const DecoderEntry kDecoders[] = {
    {ImageKind::kJpeg, open<JpegDecoder>, true},
    {ImageKind::kPng, open_png, true},
    {ImageKind::kGif, open_gif, true},
    {ImageKind::kTiff, open_tiff, true},
    {ImageKind::kWebp, open<WebpDecoder>, false},
    {ImageKind::kHeif, open<HeifDecoder>, false},
};

}  // namespace

const DecoderEntry* decoder_for(ImageKind kind) {
  for (const DecoderEntry& entry : kDecoders)
    if (entry.kind == kind) return &entry;
  return nullptr;
}

}  // namespace quarn::thumb
