#include "decode/webp_decoder.h"

#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <cstring>

#include "c_handle.h"
#include "decode/decoder.h"

namespace quarn::thumb {
namespace {

// How much of the data libwebp is given at a time: between pieces the
// time limit is looked at. A piece of a lossless image may still make many
// rows.
constexpr std::size_t kPiece = 16 << 10;

// Decodes one bitstream into pixels the caller owns, `stride` bytes per
// row, with libwebp's incremental decoder, a piece of the data at a time
// (read in place, not copied); false when it fails, and when the deadline
// passes, which sets `late`.
bool decode_into(const std::uint8_t* data, std::size_t size, WebPDecoderConfig& config,
                 std::uint8_t* pixels, std::size_t stride, std::size_t bytes, const Deadline& deadline,
                 bool& late) {
  config.output.is_external_memory = 1;
  config.output.u.RGBA.rgba = pixels;
  config.output.u.RGBA.stride = static_cast<int>(stride);
  config.output.u.RGBA.size = bytes;
  bool decoded = false;
  {
    const CHandle<WebPIDecoder, WebPIDelete> decoder(WebPIDecode(nullptr, 0, &config));
    for (std::size_t given = 0; decoder && given < size && !late;) {
      given += std::min(kPiece, size - given);
      const VP8StatusCode status = WebPIUpdate(decoder.get(), data, given);
      decoded = status == VP8_STATUS_OK;
      if (status != VP8_STATUS_SUSPENDED) break;
      late = deadline.passed();
    }
  }
  WebPFreeDecBuffer(&config.output);  // external memory: frees nothing but libwebp's own
  return decoded;
}

std::optional<DecodedImage> decode_still(const std::uint8_t* data, std::size_t size,
                                         const WebPBitstreamFeatures& features, Size target,
                                         const Deadline& deadline, bool& late) {
  WebPDecoderConfig config;
  // libwebp's filtering thread (options.use_threads) stays off: at the
  // scales thumbnails take it made one call no faster and two calls at once
  // slower (make bench).
  if (!WebPInitDecoderConfig(&config)) return std::nullopt;
  Raster image;
  image.width = static_cast<std::uint32_t>(features.width);
  image.height = static_cast<std::uint32_t>(features.height);
  image.channels = features.has_alpha ? 4 : 3;
  config.output.colorspace = features.has_alpha ? MODE_RGBA : MODE_RGB;
  if (target.width > 0 && target.height > 0 &&
      target.width < image.width && target.height < image.height) {
    config.options.use_scaling = 1;
    config.options.scaled_width = static_cast<int>(target.width);
    config.options.scaled_height = static_cast<int>(target.height);
    image.width = target.width;
    image.height = target.height;
  }
  const std::size_t stride = std::size_t{image.width} * image.channels;
  image.samples.resize(stride * image.height);
  if (!decode_into(data, size, config, image.samples.data(), stride, image.samples.size(), deadline, late))
    return std::nullopt;
  return decoded(std::move(image));
}

// The first frame where it lies on the canvas, the rest transparent: what
// a viewer shows first (it has nothing to blend with or dispose of yet).
std::optional<DecodedImage> decode_first_frame(WebPDemuxer* demuxer, const Deadline& deadline, bool& late) {
  if (demuxer == nullptr) return std::nullopt;
  WebPIterator frame{};
  const AtExit release([&frame] { WebPDemuxReleaseIterator(&frame); });
  if (!WebPDemuxGetFrame(demuxer, 1, &frame) || !frame.complete) return std::nullopt;
  Raster canvas;
  canvas.width = WebPDemuxGetI(demuxer, WEBP_FF_CANVAS_WIDTH);
  canvas.height = WebPDemuxGetI(demuxer, WEBP_FF_CANVAS_HEIGHT);
  canvas.channels = 4;
  // The frame is decoded straight into the canvas: it must fit there at the
  // size its own bitstream gives.
  WebPBitstreamFeatures features;
  if (WebPGetFeatures(frame.fragment.bytes, frame.fragment.size, &features) != VP8_STATUS_OK ||
      features.width != frame.width || features.height != frame.height)
    return std::nullopt;
  if (frame.x_offset < 0 || frame.y_offset < 0 || frame.width <= 0 || frame.height <= 0 ||
      static_cast<std::uint64_t>(frame.x_offset) + frame.width > canvas.width ||
      static_cast<std::uint64_t>(frame.y_offset) + frame.height > canvas.height)
    return std::nullopt;
  const std::size_t stride = std::size_t{canvas.width} * 4;
  canvas.samples.assign(stride * canvas.height, 0);
  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config)) return std::nullopt;
  config.output.colorspace = MODE_RGBA;
  std::uint8_t* corner = canvas.samples.data() + std::size_t{static_cast<unsigned>(frame.y_offset)} * stride +
                         std::size_t{static_cast<unsigned>(frame.x_offset)} * 4;
  const std::size_t bytes = stride * (static_cast<std::size_t>(frame.height) - 1) +
                            std::size_t{static_cast<unsigned>(frame.width)} * 4;
  if (!decode_into(frame.fragment.bytes, frame.fragment.size, config, corner, stride, bytes, deadline, late))
    return std::nullopt;
  return decoded(std::move(canvas));
}

// The ICCP chunk's profile, when the file has one.
ColourSpace colour_space(WebPDemuxer* demuxer) {
  ColourSpace colour;
  if (demuxer == nullptr || (WebPDemuxGetI(demuxer, WEBP_FF_FORMAT_FLAGS) & ICCP_FLAG) == 0)
    return colour;
  WebPChunkIterator chunk{};
  const AtExit release([&chunk] { WebPDemuxReleaseChunkIterator(&chunk); });
  if (WebPDemuxGetChunk(demuxer, "ICCP", 1, &chunk))
    colour.icc.assign(chunk.chunk.bytes, chunk.chunk.bytes + chunk.chunk.size);
  return colour;
}

}  // namespace

namespace {

std::uint32_t le32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

}  // namespace

std::size_t first_image_end(const unsigned char* data, std::size_t size) {
  if (size < 12) return size;
  const std::size_t end = static_cast<std::size_t>(std::min<std::uint64_t>(size, 8 + std::uint64_t{le32(data + 4)}));
  for (std::size_t at = 12; at <= end && end - at >= 8;) {
    const std::uint64_t next = at + 8 + std::uint64_t{le32(data + at + 4)} + (data[at + 4] & 1);
    if (std::memcmp(data + at, "VP8 ", 4) == 0 || std::memcmp(data + at, "VP8L", 4) == 0 ||
        std::memcmp(data + at, "ANMF", 4) == 0)
      return static_cast<std::size_t>(std::min<std::uint64_t>(next, size));
    if (next > end) break;
    at = static_cast<std::size_t>(next);
  }
  return size;
}

std::optional<DecodedImage> decode_webp(const unsigned char* data, std::size_t size, Size target,
                                        const Deadline& deadline, bool* late) {
  bool stopped = false;
  WebPBitstreamFeatures features;
  if (WebPGetFeatures(data, size, &features) != VP8_STATUS_OK) return std::nullopt;
  // The incremental decoder takes a file cut short for one still coming:
  // the whole of it must be there, as libwebp checks for a whole file.
  if (size < 8 || std::uint64_t{le32(data + 4)} + 8 > size) return std::nullopt;
  // The container's chunks up to the first image: a still image decodes
  // without them.
  const WebPData head{data, first_image_end(data, size)};
  const CHandle<WebPDemuxer, WebPDemuxDelete> demuxer(WebPDemuxPartial(&head, nullptr));
  std::optional<DecodedImage> image = features.has_animation
                                          ? decode_first_frame(demuxer.get(), deadline, stopped)
                                          : decode_still(data, size, features, target, deadline, stopped);
  if (late != nullptr) *late = stopped;
  if (image) image->colour = colour_space(demuxer.get());
  return image;
}

namespace {

// libwebp, whose rescaler does the area average's part as it decodes.
class WebpDecoder : public ImageDecoder {
 public:
  WebpDecoder(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
  bool read_header(ImageHeader& header) override {
    size_stored_ = header.size;
    return true;
  }
  // A still image reduced by libwebp's rescaler where the area average
  // would reduce it (decode_webp); an animation's canvas at full size.
  // libwebp holds rows of the full width; a lossless image whole, as 32-bit
  // pixels; a lossy image's alpha whole, a byte a pixel (and as much again
  // while it decodes a lossless alpha plane). A frame may be either.
  DecodePlan plan(Size, Size at_least) override {
    WebPBitstreamFeatures features;
    const Size scaled = block_size(size_stored_, at_least);
    const bool read = WebPGetFeatures(data_, size_, &features) == VP8_STATUS_OK;
    const bool rescaled = read && !features.has_animation && scaled.width < size_stored_.width &&
                          scaled.height < size_stored_.height;
    const std::uint64_t full = std::uint64_t{size_stored_.width} * size_stored_.height;
    std::uint64_t codec = std::uint64_t{size_stored_.width} * 128;
    if (!read || features.has_animation || features.format != 1)
      codec += full * 4;
    else if (features.has_alpha)
      codec += full * 2;
    return {rescaled ? scaled : size_stored_, true, false, codec};
  }
  bool decode(Size at_least, Reduction& rows, ColourSpace& colour) override {
    bool late = false;
    const auto image = decode_webp(data_, size_, block_size(size_stored_, at_least), deadline(), &late);
    if (late) return stop({Stage::kLoad, kOverTimeLimit});
    return hand_on(image, rows, colour);
  }

 private:
  const unsigned char* data_;
  std::size_t size_;
  Size size_stored_{};
};

}  // namespace

std::unique_ptr<ImageDecoder> open_webp(const unsigned char* data, std::size_t size, const Preflight&) {
  return std::make_unique<WebpDecoder>(data, size);
}

}  // namespace quarn::thumb
