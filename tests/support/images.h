// Test images made at run time with the image library itself.
#pragma once

#include <string>

namespace quarn::test {

enum class ImageFormat { kPng, kJpeg, kBmp, kTga, kGif, kTiff, kPcx, kPnm, kPsd };

// A width x height RGB gradient encoded in the format; empty when the
// library cannot write it.
std::string encode_image(unsigned width, unsigned height, ImageFormat format);

struct Decoded {
  bool ok;
  unsigned width;
  unsigned height;
  int format;  // the library's format value of the decoded image
};

Decoded decode_file(const std::string& path);
Decoded decode_bytes(const std::string& bytes);

}  // namespace quarn::test
