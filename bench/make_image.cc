// Writes a generated test picture, or tells the size of an image file:
//   make_image WIDTH HEIGHT FILE [FRAMES]
//                                  (format from the file's suffix; .webp,
//                                   .heic, .avif, .jxl and .gif with their
//                                   own encoders; a JPEG XL lossy at cjxl's
//                                   default effort; a GIF of FRAMES frames,
//                                   the rings moving, 1 by default)
//   make_image --preview SIDE WIDTH HEIGHT FILE
//                                  (a .heic or .avif with a preview image
//                                   fitted into SIDE x SIDE, as phones store)
//   make_image --grid TILE SIDE WIDTH HEIGHT FILE
//                                  (a .heic of TILE x TILE tiles joined by a
//                                   grid, as phones store photos, with a
//                                   preview fitted into SIDE x SIDE; 0: none)
//   make_image --size FILE         (prints WIDTHxHEIGHT)
//   make_image --adobe-rgb IN OUT  (the JPEG IN, tagged with an Adobe RGB
//                                   profile made by lcms2)
#include <IL/il.h>
#include <lcms2.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
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

bool write_bytes(const char* file, const std::string& bytes) {
  FILE* out = std::fopen(file, "wb");
  const bool written = !bytes.empty() && out != nullptr &&
                       std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  if (out != nullptr && std::fclose(out) != 0) return false;
  if (!written) std::fprintf(stderr, "cannot write %s\n", file);
  return written;
}

// Concentric rings over a colour gradient: easy to recognise when scaled.
std::vector<unsigned char> picture(unsigned width, unsigned height, double shift = 0) {
  std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * 3);
  const double cx = width / 2.0 + shift, cy = height / 2.0;
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
  return pixels;
}

// The frames in 256 colours (3 bits red, 3 green, 2 blue).
int write_gif(unsigned width, unsigned height, unsigned frames, const char* file) {
  quarn::test::Samples palette;
  for (unsigned i = 0; i < 256; ++i) {
    palette.push_back(static_cast<std::uint8_t>((i >> 5) * 255 / 7));
    palette.push_back(static_cast<std::uint8_t>(((i >> 2) & 7) * 255 / 7));
    palette.push_back(static_cast<std::uint8_t>((i & 3) * 255 / 3));
  }
  std::vector<quarn::test::GifFrame> gif_frames;
  for (unsigned f = 0; f < frames; ++f) {
    const std::vector<unsigned char> rgb = picture(width, height, 3.0 * f);
    quarn::test::GifFrame frame{{}, 0, 0, width, height, -1};
    for (std::size_t i = 0; i < rgb.size(); i += 3)
      frame.indices.push_back(static_cast<std::uint8_t>((rgb[i] >> 5) << 5 | (rgb[i + 1] >> 5) << 2 | rgb[i + 2] >> 6));
    gif_frames.push_back(std::move(frame));
  }
  return write_bytes(file, quarn::test::gif(gif_frames, width, height, palette)) ? 0 : 1;
}

int write_picture(unsigned width, unsigned height, const char* file, int preview = 0) {
  std::vector<unsigned char> pixels = picture(width, height);
  const std::string path = file;
  const std::string suffix = path.size() > 5 ? path.substr(path.size() - 5) : "";
  if (suffix == ".webp" || suffix == ".heic" || suffix == ".avif") {
    using quarn::test::HeifCodec;
    quarn::test::HeifOptions options{suffix == ".heic" ? HeifCodec::kHevc : HeifCodec::kAv1};
    options.preview = preview;
    const std::string bytes = suffix == ".webp" ? quarn::test::webp(pixels, width, height, 3, false)
                                                : quarn::test::heif(pixels, width, height, 3, options);
    return write_bytes(file, bytes) ? 0 : 1;
  }
  if (preview != 0) return 2;
  if (path.size() > 4 && path.substr(path.size() - 4) == ".jxl") {
    quarn::test::JxlOptions options;
    options.effort = 7;
    return write_bytes(file, quarn::test::jxl(pixels, width, height, 3, options)) ? 0 : 1;
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

// The same compressed data with an APP2 ICC_PROFILE segment after SOI:
// only reading and applying the profile differs from the untagged file.
int tag_adobe_rgb(const char* in, const char* out) {
  std::ifstream file(in, std::ios::binary);
  const std::string jpeg((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (jpeg.size() < 2 || jpeg.compare(0, 2, "\xFF\xD8") != 0) return 1;
  const std::string icc = quarn::test::rgb_profile(
      {0.3127, 0.3290, 1}, {{0.64, 0.33, 1}, {0.21, 0.71, 1}, {0.15, 0.06, 1}}, cmsBuildGamma(nullptr, 563.0 / 256));
  const std::size_t length = 2 + 14 + icc.size();
  if (icc.empty() || length > 0xFFFF) return 1;
  std::string segment = "\xFF\xE2";
  segment += static_cast<char>(length >> 8);
  segment += static_cast<char>(length & 0xFF);
  segment += std::string("ICC_PROFILE\0\x01\x01", 14) + icc;
  std::ofstream(out, std::ios::binary) << jpeg.substr(0, 2) << segment << jpeg.substr(2);
  return 0;
}

int main(int argc, char** argv) {
  ilInit();
  if (argc == 3 && std::strcmp(argv[1], "--size") == 0) return print_size(argv[2]);
  if (argc == 4 && std::strcmp(argv[1], "--adobe-rgb") == 0) return tag_adobe_rgb(argv[2], argv[3]);
  if (argc == 7 && std::strcmp(argv[1], "--grid") == 0) {
    quarn::test::HeifGridOptions grid;
    grid.tile_width = grid.tile_height = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
    grid.preview = static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10));
    const long width = std::strtol(argv[4], nullptr, 10);
    const long height = std::strtol(argv[5], nullptr, 10);
    if (width > 0 && height > 0 && width <= 20000 && height <= 20000)
      return write_bytes(argv[6], quarn::test::heic_grid(picture(static_cast<unsigned>(width),
                                                                 static_cast<unsigned>(height)),
                                                         static_cast<unsigned>(width),
                                                         static_cast<unsigned>(height), grid))
                 ? 0
                 : 1;
  }
  if (argc == 6 && std::strcmp(argv[1], "--preview") == 0) {
    const long side = std::strtol(argv[2], nullptr, 10);
    const long width = std::strtol(argv[3], nullptr, 10);
    const long height = std::strtol(argv[4], nullptr, 10);
    if (side > 0 && width > 0 && height > 0 && width <= 20000 && height <= 20000)
      return write_picture(static_cast<unsigned>(width), static_cast<unsigned>(height), argv[5],
                           static_cast<int>(side));
  }
  if (argc == 4 || argc == 5) {
    const long width = std::strtol(argv[1], nullptr, 10);
    const long height = std::strtol(argv[2], nullptr, 10);
    const long frames = argc == 5 ? std::strtol(argv[4], nullptr, 10) : 1;
    const std::string path = argv[3];
    const bool gif = path.size() > 4 && path.substr(path.size() - 4) == ".gif";
    if (width > 0 && height > 0 && width <= 20000 && height <= 20000 && frames > 0 && frames <= 1000) {
      if (gif) return write_gif(static_cast<unsigned>(width), static_cast<unsigned>(height),
                                static_cast<unsigned>(frames), argv[3]);
      if (argc == 4) return write_picture(static_cast<unsigned>(width), static_cast<unsigned>(height), argv[3]);
    }
  }
  std::fprintf(stderr, "usage: make_image WIDTH HEIGHT FILE [FRAMES] | make_image --size FILE | "
                       "make_image --adobe-rgb IN OUT | make_image --preview SIDE WIDTH HEIGHT FILE | "
                       "make_image --grid TILE SIDE WIDTH HEIGHT FILE\n");
  return 2;
}
