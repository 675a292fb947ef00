#include "images.h"

#include <IL/il.h>

#include <vector>

namespace quarn::test {
namespace {

ILenum library_type(ImageFormat format) {
  switch (format) {
    case ImageFormat::kPng: return IL_PNG;
    case ImageFormat::kJpeg: return IL_JPG;
    case ImageFormat::kBmp: return IL_BMP;
    case ImageFormat::kTga: return IL_TGA;
    case ImageFormat::kGif: return IL_GIF;
    case ImageFormat::kTiff: return IL_TIF;
    case ImageFormat::kPcx: return IL_PCX;
    case ImageFormat::kPnm: return IL_PNM;
    case ImageFormat::kPsd: return IL_PSD;
  }
  return IL_PNG;
}

Decoded describe_bound(bool loaded) {
  Decoded result{loaded, 0, 0, 0};
  if (loaded) {
    result.width = static_cast<unsigned>(ilGetInteger(IL_IMAGE_WIDTH));
    result.height = static_cast<unsigned>(ilGetInteger(IL_IMAGE_HEIGHT));
    result.format = ilGetInteger(IL_IMAGE_FORMAT);
  }
  while (ilGetError() != IL_NO_ERROR) {
  }
  return result;
}

}  // namespace

std::string encode_image(unsigned width, unsigned height, ImageFormat format) {
  ilInit();
  ILuint name = 0;
  ilGenImages(1, &name);
  ilBindImage(name);
  std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * 3);
  for (unsigned y = 0; y < height; ++y)
    for (unsigned x = 0; x < width; ++x) {
      unsigned char* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 3];
      p[0] = static_cast<unsigned char>(x * 255 / (width ? width : 1));
      p[1] = static_cast<unsigned char>(y * 255 / (height ? height : 1));
      p[2] = static_cast<unsigned char>((x + y) & 0xff);
    }
  std::string bytes;
  if (ilTexImage(width, height, 1, 3, IL_RGB, IL_UNSIGNED_BYTE, pixels.data())) {
    const ILuint needed = ilSaveL(library_type(format), nullptr, 0);
    if (needed > 0) {
      bytes.resize(needed);
      const ILuint written = ilSaveL(library_type(format), bytes.data(), needed);
      bytes.resize(written);
    }
  }
  ilDeleteImages(1, &name);
  while (ilGetError() != IL_NO_ERROR) {
  }
  return bytes;
}

Decoded decode_file(const std::string& path) {
  ilInit();
  ILuint name = 0;
  ilGenImages(1, &name);
  ilBindImage(name);
  const Decoded result = describe_bound(ilLoadImage(path.c_str()));
  ilDeleteImages(1, &name);
  return result;
}

Decoded decode_bytes(const std::string& bytes) {
  ilInit();
  ILuint name = 0;
  ilGenImages(1, &name);
  ilBindImage(name);
  const Decoded result = describe_bound(
      ilLoadL(IL_TYPE_UNKNOWN, bytes.data(), static_cast<ILuint>(bytes.size())));
  ilDeleteImages(1, &name);
  return result;
}

}  // namespace quarn::test
