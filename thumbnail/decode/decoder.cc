#include "decode/decoder.h"

#include "decode/heif_codec.h"
#include "decode/jpeg_codec.h"
#include "decode/webp_codec.h"

namespace quarn::thumb {

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
