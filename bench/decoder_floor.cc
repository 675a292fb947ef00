#include "decoder_floor.h"

#include <gif_lib.h>
#include <jxl/decode.h>
#include <libheif/heif.h>
#include <png.h>
#include <tiffio.h>
#include <webp/decode.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <memory>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include "decode/preflight.h"
#include "pixels/reduction.h"

namespace quarn::bench {

std::optional<Work> planned_work(const std::string& bytes, unsigned box) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const thumb::Preflight check = thumb::preflight_image(data, bytes.size());
  const thumb::DecoderEntry* entry = check.refused ? nullptr : thumb::decoder_for(check.kind);
  if (entry == nullptr) return std::nullopt;
  const auto decoder = entry->open(data, bytes.size(), check);
  thumb::ImageHeader header{{check.width, check.height}, check.orientation};
  if (!decoder || !decoder->read_header(header)) return std::nullopt;
  const thumb::Size target = thumb::thumbnail_size(header.size, header.orientation, box, box);
  const thumb::Reduction rows(target);
  return Work{check.kind, decoder->plan(target, rows.decode_at_least()), target};
}

namespace {

// ---- libjpeg-turbo: every row at the scale k/8 that gives the planned size ----

struct JpegTrap {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

[[noreturn]] void jpeg_fail(j_common_ptr info) {
  std::longjmp(reinterpret_cast<JpegTrap*>(info->err)->jump, 1);
}

bool jpeg_floor(const std::string& bytes, thumb::Size size) {
  jpeg_decompress_struct info{};
  JpegTrap trap{};
  info.err = jpeg_std_error(&trap.manager);
  trap.manager.error_exit = jpeg_fail;
  std::vector<JSAMPLE> row;
  if (setjmp(trap.jump)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  jpeg_read_header(&info, TRUE);
  info.scale_denom = 8;
  for (info.scale_num = 1; info.scale_num <= 8; ++info.scale_num) {
    jpeg_calc_output_dimensions(&info);
    if (info.output_width == size.width && info.output_height == size.height) break;
  }
  if (info.scale_num > 8) jpeg_fail(reinterpret_cast<j_common_ptr>(&info));
  jpeg_start_decompress(&info);
  row.resize(std::size_t{info.output_width} * info.output_components);
  while (info.output_scanline < info.output_height) {
    JSAMPROW rows[1] = {row.data()};
    jpeg_read_scanlines(&info, rows, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

// ---- libpng: every row, 8-bit, palettes expanded ----

struct PngInput {
  const std::string& bytes;
  std::size_t at = 0;
};

void png_read(png_structp png, png_bytep out, png_size_t length) {
  auto* in = static_cast<PngInput*>(png_get_io_ptr(png));
  if (length > in->bytes.size() - in->at) png_error(png, "cut short");
  std::memcpy(out, in->bytes.data() + in->at, length);
  in->at += length;
}

bool png_floor(const std::string& bytes) {
  PngInput input{bytes};
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
  std::vector<png_byte> image;
  bool ok = false;
  if (info != nullptr && !setjmp(png_jmpbuf(png))) {
    // As tarvik reads: the chunks' CRCs, not zlib's checksum as well.
    png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
    png_set_read_fn(png, &input, png_read);
    png_read_info(png, info);
    png_set_expand(png);
    png_set_scale_16(png);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const std::size_t row_bytes = png_get_rowbytes(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    image.resize(row_bytes * (passes > 1 ? height : 1));
    for (int pass = 0; pass < passes; ++pass)
      for (png_uint_32 y = 0; y < height; ++y)
        png_read_row(png, image.data() + (passes > 1 ? y * row_bytes : 0), nullptr);
    png_read_end(png, nullptr);
    ok = true;
  }
  png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
  return ok;
}

// ---- giflib: the first frame's rows ----

struct GifInput {
  const std::string& bytes;
  std::size_t at = 0;
};

int gif_read(GifFileType* gif, GifByteType* out, int length) {
  auto* in = static_cast<GifInput*>(gif->UserData);
  const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(length), in->bytes.size() - in->at);
  std::memcpy(out, in->bytes.data() + in->at, n);
  in->at += n;
  return static_cast<int>(n);
}

bool gif_floor(const std::string& bytes) {
  GifInput input{bytes};
  int error = 0;
  GifFileType* gif = DGifOpen(&input, gif_read, &error);
  if (gif == nullptr) return false;
  bool ok = false;
  for (GifRecordType type = UNDEFINED_RECORD_TYPE; DGifGetRecordType(gif, &type) == GIF_OK;) {
    if (type == EXTENSION_RECORD_TYPE) {
      int code = 0;
      GifByteType* block = nullptr;
      if (DGifGetExtension(gif, &code, &block) != GIF_OK) break;
      while (block != nullptr)
        if (DGifGetExtensionNext(gif, &block) != GIF_OK) break;
      continue;
    }
    if (type != IMAGE_DESC_RECORD_TYPE || DGifGetImageDesc(gif) != GIF_OK) break;
    std::vector<GifPixelType> line(static_cast<std::size_t>(gif->Image.Width));
    ok = true;
    for (int y = 0; ok && y < gif->Image.Height; ++y)
      ok = DGifGetLine(gif, line.data(), gif->Image.Width) == GIF_OK;
    break;
  }
  DGifCloseFile(gif, &error);
  return ok;
}

// ---- libtiff: every strip or tile of the first page, from memory ----

struct TiffInput {
  const std::string& bytes;
  toff_t at = 0;
};

tmsize_t tiff_read(thandle_t handle, void* out, tmsize_t wanted) {
  auto& in = *static_cast<TiffInput*>(handle);
  if (wanted <= 0 || in.at >= in.bytes.size()) return 0;
  const toff_t n = std::min<toff_t>(static_cast<toff_t>(wanted), in.bytes.size() - in.at);
  std::memcpy(out, in.bytes.data() + in.at, n);
  in.at += n;
  return static_cast<tmsize_t>(n);
}
tmsize_t tiff_write(thandle_t, void*, tmsize_t) { return -1; }
toff_t tiff_seek(thandle_t handle, toff_t offset, int whence) {
  auto& in = *static_cast<TiffInput*>(handle);
  in.at = (whence == SEEK_CUR ? in.at : whence == SEEK_END ? in.bytes.size() : 0) + offset;
  return in.at;
}
int tiff_close(thandle_t) { return 0; }
toff_t tiff_size(thandle_t handle) { return static_cast<TiffInput*>(handle)->bytes.size(); }
int tiff_map(thandle_t handle, void** base, toff_t* size) {
  const auto& in = *static_cast<TiffInput*>(handle);
  *base = const_cast<char*>(in.bytes.data());
  *size = in.bytes.size();
  return 1;
}
void tiff_unmap(thandle_t, void*, toff_t) {}
int tiff_quiet(TIFF*, void*, const char*, const char*, va_list) { return 1; }

bool tiff_floor(const std::string& bytes) {
  TiffInput input{bytes};
  std::unique_ptr<TIFFOpenOptions, void (*)(TIFFOpenOptions*)> options(TIFFOpenOptionsAlloc(),
                                                                       TIFFOpenOptionsFree);
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), tiff_quiet, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), tiff_quiet, nullptr);
  TIFF* tiff = TIFFClientOpenExt("floor", "rm", &input, tiff_read, tiff_write, tiff_seek, tiff_close,
                                 tiff_size, tiff_map, tiff_unmap, options.get());
  if (tiff == nullptr) return false;
  const bool tiled = TIFFIsTiled(tiff) != 0;
  std::vector<unsigned char> buffer(static_cast<std::size_t>(tiled ? TIFFTileSize(tiff) : TIFFStripSize(tiff)));
  const std::uint32_t count = tiled ? TIFFNumberOfTiles(tiff) : TIFFNumberOfStrips(tiff);
  bool ok = !buffer.empty();
  for (std::uint32_t i = 0; ok && i < count; ++i)
    ok = (tiled ? TIFFReadEncodedTile(tiff, i, buffer.data(), static_cast<tmsize_t>(buffer.size()))
                : TIFFReadEncodedStrip(tiff, i, buffer.data(), static_cast<tmsize_t>(buffer.size()))) >= 0;
  TIFFClose(tiff);
  return ok;
}

// ---- libwebp: the still image at the planned size ----

bool webp_floor(const std::string& bytes, thumb::Size size, bool threads) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config) || WebPGetFeatures(data, bytes.size(), &config.input) != VP8_STATUS_OK)
    return false;
  config.output.colorspace = config.input.has_alpha ? MODE_RGBA : MODE_RGB;
  config.options.use_threads = threads ? 1 : 0;
  if (static_cast<int>(size.width) != config.input.width || static_cast<int>(size.height) != config.input.height) {
    config.options.use_scaling = 1;
    config.options.scaled_width = static_cast<int>(size.width);
    config.options.scaled_height = static_cast<int>(size.height);
  }
  const bool ok = WebPDecode(data, bytes.size(), &config) == VP8_STATUS_OK;
  WebPFreeDecBuffer(&config.output);
  return ok;
}

// ---- libheif: the primary image, or its preview of the planned size ----

bool heif_floor(const std::string& bytes, const thumb::DecodePlan& plan, int threads) {
  std::unique_ptr<heif_context, void (*)(heif_context*)> context(heif_context_alloc(), heif_context_free);
  heif_context_set_max_decoding_threads(context.get(), threads);
  heif_image_handle* primary = nullptr;
  if (heif_context_read_from_memory_without_copy(context.get(), bytes.data(), bytes.size(), nullptr).code !=
          heif_error_Ok ||
      heif_context_get_primary_image_handle(context.get(), &primary).code != heif_error_Ok)
    return false;
  const heif_image_handle* chosen = primary;
  heif_image_handle* preview = nullptr;
  if (plan.preview) {
    heif_item_id ids[8];
    const int count = heif_image_handle_get_list_of_thumbnail_IDs(primary, ids, 8);
    for (int i = 0; i < count && preview == nullptr; ++i) {
      if (heif_image_handle_get_thumbnail(primary, ids[i], &preview).code != heif_error_Ok) continue;
      if (heif_image_handle_get_width(preview) != static_cast<int>(plan.size.width)) {
        heif_image_handle_release(preview);
        preview = nullptr;
      }
    }
    if (preview == nullptr) {
      heif_image_handle_release(primary);
      return false;
    }
    chosen = preview;
  }
  const bool alpha = heif_image_handle_has_alpha_channel(chosen) != 0;
  heif_image* image = nullptr;
  const bool ok = heif_decode_image(chosen, &image, heif_colorspace_RGB,
                                    alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                                    nullptr).code == heif_error_Ok;
  if (image != nullptr) heif_image_release(image);
  if (preview != nullptr) heif_image_handle_release(preview);
  heif_image_handle_release(primary);
  return ok;
}

// ---- libjxl: the first frame, 8-bit, into one buffer, as tarvik asks ----

using JxlHandle = std::unique_ptr<JxlDecoder, void (*)(JxlDecoder*)>;

JxlHandle jxl_decoder(int events) {
  JxlHandle decoder(JxlDecoderCreate(nullptr), JxlDecoderDestroy);
  if (decoder && (JxlDecoderSubscribeEvents(decoder.get(), events) != JXL_DEC_SUCCESS ||
                  JxlDecoderSetKeepOrientation(decoder.get(), JXL_TRUE) != JXL_DEC_SUCCESS ||
                  JxlDecoderSetUnpremultiplyAlpha(decoder.get(), JXL_TRUE) != JXL_DEC_SUCCESS))
    decoder.reset();
  return decoder;
}

// The next event, giving libjxl the input 64 KB at a time when `step`.
JxlDecoderStatus jxl_next(JxlDecoder* d, const std::string& bytes, std::size_t& given, bool step) {
  for (;;) {
    const JxlDecoderStatus status = JxlDecoderProcessInput(d);
    if (status != JXL_DEC_NEED_MORE_INPUT || given == bytes.size()) return status;
    const std::size_t kept = JxlDecoderReleaseInput(d);
    const std::size_t from = given - kept;
    given = step ? std::min(bytes.size(), given + 65536) : bytes.size();
    JxlDecoderSetInput(d, reinterpret_cast<const std::uint8_t*>(bytes.data()) + from, given - from);
    if (given == bytes.size()) JxlDecoderCloseInput(d);
  }
}

// Decodes the first frame; with `dc_stage`, only up to its 1:8 stage,
// flushed at full size.
bool jxl_floor(const std::string& bytes, bool dc_stage) {
  const JxlHandle decoder = jxl_decoder(JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE |
                                        (dc_stage ? JXL_DEC_FRAME_PROGRESSION : 0));
  JxlDecoder* d = decoder.get();
  if (d == nullptr) return false;
  std::size_t given = dc_stage ? std::min<std::size_t>(bytes.size(), 65536) : bytes.size();
  JxlDecoderSetInput(d, reinterpret_cast<const std::uint8_t*>(bytes.data()), given);
  if (given == bytes.size()) JxlDecoderCloseInput(d);
  JxlBasicInfo info{};
  JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  std::vector<std::uint8_t> pixels;
  for (;;) {
    switch (jxl_next(d, bytes, given, dc_stage)) {
      case JXL_DEC_BASIC_INFO:
        if (JxlDecoderGetBasicInfo(d, &info) != JXL_DEC_SUCCESS) return false;
        format.num_channels = (info.num_color_channels == 1 ? 1 : 3) + (info.alpha_bits != 0 ? 1 : 0);
        break;
      case JXL_DEC_COLOR_ENCODING:
        if (!info.uses_original_profile) {  // rendered as sRGB, as tarvik asks for most lossy files
          JxlColorEncoding srgb{};
          srgb.color_space = info.num_color_channels == 1 ? JXL_COLOR_SPACE_GRAY : JXL_COLOR_SPACE_RGB;
          srgb.white_point = JXL_WHITE_POINT_D65;
          srgb.primaries = JXL_PRIMARIES_SRGB;
          srgb.transfer_function = JXL_TRANSFER_FUNCTION_SRGB;
          JxlDecoderSetPreferredColorProfile(d, &srgb);
        }
        break;
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
        std::size_t size = 0;
        if (JxlDecoderImageOutBufferSize(d, &format, &size) != JXL_DEC_SUCCESS) return false;
        pixels.resize(size);
        if (JxlDecoderSetImageOutBuffer(d, &format, pixels.data(), size) != JXL_DEC_SUCCESS) return false;
        break;
      }
      case JXL_DEC_FRAME_PROGRESSION: return JxlDecoderFlushImage(d) == JXL_DEC_SUCCESS;
      case JXL_DEC_FULL_IMAGE: return !dc_stage;
      default: return false;
    }
  }
}

}  // namespace

bool jxl_dc_stage(const std::string& bytes) { return jxl_floor(bytes, true); }

bool decode_floor(const std::string& bytes, const Work& work, bool webp_threads, int heif_threads) {
  switch (work.kind) {
    case thumb::ImageKind::kJpeg: return jpeg_floor(bytes, work.plan.size);
    case thumb::ImageKind::kPng: return png_floor(bytes);
    case thumb::ImageKind::kGif: return gif_floor(bytes);
    case thumb::ImageKind::kTiff: return tiff_floor(bytes);
    case thumb::ImageKind::kWebp: return webp_floor(bytes, work.plan.size, webp_threads);
    case thumb::ImageKind::kHeif: return heif_floor(bytes, work.plan, heif_threads);
    case thumb::ImageKind::kJxl: return jxl_floor(bytes, false);
    default: return false;
  }
}

}  // namespace quarn::bench
