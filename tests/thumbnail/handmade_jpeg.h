// JPEGs written with libjpeg at run time, in what the image library cannot
// write: CMYK and YCCK with Adobe's inverted inks, an EXIF orientation,
// progressive scans, an ICC profile. Shared by the image tests and the fuzzing seeds.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <jpeglib.h>

namespace quarn::handmade {

struct JpegOptions {
  J_COLOR_SPACE stored = JCS_YCbCr;  // in the file: JCS_GRAYSCALE, JCS_YCbCr, JCS_CMYK, JCS_YCCK
  int orientation = 0;               // EXIF orientation; 0 writes no EXIF segment
  bool progressive = false;
  int quality = 95;
  std::string icc{};                 // an ICC profile, written as APP2 chunks; "" writes none
};

// The APP1 body of an EXIF block whose first directory holds only the
// orientation, in big-endian ("MM") or little-endian ("II") order.
inline std::string exif_orientation_block(int orientation, bool big_endian = true) {
  const auto put16 = [&](std::string& s, unsigned v) {
    const char hi = static_cast<char>(v >> 8), lo = static_cast<char>(v & 0xFF);
    s += big_endian ? hi : lo;
    s += big_endian ? lo : hi;
  };
  const auto put32 = [&](std::string& s, std::uint32_t v) {
    put16(s, big_endian ? v >> 16 : v & 0xFFFF);
    put16(s, big_endian ? v & 0xFFFF : v >> 16);
  };
  std::string s("Exif\0\0", 6);
  s += big_endian ? "MM" : "II";
  put16(s, 42);
  put32(s, 8);      // first directory right after the header
  put16(s, 1);      // one entry
  put16(s, 274);    // orientation
  put16(s, 3);      // SHORT
  put32(s, 1);      // one value, held in the entry
  put16(s, static_cast<unsigned>(orientation));
  put16(s, 0);
  put32(s, 0);      // no next directory
  return s;
}

// width x height pixels of 1 (grey), 3 (RGB) or 4 samples (CMYK as stored,
// for Adobe's files inverted: 255 is no ink).
inline std::string jpeg(const std::vector<std::uint8_t>& samples, unsigned width,
                        unsigned height, const JpegOptions& options = {}) {
  const int channels = static_cast<int>(samples.size() / (std::size_t{width} * height));
  jpeg_compress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = width;
  info.image_height = height;
  info.input_components = channels;
  info.in_color_space = channels == 1 ? JCS_GRAYSCALE : channels == 3 ? JCS_RGB : JCS_CMYK;
  jpeg_set_defaults(&info);
  jpeg_set_colorspace(&info, options.stored);  // CMYK and YCCK get an Adobe marker
  jpeg_set_quality(&info, options.quality, TRUE);
  if (options.progressive) jpeg_simple_progression(&info);
  jpeg_start_compress(&info, TRUE);
  if (!options.icc.empty())
    jpeg_write_icc_profile(&info, reinterpret_cast<const JOCTET*>(options.icc.data()),
                           static_cast<unsigned>(options.icc.size()));
  if (options.orientation != 0) {
    const std::string exif = exif_orientation_block(options.orientation);
    jpeg_write_marker(&info, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(exif.data()),
                      static_cast<unsigned>(exif.size()));
  }
  const std::size_t row_bytes = std::size_t{width} * channels;
  while (info.next_scanline < height) {
    JSAMPROW row = const_cast<std::uint8_t*>(samples.data()) + info.next_scanline * row_bytes;
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  std::string bytes(reinterpret_cast<const char*>(buffer), size);
  std::free(buffer);
  jpeg_destroy_compress(&info);
  return bytes;
}

}  // namespace quarn::handmade
