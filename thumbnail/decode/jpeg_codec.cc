#include "decode/jpeg_codec.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <jerror.h>
#include <jpeglib.h>

#include "c_handle.h"
#include "pixels/colour.h"
#include "env.h"
#include "write/replace_file.h"

namespace quarn::thumb {
namespace {

// libjpeg's own error handler ends the process. This one jumps back to the
// step that called into libjpeg, for errors and warnings alike. The steps
// below hold no C++ objects, since the jump skips their destructors.
struct Trap {
  jpeg_error_mgr manager;  // first, so libjpeg's pointer to it is one to the trap
  std::jmp_buf jump;
};

[[noreturn]] void give_up(j_common_ptr info) {
  std::longjmp(reinterpret_cast<Trap*>(info->err)->jump, 1);
}

void on_message(j_common_ptr info, int level) {
  if (level < 0) give_up(info);  // a warning: the data is corrupt
}

void stay_silent(j_common_ptr) {}

void install(Trap& trap, jpeg_common_struct& info) {
  info.err = jpeg_std_error(&trap.manager);
  trap.manager.error_exit = give_up;
  trap.manager.emit_message = on_message;
  trap.manager.output_message = stay_silent;
}

// A progressive file may hold any number of scans, each decoded in full;
// real ones have a dozen at most.
constexpr int kMaxScans = 100;

void limit_scans(j_common_ptr info) {
  if (reinterpret_cast<j_decompress_ptr>(info)->input_scan_number > kMaxScans) give_up(info);
}

struct Decoder {
  jpeg_decompress_struct info;
  Trap trap;
  jpeg_progress_mgr progress;
};

bool create_decoder(Decoder& d) {
  install(d.trap, *reinterpret_cast<jpeg_common_struct*>(&d.info));
  if (setjmp(d.trap.jump)) return false;
  jpeg_create_decompress(&d.info);
  return true;
}

bool read_header(Decoder& d, const unsigned char* data, std::size_t size) {
  if (setjmp(d.trap.jump)) return false;
  d.progress.progress_monitor = limit_scans;
  d.info.progress = &d.progress;
  jpeg_mem_src(&d.info, data, static_cast<unsigned long>(size));
  jpeg_save_markers(&d.info, JPEG_APP0 + 2, 0xFFFF);  // ICC profile chunks
  jpeg_read_header(&d.info, TRUE);
  return true;
}

// The ICC profile's chunks joined; empty when there is none or its chunks
// do not add up (libjpeg warns, and the image is shown untagged).
std::vector<std::uint8_t> read_profile(Decoder& d) {
  JOCTET* data = nullptr;
  unsigned int length = 0;
  const auto read = [&d, &data, &length] {
    if (setjmp(d.trap.jump)) return false;
    return jpeg_read_icc_profile(&d.info, &data, &length) == TRUE;
  };
  const bool found = read();
  const CHandle<JOCTET, std::free> owned(data);
  if (!found || data == nullptr) return {};
  return std::vector<std::uint8_t>(data, data + length);
}

// Grey stays grey, YCbCr and RGB give RGB, CMYK and YCCK give CMYK (made
// RGB below); other colour spaces are left to the image library.
bool choose_colours(Decoder& d) {
  switch (d.info.jpeg_color_space) {
    case JCS_GRAYSCALE: d.info.out_color_space = JCS_GRAYSCALE; return true;
    case JCS_YCbCr: case JCS_RGB: d.info.out_color_space = JCS_RGB; return true;
    case JCS_CMYK: case JCS_YCCK: d.info.out_color_space = JCS_CMYK; return true;
    default: return false;
  }
}

bool choose_scale(Decoder& d, Size at_least) {
  if (setjmp(d.trap.jump)) return false;
  for (unsigned eighths = 1; eighths <= 8; ++eighths) {
    d.info.scale_num = eighths;
    d.info.scale_denom = 8;
    jpeg_calc_output_dimensions(&d.info);
    if (d.info.output_width >= at_least.width && d.info.output_height >= at_least.height) break;
  }
  return true;
}

// libjpeg-turbo looks up its JSIMD_* switches as a thread's first coder
// starts, in jpeg_start_decompress or jpeg_start_compress.
thread_local bool simd_switches_read = false;

template <class Start>
bool start_coder(Start start) {
  std::optional<EnvReadHold> environment;
  if (!simd_switches_read) environment.emplace();
  const bool started = start();
  if (started) simd_switches_read = true;
  return started;
}

bool start_rows(Decoder& d) {
  if (setjmp(d.trap.jump)) return false;
  jpeg_start_decompress(&d.info);
  return true;
}

bool read_rows(Decoder& d, std::uint8_t* samples) {
  if (setjmp(d.trap.jump)) return false;
  const std::size_t row_bytes = std::size_t{d.info.output_width} * d.info.output_components;
  while (d.info.output_scanline < d.info.output_height) {
    JSAMPROW row = samples + d.info.output_scanline * row_bytes;
    jpeg_read_scanlines(&d.info, &row, 1);
  }
  jpeg_finish_decompress(&d.info);
  return true;
}

// Ink to RGB without a colour profile, as browsers and libvips do. Adobe's
// files store each ink inverted (255 = none).
void cmyk_to_rgb(Raster& image, bool inverted) {
  const std::size_t pixels = std::size_t{image.width} * image.height;
  std::uint8_t* out = image.samples.data();
  const std::uint8_t* in = image.samples.data();
  for (std::size_t i = 0; i < pixels; ++i, in += 4) {
    const unsigned k = inverted ? in[3] : 255 - in[3];
    for (int c = 0; c < 3; ++c) {
      const unsigned ink = inverted ? in[c] : 255 - in[c];
      *out++ = static_cast<std::uint8_t>((ink * k + 127) / 255);
    }
  }
  image.channels = 3;
  image.samples.resize(pixels * 3);
}

struct Encoder {
  jpeg_compress_struct info;
  Trap trap;
};

bool create_encoder(Encoder& e) {
  install(e.trap, *reinterpret_cast<jpeg_common_struct*>(&e.info));
  if (setjmp(e.trap.jump)) return false;
  jpeg_create_compress(&e.info);
  return true;
}

bool start_encoder(Encoder& e, std::FILE* file, const Raster& image) {
  if (setjmp(e.trap.jump)) return false;
  jpeg_stdio_dest(&e.info, file);
  e.info.image_width = image.width;
  e.info.image_height = image.height;
  e.info.input_components = image.channels;
  e.info.in_color_space = image.channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&e.info);
  jpeg_set_quality(&e.info, kJpegQuality, TRUE);
  jpeg_start_compress(&e.info, TRUE);
  return true;
}

bool write_rows(Encoder& e, const Raster& image) {
  if (setjmp(e.trap.jump)) return false;
  const std::size_t row_bytes = std::size_t{image.width} * image.channels;
  while (e.info.next_scanline < e.info.image_height) {
    JSAMPROW row = const_cast<std::uint8_t*>(image.samples.data()) + e.info.next_scanline * row_bytes;
    jpeg_write_scanlines(&e.info, &row, 1);
  }
  jpeg_finish_compress(&e.info);
  return true;
}

// Writes the whole file; the environment is held only where libjpeg reads it.
bool encode(Encoder& e, std::FILE* file, const Raster& image) {
  bool created = false;
  {
    EnvReadHold environment;  // jpeg_create_compress reads JPEGMEM
    created = create_encoder(e);
  }
  return created && start_coder([&] { return start_encoder(e, file, image); }) &&
         write_rows(e, image);
}

}  // namespace

std::optional<DecodedImage> decode_jpeg(const unsigned char* data, std::size_t size, Size at_least) {
  Decoder d{};
  const AtExit destroy([&d] { jpeg_destroy_decompress(&d.info); });
  bool created = false;
  {
    EnvReadHold environment;  // jpeg_create_decompress reads JPEGMEM
    created = create_decoder(d);
  }
  if (!created || !read_header(d, data, size) || !choose_colours(d) || !choose_scale(d, at_least))
    return std::nullopt;
  ColourSpace colour;
  colour.icc = read_profile(d);
  if (!start_coder([&d] { return start_rows(d); })) return std::nullopt;
  Raster image;
  image.width = d.info.output_width;
  image.height = d.info.output_height;
  image.channels = d.info.output_components;
  image.samples.resize(std::size_t{image.width} * image.height * image.channels);
  if (!read_rows(d, image.samples.data())) return std::nullopt;
  if (image.channels == 4) {
    // Ink has no colours of its own: through its profile where it has one,
    // at the decoded size (the reduction takes RGB).
    const bool inverted = d.info.saw_Adobe_marker;
    if (!cmyk_to_srgb(image, colour.icc, inverted)) cmyk_to_rgb(image, inverted);
    colour = {};
  }
  DecodedImage decoded_image = decoded(std::move(image));
  decoded_image.colour = std::move(colour);
  return decoded_image;
}

WriteResult write_jpeg(const Raster& image, const std::string& path) {
  ReplacingFile file(path);
  if (file.stream() == nullptr) return WriteResult::kCannotOpen;
  bool encoded = false;
  bool write_error = false;
  {
    Encoder e{};
    const AtExit destroy([&e] { jpeg_destroy_compress(&e.info); });
    encoded = encode(e, file.stream(), image);
    write_error = !encoded && e.trap.manager.msg_code == JERR_FILE_WRITE;
  }
  if (!encoded) return write_error ? WriteResult::kWriteFailed : WriteResult::kEncodeFailed;
  switch (file.commit()) {
    case ReplacingFile::Commit::kDone: return WriteResult::kWritten;
    case ReplacingFile::Commit::kWriteFailed: return WriteResult::kWriteFailed;
    case ReplacingFile::Commit::kRenameFailed: break;
  }
  // What could not be opened for writing before: a directory of that name,
  // a protected file in a sticky directory.
  return WriteResult::kCannotOpen;
}

}  // namespace quarn::thumb
