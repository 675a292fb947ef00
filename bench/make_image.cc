// Writes a generated test picture, or tells the size of an image file:
//   make_image WIDTH HEIGHT FILE   (format from the file's suffix; .webp,
//                                   .heic and .avif with their own encoders)
//   make_image --size FILE         (prints WIDTHxHEIGHT)
#include <IL/il.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "encoded_images.h"

namespace {

int print_size(const char* file) {
  ILuint name = 0;
  ilGenImages(1, &name);
  ilBindImage(name);
  if (!ilLoadImage(file)) {
    std::fprintf(stderr, "cannot read %s (code %u)\n", file, ilGetError());
    return 1;
  }
  std::printf("%dx%d\n", ilGetInteger(IL_IMAGE_WIDTH), ilGetInteger(IL_IMAGE_HEIGHT));
  ilDeleteImages(1, &name);
  return 0;
}

int write_picture(unsigned width, unsigned height, const char* file) {
  // Concentric rings over a colour gradient: easy to recognise when scaled.
  std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * 3);
  const double cx = width / 2.0, cy = height / 2.0;
  for (unsigned y = 0; y < height; ++y) {
    for (unsigned x = 0; x < width; ++x) {
      unsigned char* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 3];
      const double r = std::hypot(x - cx, y - cy) / (width < height ? width : height);
      const bool ring = static_cast<int>(r * 16) % 2 == 0;
      p[0] = static_cast<unsigned char>(255 * x / (width ? width : 1));
      p[1] = static_cast<unsigned char>(255 * y / (height ? height : 1));
      p[2] = ring ? 220 : 40;
    }
  }
  const std::string path = file;
  const std::string suffix = path.size() > 5 ? path.substr(path.size() - 5) : "";
  if (suffix == ".webp" || suffix == ".heic" || suffix == ".avif") {
    using quarn::test::HeifCodec;
    const std::string bytes =
        suffix == ".webp" ? quarn::test::webp(pixels, width, height, 3, false)
                          : quarn::test::heif(pixels, width, height, 3,
                                              {suffix == ".heic" ? HeifCodec::kHevc : HeifCodec::kAv1});
    FILE* out = std::fopen(file, "wb");
    const bool written = !bytes.empty() && out != nullptr &&
                         std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    if (out != nullptr && std::fclose(out) != 0) return 1;
    if (!written) std::fprintf(stderr, "cannot write %s\n", file);
    return written ? 0 : 1;
  }
  ILuint name = 0;
  ilGenImages(1, &name);
  ilBindImage(name);
  ilEnable(IL_FILE_OVERWRITE);
  if (!ilTexImage(width, height, 1, 3, IL_RGB, IL_UNSIGNED_BYTE, pixels.data()) ||
      !ilSaveImage(file)) {
    std::fprintf(stderr, "cannot write %s (code %u)\n", file, ilGetError());
    return 1;
  }
  ilDeleteImages(1, &name);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  ilInit();
  if (argc == 3 && std::strcmp(argv[1], "--size") == 0) return print_size(argv[2]);
  if (argc == 4) {
    const long width = std::strtol(argv[1], nullptr, 10);
    const long height = std::strtol(argv[2], nullptr, 10);
    if (width > 0 && height > 0 && width <= 20000 && height <= 20000)
      return write_picture(static_cast<unsigned>(width), static_cast<unsigned>(height), argv[3]);
  }
  std::fprintf(stderr, "usage: make_image WIDTH HEIGHT FILE | make_image --size FILE\n");
  return 2;
}
