// JPEG XL with libjxl: the first frame of the file, composed as libjxl shows
// it (an animation's first frame, a still image's layers), to 8-bit grey or
// RGB with alpha where the file has it (unassociated), in the orientation
// it is stored in (the image stage turns the thumbnail). Progressive files
// are decoded whole: libjxl 0.7 renders its 1:8 stage only at full size,
// which took longer than the whole decoding (make bench).
#include "decode/jxl_decoder.h"

#include <jxl/decode.h>

#include "c_handle.h"
#include "decode/decoder.h"

namespace quarn::thumb {

std::uint64_t jxl_decode_bytes(const JxlLayout& layout, const JxlFrames& frames) {
  const bool modular = !layout.xyb && frames.modular;
  const std::uint64_t per_pixel = (modular ? 1 : 4) + std::uint64_t{layout.extra_channels} * (layout.xyb ? 44 : 1);
  const std::uint64_t pixels = layout.width * layout.height + (frames.count > 1 ? frames.largest : 0);
  return pixels * per_pixel + layout.profile_bytes * 8;
}

namespace {

using Decoder = CHandle<JxlDecoderStruct, JxlDecoderDestroy>;

bool ok(JxlDecoderStatus status) { return status == JXL_DEC_SUCCESS; }

bool is_srgb(const JxlColorEncoding& c) {
  return (c.color_space == JXL_COLOR_SPACE_GRAY ||
          (c.color_space == JXL_COLOR_SPACE_RGB && c.primaries == JXL_PRIMARIES_SRGB)) &&
         c.white_point == JXL_WHITE_POINT_D65 && c.transfer_function == JXL_TRANSFER_FUNCTION_SRGB;
}

// At the colour encoding's event: where libjxl has the choice (XYB, lossy),
// the samples are asked for in sRGB, unless the file names a space of its
// own (Display P3, BT.2020); then, and for files coded in their own colours,
// the samples' colours as an ICC profile (the file's, or libjxl's for the
// named space) for lcms2 to convert, as for the other formats.
bool read_colours(JxlDecoder* d, const JxlLayout& layout, ColourSpace& colour) {
  JxlColorEncoding named{};
  const bool has_name = !layout.has_profile &&
                        ok(JxlDecoderGetColorAsEncodedProfile(d, nullptr, JXL_COLOR_PROFILE_TARGET_ORIGINAL, &named));
  if (has_name && is_srgb(named)) return true;
  if (layout.xyb && !has_name) {
    JxlColorEncoding srgb{};
    srgb.color_space = layout.grey ? JXL_COLOR_SPACE_GRAY : JXL_COLOR_SPACE_RGB;
    srgb.white_point = JXL_WHITE_POINT_D65;
    srgb.primaries = JXL_PRIMARIES_SRGB;
    srgb.transfer_function = JXL_TRANSFER_FUNCTION_SRGB;
    srgb.rendering_intent = JXL_RENDERING_INTENT_PERCEPTUAL;
    return ok(JxlDecoderSetPreferredColorProfile(d, &srgb));
  }
  std::size_t size = 0;
  if (!ok(JxlDecoderGetICCProfileSize(d, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size))) return true;
  colour.icc.resize(size);
  if (!ok(JxlDecoderGetColorAsICCProfile(d, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, colour.icc.data(), size)))
    colour.icc.clear();
  return true;
}

class JxlImageDecoder : public ImageDecoder {
 public:
  JxlImageDecoder(const unsigned char* data, std::size_t size, const Preflight& check)
      : data_(data), bytes_(size), layout_(check.jxl) {}

  // libjxl's reading of the basic information, which must be the
  // pre-flight's: its memory was reckoned from that. Then the colour
  // encoding (libjxl decodes an embedded profile here, one the pre-flight
  // allowed), which ends where the frames begin: every frame that decoding
  // the first one shown takes is read before libjxl allocates for it.
  bool read_header(ImageHeader& header) override {
    decoder_.reset(JxlDecoderCreate(nullptr));
    JxlDecoder* d = decoder_.get();
    if (d == nullptr ||
        !ok(JxlDecoderSubscribeEvents(d, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE)) ||
        !ok(JxlDecoderSetKeepOrientation(d, JXL_TRUE)) || !ok(JxlDecoderSetUnpremultiplyAlpha(d, JXL_TRUE)) ||
        !ok(JxlDecoderSetInput(d, data_, bytes_)))
      return false;
    JxlBasicInfo info{};
    if (JxlDecoderProcessInput(d) != JXL_DEC_BASIC_INFO || !ok(JxlDecoderGetBasicInfo(d, &info))) return false;
    if (info.xsize != layout_.width || info.ysize != layout_.height ||
        static_cast<int>(info.orientation) != layout_.orientation || (info.num_color_channels == 1) != layout_.grey ||
        info.num_extra_channels != layout_.extra_channels || (info.alpha_bits != 0) != layout_.alpha ||
        (info.uses_original_profile == 0) != layout_.xyb || (info.have_animation != 0) != layout_.animation ||
        (info.have_preview != 0) != layout_.preview)
      return false;
    if (JxlDecoderProcessInput(d) != JXL_DEC_COLOR_ENCODING || !read_colours(d, layout_, colours_)) return false;
    // The rest of the file, given again, now as all there is.
    const std::size_t first_frame = bytes_ - JxlDecoderReleaseInput(d);
    if (!ok(JxlDecoderSetInput(d, data_ + first_frame, bytes_ - first_frame))) return false;
    JxlDecoderCloseInput(d);
    frames_ = walk_jxl_frames(data_, bytes_, layout_, first_frame);
    if (frames_.refusal != nullptr) return false;
    stored_ = {info.xsize, info.ysize};
    channels_ = (layout_.grey ? 1 : 3) + (layout_.alpha ? 1 : 0);
    header.size = stored_;
    header.orientation = layout_.orientation;
    return true;
  }

  // The whole first frame at full size, in a buffer of its own beside what
  // libjxl holds.
  DecodePlan plan(Size, Size) override {
    const std::uint64_t pixels = std::uint64_t{stored_.width} * stored_.height;
    return {stored_, false, false, pixels * channels_ + jxl_decode_bytes(layout_, frames_)};
  }

  bool decode(Size, Reduction& rows, ColourSpace& colour) override {
    JxlDecoder* d = decoder_.get();
    if (d == nullptr) return false;
    Raster image;
    image.width = stored_.width;
    image.height = stored_.height;
    image.channels = channels_;
    const JxlPixelFormat format{static_cast<std::uint32_t>(channels_), JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    for (;;) {
      switch (JxlDecoderProcessInput(d)) {
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
          std::size_t bytes = 0;
          if (!ok(JxlDecoderImageOutBufferSize(d, &format, &bytes)) ||
              bytes != std::size_t{image.width} * image.height * image.channels)
            return false;
          image.samples.resize(bytes);
          if (!ok(JxlDecoderSetImageOutBuffer(d, &format, image.samples.data(), bytes))) return false;
          break;
        }
        case JXL_DEC_FULL_IMAGE: {  // the first frame: nothing after it is read
          decoder_.reset();
          DecodedImage decoded_image = decoded(std::move(image));
          decoded_image.colour = std::move(colours_);
          return hand_on(decoded_image, rows, colour);
        }
        default:  // an error, data that ends early, or no frame at all
          return false;
      }
    }
  }

 private:
  const unsigned char* data_;
  std::size_t bytes_;
  JxlLayout layout_;
  JxlFrames frames_;
  ColourSpace colours_;
  Decoder decoder_;
  Size stored_{};
  int channels_ = 3;
};

}  // namespace

std::unique_ptr<ImageDecoder> open_jxl(const unsigned char* data, std::size_t size, const Preflight& check) {
  return std::make_unique<JxlImageDecoder>(data, size, check);
}

}  // namespace quarn::thumb
