#include "encoded_images.h"

#include <avif/avif.h>
#include <libheif/heif.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>
#include <memory>

#include "handmade_images.h"

namespace quarn::test {

std::string webp(const Samples& samples, unsigned width, unsigned height, int channels,
                 bool lossless) {
  std::uint8_t* out = nullptr;
  const int w = static_cast<int>(width), h = static_cast<int>(height);
  const int stride = w * channels;
  std::size_t size = 0;
  if (channels == 4)
    size = lossless ? WebPEncodeLosslessRGBA(samples.data(), w, h, stride, &out)
                    : WebPEncodeRGBA(samples.data(), w, h, stride, 90, &out);
  else if (channels == 3)
    size = lossless ? WebPEncodeLosslessRGB(samples.data(), w, h, stride, &out)
                    : WebPEncodeRGB(samples.data(), w, h, stride, 90, &out);
  std::string bytes(reinterpret_cast<const char*>(out), size);
  WebPFree(out);
  return bytes;
}

std::string webp_animation(const std::vector<Samples>& frames, unsigned width, unsigned height) {
  WebPAnimEncoderOptions options;
  WebPConfig config;
  if (!WebPAnimEncoderOptionsInit(&options) || !WebPConfigInit(&config)) return "";
  config.lossless = 1;
  std::unique_ptr<WebPAnimEncoder, void (*)(WebPAnimEncoder*)> encoder(
      WebPAnimEncoderNew(static_cast<int>(width), static_cast<int>(height), &options),
      WebPAnimEncoderDelete);
  if (!encoder) return "";
  int timestamp = 0;
  for (const Samples& frame : frames) {
    WebPPicture picture;
    WebPPictureInit(&picture);
    picture.use_argb = 1;
    picture.width = static_cast<int>(width);
    picture.height = static_cast<int>(height);
    const bool added =
        WebPPictureImportRGBA(&picture, frame.data(), static_cast<int>(width) * 4) &&
        WebPAnimEncoderAdd(encoder.get(), &picture, timestamp, &config);
    WebPPictureFree(&picture);
    if (!added) return "";
    timestamp += 100;
  }
  WebPData data;
  WebPDataInit(&data);
  if (!WebPAnimEncoderAdd(encoder.get(), nullptr, timestamp, nullptr) ||
      !WebPAnimEncoderAssemble(encoder.get(), &data))
    return "";
  std::string bytes(reinterpret_cast<const char*>(data.bytes), data.size);
  WebPDataClear(&data);
  return bytes;
}

namespace {

// A TIFF header and one directory holding the orientation, big-endian.
std::string exif_tiff(int orientation) {
  std::string s("MM\0*\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01", 18);
  s += static_cast<char>(0);
  s += static_cast<char>(orientation);
  s += std::string(6, '\0');  // padding, no next directory
  return s;
}

heif_error append(heif_context*, const void* data, std::size_t size, void* out) {
  static_cast<std::string*>(out)->append(static_cast<const char*>(data), size);
  return {heif_error_Ok, heif_suberror_Unspecified, ""};
}

}  // namespace

std::string webp_with_exif(const std::string& image, int orientation) {
  const WebPData still{reinterpret_cast<const std::uint8_t*>(image.data()), image.size()};
  std::unique_ptr<WebPMux, void (*)(WebPMux*)> mux(WebPMuxCreate(&still, 1), WebPMuxDelete);
  const std::string tiff = exif_tiff(orientation);
  const WebPData exif{reinterpret_cast<const std::uint8_t*>(tiff.data()), tiff.size()};
  WebPData out;
  WebPDataInit(&out);
  if (!mux || WebPMuxSetChunk(mux.get(), "EXIF", &exif, 1) != WEBP_MUX_OK ||
      WebPMuxAssemble(mux.get(), &out) != WEBP_MUX_OK)
    return "";
  std::string bytes(reinterpret_cast<const char*>(out.bytes), out.size);
  WebPDataClear(&out);
  return bytes;
}

std::string heif(const Samples& samples, unsigned width, unsigned height, int channels,
                 const HeifOptions& options) {
  heif_init(nullptr);
  std::string bytes;
  heif_context* context = heif_context_alloc();
  heif_encoder* encoder = nullptr;
  heif_image* image = nullptr;
  heif_image_handle* handle = nullptr;
  heif_encoding_options* encoding = heif_encoding_options_alloc();
  const bool grey = channels == 1;
  const heif_chroma chroma = grey ? heif_chroma_monochrome
                             : channels == 4 ? heif_chroma_interleaved_RGBA
                                             : heif_chroma_interleaved_RGB;
  const heif_channel plane = grey ? heif_channel_Y : heif_channel_interleaved;
  const auto format = options.codec == HeifCodec::kHevc ? heif_compression_HEVC : heif_compression_AV1;
  if (heif_context_get_encoder_for_format(context, format, &encoder).code == heif_error_Ok &&
      heif_image_create(static_cast<int>(width), static_cast<int>(height),
                        grey ? heif_colorspace_monochrome : heif_colorspace_RGB, chroma, &image)
              .code == heif_error_Ok &&
      heif_image_add_plane(image, plane, static_cast<int>(width), static_cast<int>(height), 8).code ==
          heif_error_Ok) {
    int stride = 0;
    std::uint8_t* rows = heif_image_get_plane(image, plane, &stride);
    const std::size_t row_bytes = std::size_t{width} * channels;
    for (unsigned y = 0; y < height; ++y)
      std::copy_n(samples.data() + y * row_bytes, row_bytes, rows + std::size_t{y} * stride);
    heif_encoder_set_lossy_quality(encoder, options.quality);
    // libaom's default speed takes a minute for a 12-megapixel image.
    if (options.codec == HeifCodec::kAv1) heif_encoder_set_parameter_integer(encoder, "speed", 8);
    encoding->image_orientation = static_cast<heif_orientation>(options.orientation);
    heif_color_profile_nclx* nclx = options.nclx_primaries != 0 ? heif_nclx_color_profile_alloc() : nullptr;
    if (nclx != nullptr) {
      heif_nclx_color_profile_set_color_primaries(nclx, static_cast<std::uint16_t>(options.nclx_primaries));
      heif_nclx_color_profile_set_transfer_characteristics(nclx, heif_transfer_characteristic_IEC_61966_2_1);
      heif_nclx_color_profile_set_matrix_coefficients(nclx, heif_matrix_coefficients_ITU_R_BT_601_6);
      nclx->full_range_flag = 1;
      heif_image_set_nclx_color_profile(image, nclx);  // copied
      heif_nclx_color_profile_free(nclx);
      encoding->macOS_compatibility_workaround_no_nclx_profile = 0;  // which drops the box
    }
    heif_writer writer{1, append};
    if (heif_context_encode_image(context, image, encoder, encoding, &handle).code == heif_error_Ok) {
      if (options.exif_orientation != 0) {
        const std::string exif = exif_tiff(options.exif_orientation);
        heif_context_add_exif_metadata(context, handle, exif.data(), static_cast<int>(exif.size()));
      }
      if (heif_context_write(context, &writer, &bytes).code != heif_error_Ok) bytes.clear();
    }
  }
  if (handle) heif_image_handle_release(handle);
  if (image) heif_image_release(image);
  if (encoder) heif_encoder_release(encoder);
  heif_encoding_options_free(encoding);
  heif_context_free(context);
  heif_deinit();
  return bytes;
}

std::string heic_grid(const Samples& tile, unsigned width, unsigned height, int channels) {
  const std::string coded = heif(tile, width, height, channels, {});
  // The whole box of that type, first of its kind in the file.
  const auto box = [&coded](const char* type) {
    const std::size_t at = coded.find(type);
    if (at == std::string::npos || at < 4) return std::string();
    std::size_t size = 0;
    for (std::size_t i = at - 4; i < at; ++i) size = (size << 8) | static_cast<std::uint8_t>(coded[i]);
    return coded.substr(at - 4, size);
  };
  const std::string config = box("hvcC"), media = box("mdat");
  if (config.empty() || media.size() < 8) return "";
  using handmade::ispe;
  std::vector<handmade::HeifItem> items{{1, "grid", handmade::heif_grid(2, 2, 2 * width, 2 * height), {1}}};
  for (unsigned id = 2; id <= 5; ++id) items.push_back({id, "hvc1", media.substr(8), {2, 3}});
  return handmade::heif_file(items, 1, {{1, 2, 3, 4, 5}},
                             {ispe(2 * width, 2 * height), config, ispe(width, height)});
}

std::string avif_10bit(const Samples& samples, unsigned width, unsigned height) {
  std::unique_ptr<avifImage, void (*)(avifImage*)> image(
      avifImageCreate(width, height, 10, AVIF_PIXEL_FORMAT_YUV420), avifImageDestroy);
  avifRGBImage rgb;
  avifRGBImageSetDefaults(&rgb, image.get());
  rgb.format = AVIF_RGB_FORMAT_RGB;
  rgb.depth = 8;
  rgb.pixels = const_cast<std::uint8_t*>(samples.data());
  rgb.rowBytes = width * 3;
  std::unique_ptr<avifEncoder, void (*)(avifEncoder*)> encoder(avifEncoderCreate(), avifEncoderDestroy);
  encoder->minQuantizer = 5;
  encoder->maxQuantizer = 15;
  encoder->speed = 8;
  avifRWData out = AVIF_DATA_EMPTY;
  if (avifImageRGBToYUV(image.get(), &rgb) != AVIF_RESULT_OK ||
      avifEncoderWrite(encoder.get(), image.get(), &out) != AVIF_RESULT_OK)
    return "";
  std::string bytes(reinterpret_cast<const char*>(out.data), out.size);
  avifRWDataFree(&out);
  return bytes;
}

}  // namespace quarn::test
