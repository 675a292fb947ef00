// Writes small valid seed images, one directory per format, into argv[1].
#include <IL/il.h>
#include <lcms2.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "../tests/support/encoded_images.h"
#include "../tests/support/handmade_images.h"
#include "../tests/thumbnail/handmade_jpeg.h"

namespace {

void write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The bound image in the format; through a file for the formats whose
// in-memory writer fails.
std::string encode(ILenum type, const std::string& scratch) {
  std::string bytes(ilSaveL(type, nullptr, 0), '\0');
  if (!bytes.empty()) bytes.resize(ilSaveL(type, bytes.data(), static_cast<ILuint>(bytes.size())));
  if (bytes.empty() && ilSave(type, scratch.c_str())) bytes = read(scratch);
  while (ilGetError() != IL_NO_ERROR) {
  }
  return bytes;
}

// Profiles of each kind a thumbnail converts: RGB and grey matrix-shaper
// profiles, and CMYK and RGB lookup tables (with linear ramps: the fuzzer
// only needs their structure).
std::vector<std::pair<const char*, std::string>> icc_profiles() {
  std::vector<std::pair<const char*, std::string>> profiles;
  profiles.emplace_back("srgb", quarn::test::saved_profile(cmsCreate_sRGBProfile()));
  cmsToneCurve* gamma = cmsBuildGamma(nullptr, 1.8);
  profiles.emplace_back("prophoto", quarn::test::rgb_profile({0.3457, 0.3585, 1},
                                                             {{0.7347, 0.2653, 1}, {0.1596, 0.8404, 1}, {0.0366, 0.0001, 1}},
                                                             cmsBuildGamma(nullptr, 1.8)));
  profiles.emplace_back("grey", quarn::test::saved_profile(cmsCreateGrayProfile(cmsD50_xyY(), gamma)));
  cmsFreeToneCurve(gamma);
  for (const auto& [name, space, channels] :
       {std::tuple<const char*, cmsColorSpaceSignature, int>{"cmyk_lut", cmsSigCmykData, 4},
        {"rgb_lut", cmsSigRgbData, 3}}) {
    cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(profile, 2.1);  // lut16Type: a bare grid
    cmsSetDeviceClass(profile, cmsSigOutputClass);
    cmsSetColorSpace(profile, space);
    cmsSetPCS(profile, cmsSigLabData);
    cmsPipeline* lut = cmsPipelineAlloc(nullptr, static_cast<cmsUInt32Number>(channels), 3);
    cmsPipelineInsertStage(lut, cmsAT_END,
                           cmsStageAllocCLut16bit(nullptr, 3, static_cast<cmsUInt32Number>(channels), 3, nullptr));
    cmsWriteTag(profile, cmsSigAToB0Tag, lut);
    cmsWriteTag(profile, cmsSigMediaWhitePointTag, cmsD50_XYZ());
    cmsPipelineFree(lut);
    profiles.emplace_back(name, quarn::test::saved_profile(profile));
  }
  return profiles;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds DIR\n");
    return 2;
  }
  const std::string root = argv[1];
  ilInit();
  ilEnable(IL_FILE_OVERWRITE);
  ILuint name = 0;
  ilGenImages(1, &name);
  ilBindImage(name);
  const struct {
    const char* dir;
    ILenum type;
  } formats[] = {{"png", IL_PNG}, {"jpeg", IL_JPG}, {"bmp", IL_BMP}, {"tga", IL_TGA},
                 {"tiff", IL_TIF}, {"psd", IL_PSD}, {"pcx", IL_PCX}, {"pnm", IL_PNM}};
  const unsigned sizes[][2] = {{1, 1}, {7, 5}, {16, 16}, {33, 20}};
  const struct {
    ILenum format;
    int channels;
  } layouts[] = {{IL_RGB, 3}, {IL_RGBA, 4}, {IL_LUMINANCE, 1}};
  int written = 0;
  for (const auto& f : formats) {
    const std::string dir = root + "/" + f.dir;
    mkdir(dir.c_str(), 0755);
    for (const auto& size : sizes)
      for (const auto& layout : layouts) {
        std::vector<unsigned char> pixels(size[0] * size[1] * layout.channels);
        for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<unsigned char>(i * 37);
        ilTexImage(size[0], size[1], 1, static_cast<ILubyte>(layout.channels), layout.format,
                   IL_UNSIGNED_BYTE, pixels.data());
        const std::string bytes = encode(f.type, dir + "/scratch");
        if (bytes.empty()) continue;
        write(dir + "/" + std::to_string(size[0]) + "x" + std::to_string(size[1]) + "-" +
                  std::to_string(layout.channels) + "ch",
              bytes);
        ++written;
      }
    std::remove((dir + "/scratch").c_str());
  }
  // Formats the library reads but the pre-flight check refuses unread.
  const std::string unread = root + "/unread";
  mkdir(unread.c_str(), 0755);
  for (const auto& f : {std::pair<const char*, ILenum>{"dds", IL_DDS}, {"sgi", IL_SGI}, {"hdr", IL_HDR}}) {
    std::vector<unsigned char> pixels(16 * 12 * 3);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<unsigned char>(i * 13);
    ilTexImage(16, 12, 1, 3, IL_RGB, IL_UNSIGNED_BYTE, pixels.data());
    const std::string bytes = encode(f.second, unread + "/scratch");
    if (!bytes.empty()) {
      write(unread + "/" + f.first, bytes);
      ++written;
    }
  }
  std::remove((unread + "/scratch").c_str());
  const std::string gif = root + "/gif", ico = root + "/ico", png = root + "/png";
  mkdir(gif.c_str(), 0755);
  mkdir(ico.c_str(), 0755);
  for (const auto& size : sizes) {
    const std::string tag = std::to_string(size[0]) + "x" + std::to_string(size[1]);
    write(gif + "/" + tag, quarn::handmade::gif(size[0], size[1]));
    write(gif + "/" + tag + "-3frames", quarn::handmade::gif(size[0], size[1], 3));
    write(ico + "/" + tag, quarn::handmade::ico(size[0], size[1]));
    write(ico + "/" + tag + "-cur", quarn::handmade::ico(size[0], size[1], 2));
    write(png + "/" + tag + "-palette", quarn::handmade::palette_png(size[0], size[1]));
    written += 5;
  }
  // JPEGs the image library does not write: CMYK, YCCK, EXIF orientations,
  // progressive scans.
  const std::string jpeg = root + "/jpeg";
  const struct {
    const char* name;
    int channels;
    quarn::handmade::JpegOptions options;
  } jpegs[] = {{"cmyk", 4, {JCS_CMYK, 0, false, 90}},
               {"ycck", 4, {JCS_YCCK, 0, false, 90}},
               {"grey-progressive", 1, {JCS_GRAYSCALE, 0, true, 90}},
               {"rgb-progressive-exif6", 3, {JCS_YCbCr, 6, true, 90}},
               {"rgb-exif8", 3, {JCS_YCbCr, 8, false, 90}},
               {"ycck-exif5", 4, {JCS_YCCK, 5, false, 90}}};
  for (const auto& size : sizes)
    for (const auto& j : jpegs) {
      std::vector<std::uint8_t> samples(size[0] * size[1] * j.channels);
      for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::uint8_t>(i * 29);
      write(jpeg + "/" + std::to_string(size[0]) + "x" + std::to_string(size[1]) + "-" + j.name,
            quarn::handmade::jpeg(samples, size[0], size[1], j.options));
      ++written;
    }
  // WebP (lossy, lossless with alpha, animated, with EXIF orientation),
  // HEIF (HEVC, AV1, alpha, grey, a rotation with EXIF, 10 bits, a preview)
  // and JPEG XL (lossy, lossless, alpha, grey turned, animated in the
  // container, Display P3, an embedded profile).
  const std::string webp = root + "/webp", heif = root + "/heif", jxl = root + "/jxl";
  mkdir(webp.c_str(), 0755);
  mkdir(heif.c_str(), 0755);
  mkdir(jxl.c_str(), 0755);
  const std::string profile = icc_profiles().at(1).second;  // ProPhoto: kept as a profile
  using quarn::test::HeifCodec;
  for (const auto& size : sizes) {
    const unsigned w = size[0], h = size[1];
    const auto pattern = [&](int channels) {
      quarn::test::Samples samples(std::size_t{w} * h * channels);
      for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::uint8_t>(i * 41);
      return samples;
    };
    const auto put = [&](const std::string& dir, const std::string& name, const std::string& bytes) {
      if (bytes.empty()) return;
      write(dir + "/" + std::to_string(w) + "x" + std::to_string(h) + "-" + name, bytes);
      ++written;
    };
    put(webp, "lossy", quarn::test::webp(pattern(3), w, h, 3, false));
    put(webp, "lossless-alpha", quarn::test::webp(pattern(4), w, h, 4, true));
    put(webp, "lossy-alpha-exif6",
        quarn::test::webp_with_exif(quarn::test::webp(pattern(4), w, h, 4, false), 6));
    put(webp, "animated", quarn::test::webp_animation({pattern(4), quarn::test::Samples(w * h * 4, 200)}, w, h));
    put(heif, "hevc", quarn::test::heif(pattern(3), w, h, 3, {HeifCodec::kHevc}));
    put(heif, "hevc-alpha", quarn::test::heif(pattern(4), w, h, 4, {HeifCodec::kHevc}));
    put(heif, "hevc-rotated-exif", quarn::test::heif(pattern(3), w, h, 3, {HeifCodec::kHevc, 6, 6}));
    put(heif, "av1", quarn::test::heif(pattern(3), w, h, 3, {HeifCodec::kAv1}));
    put(heif, "av1-grey-mirrored", quarn::test::heif(pattern(1), w, h, 1, {HeifCodec::kAv1, 2}));
    put(heif, "av1-10bit", quarn::test::avif_10bit(pattern(3), w, h));
    quarn::test::HeifGridOptions grid;
    grid.tile_width = ((w + 1) / 2 + 1) & ~1u;  // 2 x 2 tiles of even sides
    grid.tile_height = ((h + 1) / 2 + 1) & ~1u;
    put(heif, "hevc-grid", quarn::test::heic_grid(pattern(3), w, h, grid));
    // A preview that the small box of the fuzz targets decodes instead.
    quarn::test::HeifOptions preview{HeifCodec::kHevc, 6};
    preview.preview = 16;
    put(heif, "hevc-rotated-preview", quarn::test::heif(pattern(3), w, h, 3, preview));
    quarn::test::JxlOptions lossless, grey_turned, animated, p3, tagged;
    lossless.lossless = grey_turned.lossless = tagged.lossless = true;
    grey_turned.orientation = 6;
    animated.more_frames = {quarn::test::Samples(w * h * 4, 200)};
    animated.container = true;
    p3.primaries = 11;
    tagged.icc = &profile;
    put(jxl, "lossy", quarn::test::jxl(pattern(3), w, h, 3));
    put(jxl, "lossless-alpha", quarn::test::jxl(pattern(4), w, h, 4, lossless));
    put(jxl, "lossy-alpha", quarn::test::jxl(pattern(4), w, h, 4));
    put(jxl, "grey-orientation6", quarn::test::jxl(pattern(1), w, h, 1, grey_turned));
    put(jxl, "animated-container", quarn::test::jxl(pattern(4), w, h, 4, animated));
    put(jxl, "display-p3", quarn::test::jxl(pattern(3), w, h, 3, p3));
    put(jxl, "profile", quarn::test::jxl(pattern(3), w, h, 3, tagged));
  }
  const std::string icc = root + "/icc";
  mkdir(icc.c_str(), 0755);
  for (const auto& [profile_name, bytes] : icc_profiles()) {
    if (bytes.empty()) continue;
    write(icc + "/" + profile_name, bytes);
    ++written;
  }
  // TIFF (16 bits, tiles, alpha, every orientation) and GIF (frames apart
  // from the screen, transparency) from their own libraries; PNG with EXIF.
  const std::string tiff = root + "/tiff";
  for (const auto& size : sizes) {
    const unsigned w = size[0], h = size[1];
    const std::string tag = "/" + std::to_string(w) + "x" + std::to_string(h);
    for (const int channels : {1, 2, 3, 4}) {
      quarn::test::Samples samples(std::size_t{w} * h * channels);
      for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::uint8_t>(i * 23);
      const int orientation = 1 + (channels * 3 + static_cast<int>(w)) % 8;
      write(tiff + tag + "-" + std::to_string(channels) + "ch-16bit-tiled",
            quarn::test::tiff(samples, w, h, channels, {16, orientation, true}));
      write(tiff + tag + "-" + std::to_string(channels) + "ch-raw",
            quarn::test::tiff(samples, w, h, channels,
                                  {8, orientation, false, 16, quarn::test::TiffCompression::kNone}));
      written += 2;
    }
    quarn::test::GifFrame frame{quarn::test::Samples((w / 2 + 1) * (h / 2 + 1), 3), w / 2, h / 2,
                                w - w / 2, h - h / 2, 3};
    for (std::size_t i = 0; i < frame.indices.size(); ++i) frame.indices[i] = static_cast<std::uint8_t>(i % 4);
    frame.indices.resize(std::size_t{frame.width} * frame.height);
    write(gif + tag + "-offset-transparent",
          quarn::test::gif({frame, frame}, w, h, quarn::test::Samples(12, 128)));
    write(png + tag + "-exif3", quarn::handmade::palette_png(w, h).insert(
              33, quarn::handmade::png_chunk("eXIf", quarn::handmade::exif_orientation_block(3).substr(6))));
    written += 2;
  }
  const std::string hostile = root + "/hostile";
  mkdir(hostile.c_str(), 0755);
  for (const auto& image : quarn::handmade::hostile_images()) {
    write(hostile + "/" + image.name, image.bytes);
    ++written;
  }
  // Files whose cost is far beyond their size, built here rather than
  // stored: a 4 MB seed is cut to -max_len, so the same shapes come small too.
  for (const auto& image : quarn::handmade::costly_images()) {
    write(hostile + "/" + image.name, image.bytes);
    ++written;
  }
  write(hostile + "/heif_ipma_12000", quarn::handmade::heif_association_bomb(12000));
  write(hostile + "/jpeg_120_scans", quarn::handmade::progressive_scan_bomb(8000, 8000, 120));
  written += 2;
  ilDeleteImages(1, &name);
  std::printf("make_seeds: %d seeds in %s\n", written, root.c_str());
  return 0;
}
