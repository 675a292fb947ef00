#include "encoded_images.h"

#include <avif/avif.h>
#include <gif_lib.h>
#include <jxl/encode.h>
#include <libheif/heif.h>
#include <tiffio.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>
#include <cstring>
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
  // The samples as a libheif image; nullptr when it cannot make one.
  const auto make_image = [&](const Samples& from, unsigned w, unsigned h) -> heif_image* {
    heif_image* made = nullptr;
    if (heif_image_create(static_cast<int>(w), static_cast<int>(h),
                          grey ? heif_colorspace_monochrome : heif_colorspace_RGB, chroma, &made)
                .code != heif_error_Ok)
      return nullptr;
    if (heif_image_add_plane(made, plane, static_cast<int>(w), static_cast<int>(h), 8).code != heif_error_Ok) {
      heif_image_release(made);
      return nullptr;
    }
    int stride = 0;
    std::uint8_t* rows = heif_image_get_plane(made, plane, &stride);
    const std::size_t row_bytes = std::size_t{w} * channels;
    for (unsigned y = 0; y < h; ++y)
      std::copy_n(from.data() + y * row_bytes, row_bytes, rows + std::size_t{y} * stride);
    return made;
  };
  if (heif_context_get_encoder_for_format(context, format, &encoder).code == heif_error_Ok &&
      (image = make_image(samples, width, height)) != nullptr) {
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
      bool complete = true;  // no file without the preview asked for
      if (options.preview > 0) {
        heif_image* shown = options.preview_of == nullptr
                                ? image
                                : make_image(*options.preview_of, options.preview_width, options.preview_height);
        heif_image_handle* preview = nullptr;
        complete = shown != nullptr &&
                   heif_context_encode_thumbnail(context, shown, handle, encoder, encoding, options.preview,
                                                 &preview).code == heif_error_Ok &&
                   preview != nullptr;
        if (preview) heif_image_handle_release(preview);
        if (shown != nullptr && shown != image) heif_image_release(shown);
      }
      if (options.exif_orientation != 0) {
        const std::string exif = exif_tiff(options.exif_orientation);
        heif_context_add_exif_metadata(context, handle, exif.data(), static_cast<int>(exif.size()));
      }
      if (!complete || heif_context_write(context, &writer, &bytes).code != heif_error_Ok) bytes.clear();
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

namespace {

// The first box of a type in a file libheif wrote, whole; "" when none.
std::string first_box(const std::string& file, const char* type) {
  const std::size_t at = file.find(type);
  if (at == std::string::npos || at < 4) return "";
  std::size_t size = 0;
  for (std::size_t i = at - 4; i < at; ++i) size = (size << 8) | static_cast<std::uint8_t>(file[i]);
  return size < 8 || at - 4 + size > file.size() ? "" : file.substr(at - 4, size);
}

// A picture coded alone by libheif: its configuration box and its data.
// Nothing for an odd width or height, which libheif codes padded and crops
// with a clap box left out here.
struct Coded {
  std::string config, data;
};

Coded code_alone(const Samples& rgb, unsigned width, unsigned height, int quality) {
  HeifOptions options;
  options.quality = quality;
  const std::string file = heif(rgb, width, height, 3, options);
  const std::string config = first_box(file, "hvcC"), media = first_box(file, "mdat");
  if (config.empty() || media.size() <= 8 || !first_box(file, "clap").empty()) return {};
  return {config, media.substr(8)};
}

// width x height samples of the picture from (left, top); those past its
// edges repeat the edge.
Samples cut(const Samples& rgb, unsigned width, unsigned height, unsigned left, unsigned top,
            unsigned cut_width, unsigned cut_height) {
  Samples out(std::size_t{cut_width} * cut_height * 3);
  for (unsigned y = 0; y < cut_height; ++y)
    for (unsigned x = 0; x < cut_width; ++x) {
      const std::size_t from = std::size_t{std::min(top + y, height - 1)} * width + std::min(left + x, width - 1);
      std::copy_n(rgb.data() + from * 3, 3, out.data() + (std::size_t{y} * cut_width + x) * 3);
    }
  return out;
}

// The picture reduced to width x height, each pixel the mean of the block it covers.
Samples shrink(const Samples& rgb, unsigned from_width, unsigned from_height, unsigned width, unsigned height) {
  Samples out(std::size_t{width} * height * 3);
  for (unsigned y = 0; y < height; ++y)
    for (unsigned x = 0; x < width; ++x) {
      const std::size_t x0 = std::size_t{x} * from_width / width, x1 = std::size_t{x + 1} * from_width / width;
      const std::size_t y0 = std::size_t{y} * from_height / height, y1 = std::size_t{y + 1} * from_height / height;
      for (int c = 0; c < 3; ++c) {
        std::size_t sum = 0;
        for (std::size_t sy = y0; sy < y1; ++sy)
          for (std::size_t sx = x0; sx < x1; ++sx) sum += rgb[(sy * from_width + sx) * 3 + c];
        out[(std::size_t{y} * width + x) * 3 + c] = static_cast<std::uint8_t>(sum / ((x1 - x0) * (y1 - y0)));
      }
    }
  return out;
}

// The irot and imir boxes libheif writes for an EXIF orientation, in the
// order it writes them.
std::vector<std::string> turns(int orientation) {
  HeifOptions options;
  options.orientation = orientation;
  const std::string file = heif(Samples(16 * 16 * 3, 128), 16, 16, 3, options);
  std::vector<std::pair<std::size_t, std::string>> found;
  for (const char* type : {"irot", "imir"})
    if (const std::size_t at = file.find(type); at != std::string::npos) found.push_back({at, first_box(file, type)});
  std::sort(found.begin(), found.end());
  std::vector<std::string> boxes;
  for (const auto& f : found) boxes.push_back(f.second);
  return boxes;
}

}  // namespace

std::string heic_grid(const Samples& samples, unsigned width, unsigned height, const HeifGridOptions& options) {
  using handmade::ispe;
  const unsigned tile_w = options.tile_width, tile_h = options.tile_height;
  if (width == 0 || height == 0 || tile_w == 0 || tile_h == 0 || samples.size() != std::size_t{width} * height * 3)
    return "";
  const unsigned columns = (width + tile_w - 1) / tile_w, rows = (height + tile_h - 1) / tile_h;
  if (columns > 256 || rows > 256) return "";
  // Properties: the grid's size, a tile's, the turns, then the configurations.
  std::vector<std::string> properties{ispe(width, height), ispe(tile_w, tile_h)};
  std::vector<unsigned> turned;
  for (const std::string& box : turns(options.orientation)) {
    properties.push_back(box);
    turned.push_back(static_cast<unsigned>(properties.size()));
  }
  // The configuration's index, one for each distinct box; at most 127 in all.
  const auto config_of = [&properties](const std::string& config) -> unsigned {
    const auto found = std::find(properties.begin(), properties.end(), config);
    if (found != properties.end()) return static_cast<unsigned>(found - properties.begin()) + 1;
    properties.push_back(config);
    return properties.size() > 127 ? 0 : static_cast<unsigned>(properties.size());
  };
  std::vector<unsigned> grid_properties{1};
  grid_properties.insert(grid_properties.end(), turned.begin(), turned.end());
  std::vector<handmade::HeifItem> items{{1, "grid", handmade::heif_grid(rows, columns, width, height), grid_properties}};
  std::vector<unsigned> tiles{1};
  for (unsigned r = 0; r < rows; ++r)
    for (unsigned c = 0; c < columns; ++c) {
      const Coded tile = code_alone(cut(samples, width, height, c * tile_w, r * tile_h, tile_w, tile_h), tile_w,
                                    tile_h, options.quality);
      const unsigned config = tile.config.empty() ? 0 : config_of(tile.config);
      if (config == 0) return "";
      const unsigned id = static_cast<unsigned>(items.size()) + 1;
      items.push_back({id, "hvc1", tile.data, {config, 2}, true});
      tiles.push_back(id);
    }
  std::vector<std::vector<unsigned>> thumbnails;
  if (options.preview > 0) {
    const unsigned side = options.preview;
    // Even sides, as the tiles' must be.
    const unsigned pw = width >= height ? side : std::max(2u, static_cast<unsigned>(std::uint64_t{side} * width / height) & ~1u);
    const unsigned ph = width >= height ? std::max(2u, static_cast<unsigned>(std::uint64_t{side} * height / width) & ~1u) : side;
    const Samples& shown = options.preview_of != nullptr ? *options.preview_of : samples;
    if (shown.size() != samples.size()) return "";
    const Coded preview = code_alone(shrink(shown, width, height, pw, ph), pw, ph, options.quality);
    const unsigned config = preview.config.empty() ? 0 : config_of(preview.config);
    properties.push_back(ispe(pw, ph));
    if (config == 0 || properties.size() > 127) return "";
    std::vector<unsigned> preview_properties{config, static_cast<unsigned>(properties.size())};
    preview_properties.insert(preview_properties.end(), turned.begin(), turned.end());
    const unsigned id = static_cast<unsigned>(items.size()) + 1;
    items.push_back({id, "hvc1", preview.data, preview_properties});
    thumbnails.push_back({id, 1});
  }
  return handmade::heif_file(items, 1, {tiles}, properties, thumbnails);
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

namespace {

int append_gif(GifFileType* file, const GifByteType* data, int size) {
  static_cast<std::string*>(file->UserData)->append(reinterpret_cast<const char*>(data), size);
  return size;
}

// A TIFF written into memory.
struct TiffBuffer {
  std::string bytes;
  toff_t at = 0;
};

tmsize_t tiff_read(thandle_t handle, void* out, tmsize_t size) {
  auto& b = *static_cast<TiffBuffer*>(handle);
  const toff_t n = b.at >= b.bytes.size() ? 0 : std::min<toff_t>(size, b.bytes.size() - b.at);
  std::memcpy(out, b.bytes.data() + b.at, n);
  b.at += n;
  return static_cast<tmsize_t>(n);
}

tmsize_t tiff_write(thandle_t handle, void* data, tmsize_t size) {
  auto& b = *static_cast<TiffBuffer*>(handle);
  if (b.bytes.size() < b.at + size) b.bytes.resize(b.at + size);
  std::memcpy(b.bytes.data() + b.at, data, static_cast<std::size_t>(size));
  b.at += size;
  return size;
}

toff_t tiff_seek(thandle_t handle, toff_t offset, int whence) {
  auto& b = *static_cast<TiffBuffer*>(handle);
  b.at = (whence == SEEK_CUR ? b.at : whence == SEEK_END ? b.bytes.size() : 0) + offset;
  return b.at;
}

int tiff_close(thandle_t) { return 0; }
toff_t tiff_size(thandle_t handle) { return static_cast<TiffBuffer*>(handle)->bytes.size(); }

}  // namespace

std::string gif(const std::vector<GifFrame>& frames, unsigned width, unsigned height,
                const Samples& palette) {
  std::string bytes;
  int error = 0;
  GifFileType* file = EGifOpen(&bytes, append_gif, &error);
  if (file == nullptr) return "";
  std::vector<GifColorType> colours;
  for (std::size_t i = 0; i + 2 < palette.size(); i += 3)
    colours.push_back({palette[i], palette[i + 1], palette[i + 2]});
  ColorMapObject* map = GifMakeMapObject(static_cast<int>(colours.size()), colours.data());
  EGifSetGifVersion(file, true);
  bool ok = map != nullptr &&
            EGifPutScreenDesc(file, static_cast<int>(width), static_cast<int>(height), 8, 0, map) == GIF_OK;
  if (ok && frames.size() > 1) {
    ok = EGifPutExtensionLeader(file, APPLICATION_EXT_FUNC_CODE) == GIF_OK &&
         EGifPutExtensionBlock(file, 11, "NETSCAPE2.0") == GIF_OK &&
         EGifPutExtensionBlock(file, 3, "\x01\0\0") == GIF_OK && EGifPutExtensionTrailer(file) == GIF_OK;
  }
  for (const GifFrame& frame : frames) {
    if (!ok) break;
    GraphicsControlBlock control{DISPOSAL_UNSPECIFIED, false, 10, frame.transparent};
    GifByteType extension[4];
    const auto length = EGifGCBToExtension(&control, extension);
    ok = EGifPutExtension(file, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(length), extension) == GIF_OK &&
         EGifPutImageDesc(file, static_cast<int>(frame.left), static_cast<int>(frame.top),
                          static_cast<int>(frame.width), static_cast<int>(frame.height), false,
                          nullptr) == GIF_OK;
    for (unsigned y = 0; ok && y < frame.height; ++y)
      ok = EGifPutLine(file, const_cast<GifPixelType*>(frame.indices.data()) + std::size_t{y} * frame.width,
                       static_cast<int>(frame.width)) == GIF_OK;
  }
  ok = EGifCloseFile(file, &error) == GIF_OK && ok;
  GifFreeMapObject(map);
  return ok ? bytes : "";
}

std::string tiff(const Samples& samples, unsigned width, unsigned height, int channels,
                 const TiffOptions& options) {
  TiffBuffer buffer;
  TIFF* file = TIFFClientOpen("test", "w", &buffer, tiff_read, tiff_write, tiff_seek, tiff_close,
                              tiff_size, nullptr, nullptr);
  if (file == nullptr) return "";
  const int bytes = options.bits / 8;
  TIFFSetField(file, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(file, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(file, TIFFTAG_BITSPERSAMPLE, options.bits);
  TIFFSetField(file, TIFFTAG_SAMPLESPERPIXEL, channels);
  TIFFSetField(file, TIFFTAG_PHOTOMETRIC, channels <= 2 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
  TIFFSetField(file, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(file, TIFFTAG_ORIENTATION, options.orientation);
  const int compression[] = {COMPRESSION_NONE, COMPRESSION_LZW, COMPRESSION_JPEG};
  TIFFSetField(file, TIFFTAG_COMPRESSION, compression[static_cast<int>(options.compression)]);
  if (channels == 2 || channels == 4) {
    const std::uint16_t alpha = EXTRASAMPLE_UNASSALPHA;
    TIFFSetField(file, TIFFTAG_EXTRASAMPLES, 1, &alpha);
  }
  // Samples as stored: 16 bits in the host's order, which libtiff swaps.
  const std::size_t row_bytes = std::size_t{width} * channels * bytes;
  const auto stored_row = [&](unsigned y, std::vector<std::uint8_t>& row) {
    row.assign(row_bytes, 0);
    for (std::size_t i = 0; i < std::size_t{width} * channels; ++i) {
      const std::uint8_t v = samples[std::size_t{y} * width * channels + i];
      if (bytes == 1) {
        row[i] = v;
      } else {
        const std::uint16_t wide = static_cast<std::uint16_t>(v * 257);
        std::memcpy(row.data() + 2 * i, &wide, 2);
      }
    }
  };
  bool ok = true;
  std::vector<std::uint8_t> row;
  if (options.tiled) {
    const unsigned tile = 16;
    TIFFSetField(file, TIFFTAG_TILEWIDTH, tile);
    TIFFSetField(file, TIFFTAG_TILELENGTH, tile);
    const std::size_t pixel = std::size_t{static_cast<unsigned>(channels)} * bytes;
    std::vector<std::uint8_t> block(tile * tile * pixel);
    for (unsigned ty = 0; ok && ty < height; ty += tile)
      for (unsigned tx = 0; ok && tx < width; tx += tile) {
        std::fill(block.begin(), block.end(), 0);
        for (unsigned y = ty; y < std::min(height, ty + tile); ++y) {
          stored_row(y, row);
          const unsigned n = std::min(width, tx + tile) - tx;
          std::memcpy(block.data() + (y - ty) * tile * pixel, row.data() + tx * pixel, n * pixel);
        }
        ok = TIFFWriteTile(file, block.data(), tx, ty, 0, 0) >= 0;
      }
  } else {
    TIFFSetField(file, TIFFTAG_ROWSPERSTRIP, options.rows_per_strip);
    for (unsigned y = 0; ok && y < height; ++y) {
      stored_row(y, row);
      ok = TIFFWriteScanline(file, row.data(), y, 0) >= 0;
    }
  }
  TIFFClose(file);
  return ok ? buffer.bytes : "";
}

std::string jxl(const Samples& samples, unsigned width, unsigned height, int channels,
                const JxlOptions& options) {
  std::unique_ptr<JxlEncoder, void (*)(JxlEncoder*)> encoder(JxlEncoderCreate(nullptr), JxlEncoderDestroy);
  if (!encoder) return "";
  JxlEncoder* e = encoder.get();
  const bool alpha = channels % 2 == 0;
  JxlBasicInfo info;
  JxlEncoderInitBasicInfo(&info);
  info.xsize = width;
  info.ysize = height;
  info.bits_per_sample = 8;
  info.num_color_channels = channels < 3 ? 1 : 3;
  info.num_extra_channels = alpha ? 1 : 0;
  info.alpha_bits = alpha ? 8 : 0;
  info.uses_original_profile = options.lossless ? JXL_TRUE : JXL_FALSE;
  info.orientation = static_cast<JxlOrientation>(options.orientation);
  if (!options.more_frames.empty()) {
    info.have_animation = JXL_TRUE;
    info.animation.tps_numerator = 10;
    info.animation.tps_denominator = 1;
  }
  if (JxlEncoderUseContainer(e, options.container ? JXL_TRUE : JXL_FALSE) != JXL_ENC_SUCCESS ||
      JxlEncoderSetBasicInfo(e, &info) != JXL_ENC_SUCCESS)
    return "";
  if (options.icc != nullptr) {
    if (JxlEncoderSetICCProfile(e, reinterpret_cast<const std::uint8_t*>(options.icc->data()),
                                options.icc->size()) != JXL_ENC_SUCCESS)
      return "";
  } else {
    JxlColorEncoding colour;
    JxlColorEncodingSetToSRGB(&colour, channels < 3 ? JXL_TRUE : JXL_FALSE);
    colour.primaries = static_cast<JxlPrimaries>(options.primaries);
    if (JxlEncoderSetColorEncoding(e, &colour) != JXL_ENC_SUCCESS) return "";
  }
  JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(e, nullptr);
  JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, options.effort);
  if (options.lossless) JxlEncoderSetFrameLossless(settings, JXL_TRUE);
  if (options.progressive_dc) JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_PROGRESSIVE_DC, 1);
  const JxlPixelFormat format{static_cast<std::uint32_t>(channels), JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  std::vector<const Samples*> frames{&samples};
  for (const Samples& frame : options.more_frames) frames.push_back(&frame);
  for (const Samples* frame : frames) {
    if (info.have_animation) {
      JxlFrameHeader header;
      JxlEncoderInitFrameHeader(&header);
      header.duration = 1;
      JxlEncoderSetFrameHeader(settings, &header);
    }
    if (JxlEncoderAddImageFrame(settings, &format, frame->data(), frame->size()) != JXL_ENC_SUCCESS) return "";
  }
  for (const JxlOptions::Layer& layer : options.layers) {
    JxlFrameHeader header;
    JxlEncoderInitFrameHeader(&header);
    header.layer_info.have_crop = JXL_TRUE;
    header.layer_info.crop_x0 = layer.x0;
    header.layer_info.crop_y0 = layer.y0;
    header.layer_info.xsize = layer.width;
    header.layer_info.ysize = layer.height;
    if (JxlEncoderSetFrameHeader(settings, &header) != JXL_ENC_SUCCESS ||
        JxlEncoderAddImageFrame(settings, &format, layer.samples.data(), layer.samples.size()) != JXL_ENC_SUCCESS)
      return "";
  }
  JxlEncoderCloseInput(e);
  std::string out(64 * 1024, '\0');
  std::size_t used = 0;
  for (;;) {
    auto* next = reinterpret_cast<std::uint8_t*>(&out[used]);
    std::size_t room = out.size() - used;
    const JxlEncoderStatus status = JxlEncoderProcessOutput(e, &next, &room);
    used = out.size() - room;
    if (status == JXL_ENC_SUCCESS) break;
    if (status != JXL_ENC_NEED_MORE_OUTPUT) return "";
    out.resize(out.size() * 2);
  }
  out.resize(used);
  return out;
}

std::string saved_profile(cmsHPROFILE profile) {
  cmsUInt32Number size = 0;
  std::string bytes;
  if (profile != nullptr && cmsSaveProfileToMem(profile, nullptr, &size)) {
    bytes.resize(size);
    if (!cmsSaveProfileToMem(profile, bytes.data(), &size)) bytes.clear();
  }
  if (profile != nullptr) cmsCloseProfile(profile);
  return bytes;
}

std::string rgb_profile(cmsCIExyY white, cmsCIExyYTRIPLE primaries, cmsToneCurve* curve) {
  cmsToneCurve* const curves[3] = {curve, curve, curve};
  std::string bytes = saved_profile(cmsCreateRGBProfile(&white, &primaries, curves));
  cmsFreeToneCurve(curve);
  return bytes;
}

}  // namespace quarn::test
