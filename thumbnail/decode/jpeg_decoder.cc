#include "decode/jpeg_decoder.h"

#include <IL/il.h>

#include <cstdlib>
#include <optional>
#include <vector>

#include "c_handle.h"
#include "common/image_limits.h"
#include "common/libjpeg.h"
#include "decode/decoder.h"
#include "pixels/colour.h"

namespace quarn::thumb {
namespace {

// libjpeg's progress monitor, called for every row of blocks it reads and
// every call for rows: the one place to stop a decode that runs too long.
struct Progress {
  jpeg_progress_mgr manager;  // first, so libjpeg's pointer to it is one to this
  const Deadline* deadline;
  JpegFailure stopped = JpegFailure::kNone;
};

void watch(j_common_ptr info) {
  auto* progress = reinterpret_cast<Progress*>(info->progress);
  // A progressive file may hold any number of scans, each decoded over the
  // whole picture.
  if (reinterpret_cast<j_decompress_ptr>(info)->input_scan_number > static_cast<int>(kMaxJpegScans))
    progress->stopped = JpegFailure::kTooManyScans;
  else if (progress->deadline->passed())
    progress->stopped = JpegFailure::kOutOfTime;
  else
    return;
  give_up(info);
}

struct Decoder {
  jpeg_decompress_struct info;
  Trap trap;
  Progress progress;
};

bool create_decoder(Decoder& d) {
  install(d.trap, *reinterpret_cast<jpeg_common_struct*>(&d.info));
  if (setjmp(d.trap.jump)) return false;
  jpeg_create_decompress(&d.info);
  return true;
}

bool read_header(Decoder& d, const unsigned char* data, std::size_t size, bool with_profile) {
  if (setjmp(d.trap.jump)) return false;
  d.progress.manager.progress_monitor = watch;
  d.info.progress = &d.progress.manager;
  jpeg_mem_src(&d.info, data, static_cast<unsigned long>(size));
  if (with_profile) jpeg_save_markers(&d.info, JPEG_APP0 + 2, 0xFFFF);  // ICC profile chunks
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

std::optional<DecodedImage> decode(Decoder& d, const unsigned char* data, std::size_t size, Size at_least,
                                   bool with_profile) {
  if (!create_decoder(d) || !read_header(d, data, size, with_profile) || !choose_colours(d) ||
      !choose_scale(d, at_least))
    return std::nullopt;
  ColourSpace colour;
  colour.icc = read_profile(d);
  if (!start_rows(d)) return std::nullopt;
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

}  // namespace

std::optional<DecodedImage> decode_jpeg(const unsigned char* data, std::size_t size, Size at_least,
                                        const JpegLimits& limits, JpegFailure* why) {
  Decoder d{};
  d.progress.deadline = &limits.deadline;
  const AtExit destroy([&d] { jpeg_destroy_decompress(&d.info); });
  std::optional<DecodedImage> image = decode(d, data, size, at_least, limits.profile);
  if (why != nullptr)
    *why = image                                         ? JpegFailure::kNone
           : d.progress.stopped != JpegFailure::kNone ? d.progress.stopped
                                                      : JpegFailure::kLibjpeg;
  return image;
}

namespace {

// libjpeg-turbo, at the smallest DCT scale that covers what is asked.
class JpegDecoder : public ImageDecoder {
 public:
  JpegDecoder(const unsigned char* data, std::size_t size, const Preflight& check)
      : data_(data),
        size_(size),
        coefficients_(check.held_bytes),
        keep_profile_(check.jpeg_profile_bytes <= kMaxJpegProfileBytes),
        profile_(keep_profile_ ? check.jpeg_profile_bytes : 0) {}
  bool read_header(ImageHeader& header) override {  // the pre-flight's reading
    stored_ = header.size;
    return true;
  }
  // The smallest of libjpeg's scales k/8 that covers `at_least`; its sizes
  // are rounded up (jpeg_calc_output_dimensions). libjpeg holds the whole
  // image's coefficients for more than one pass; ink is converted to RGB
  // into a copy. The APP2 segments it keeps are held twice: as libjpeg
  // keeps them and joined into the profile.
  DecodePlan plan(Size, Size at_least) override {
    Size scaled = stored_;
    for (std::uint32_t eighths = 1; eighths <= 8; ++eighths) {
      scaled = {(stored_.width * eighths + 7) / 8, (stored_.height * eighths + 7) / 8};
      if (scaled.width >= at_least.width && scaled.height >= at_least.height) break;
    }
    return {scaled, true, false,
            coefficients_ + 2 * profile_ + std::uint64_t{scaled.width} * scaled.height * 3};
  }
  // Too many scans or too long a time are final: the image library, which
  // cannot be stopped, never gets such a file.
  bool decode(Size at_least, Reduction& rows, ColourSpace& colour) override {
    JpegFailure why = JpegFailure::kNone;
    const JpegLimits limits{deadline(), keep_profile_};
    std::optional<DecodedImage> image = decode_jpeg(data_, size_, at_least, limits, &why);
    if (why == JpegFailure::kTooManyScans) return stop({Stage::kLoad, IL_ILLEGAL_FILE_VALUE, kTooManyScans});
    if (why == JpegFailure::kOutOfTime) return stop({Stage::kLoad, kOverTimeLimit});
    return hand_on(image, rows, colour);
  }

 private:
  const unsigned char* data_;
  std::size_t size_;
  std::uint64_t coefficients_;
  bool keep_profile_;
  std::uint64_t profile_;  // what libjpeg holds of the APP2 segments
  Size stored_{};
};

}  // namespace

std::unique_ptr<ImageDecoder> open_jpeg(const unsigned char* data, std::size_t size,
                                        const Preflight& check) {
  return std::make_unique<JpegDecoder>(data, size, check);
}

}  // namespace quarn::thumb
