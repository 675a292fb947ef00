// GIF with giflib: the first frame only, on the logical screen as a viewer
// shows it before anything moves: the frame where it lies, its transparent
// pixels and the screen around it transparent (browsers do not paint the
// background colour), which the thumbnail shows white. The frames after it are never read. giflib keeps no
// state between files and reads no environment variables.
#include <gif_lib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "c_handle.h"
#include "decode/decoder.h"

namespace quarn::thumb {
namespace {

struct Input {
  const unsigned char* data;
  std::size_t size;
  std::size_t at = 0;
};

int read_input(GifFileType* gif, GifByteType* out, int wanted) {
  Input& in = *static_cast<Input*>(gif->UserData);
  const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(std::max(wanted, 0)), in.size - in.at);
  std::memcpy(out, in.data + in.at, n);
  in.at += n;
  return static_cast<int>(n);
}

void close_gif(GifFileType* gif) {
  int error = 0;
  DGifCloseFile(gif, &error);
}

using Rgb = std::array<std::uint8_t, 3>;
constexpr Rgb kWhite = {255, 255, 255};

class GifDecoder : public ImageDecoder {
 public:
  GifDecoder(const unsigned char* data, std::size_t size, const Preflight& check)
      : input_{data, size}, interlaced_indices_(check.held_bytes) {}

  bool read_header(ImageHeader& header) override {
    int error = 0;
    gif_.reset(DGifOpen(&input_, read_input, &error));
    if (!gif_ || gif_->SWidth <= 0 || gif_->SHeight <= 0) return false;
    header.size = {static_cast<std::uint32_t>(gif_->SWidth), static_cast<std::uint32_t>(gif_->SHeight)};
    return true;
  }

  // The screen, row by row; an interlaced frame's indices are held whole.
  DecodePlan plan(Size, Size) override {
    return {{static_cast<std::uint32_t>(gif_->SWidth), static_cast<std::uint32_t>(gif_->SHeight)},
            false, false, interlaced_indices_};
  }

  bool decode(Size, Reduction& rows, ColourSpace&) override {
    GifFileType* gif = gif_.get();
    int transparent = NO_TRANSPARENT_COLOR;
    if (!find_first_frame(transparent) || DGifGetImageDesc(gif) == GIF_ERROR) return false;
    const GifImageDesc& frame = gif->Image;
    const ColorMapObject* map = frame.ColorMap != nullptr ? frame.ColorMap : gif->SColorMap;
    const std::uint32_t screen_width = static_cast<std::uint32_t>(gif->SWidth);
    const std::uint32_t screen_height = static_cast<std::uint32_t>(gif->SHeight);
    if (map == nullptr || map->Colors == nullptr || frame.Width <= 0 || frame.Height <= 0 ||
        frame.Left < 0 || frame.Top < 0 || frame.Left + frame.Width > gif->SWidth ||
        frame.Top + frame.Height > gif->SHeight)
      return false;
    // Indices beyond the colour table show black. Transparency is all or
    // nothing: composited onto white right here.
    std::array<Rgb, 256> colours;
    colours.fill({0, 0, 0});
    for (int i = 0; i < std::min(map->ColorCount, 256); ++i)
      colours[static_cast<std::size_t>(i)] = {map->Colors[i].Red, map->Colors[i].Green, map->Colors[i].Blue};
    if (transparent >= 0 && transparent < 256) colours[static_cast<std::size_t>(transparent)] = kWhite;
    constexpr int channels = 3;
    const auto width = static_cast<std::size_t>(frame.Width);
    const auto height = static_cast<std::size_t>(frame.Height);
    // Interlaced rows come in four passes: the frame is read whole first.
    Buffer<GifPixelType> indices(frame.Interlace ? width * height : width);
    if (frame.Interlace) {
      static const std::size_t kStart[] = {0, 4, 2, 1}, kStep[] = {8, 8, 4, 2};
      for (int pass = 0; pass < 4; ++pass)
        for (std::size_t y = kStart[pass]; y < height; y += kStep[pass])
          if (out_of_time() || DGifGetLine(gif, indices.data() + y * width, frame.Width) == GIF_ERROR)
            return false;
    }
    rows.start({screen_width, screen_height}, channels);
    std::vector<std::uint8_t> row(std::size_t{screen_width} * channels, 255);
    const auto top = static_cast<std::uint32_t>(frame.Top);
    for (std::uint32_t y = 0; y < screen_height; ++y) {
      const bool inside = y >= top && y - top < height;
      if (inside) {
        const GifPixelType* line = indices.data();
        if (frame.Interlace) {
          line += (y - top) * width;
        } else if (out_of_time() || DGifGetLine(gif, indices.data(), frame.Width) == GIF_ERROR) {
          return false;
        }
        std::uint8_t* out = row.data() + static_cast<std::size_t>(frame.Left) * channels;
        for (std::size_t x = 0; x < width; ++x, out += channels) {
          const Rgb& colour = colours[line[x]];
          out[0] = colour[0];
          out[1] = colour[1];
          out[2] = colour[2];
        }
      }
      rows.add_row(row.data());
      if (inside && y - top + 1 == height) std::fill(row.begin(), row.end(), 255);
    }
    return true;
  }

 private:
  // Reads up to the first image descriptor; the graphic control extension
  // before it names the transparent index.
  bool find_first_frame(int& transparent) {
    GifFileType* gif = gif_.get();
    for (;;) {
      GifRecordType type = UNDEFINED_RECORD_TYPE;
      if (DGifGetRecordType(gif, &type) == GIF_ERROR) return false;
      if (type == IMAGE_DESC_RECORD_TYPE) return true;
      if (type != EXTENSION_RECORD_TYPE) return false;
      int code = 0;
      GifByteType* block = nullptr;
      if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) return false;
      if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr) {
        GraphicsControlBlock control{};
        if (DGifExtensionToGCB(block[0], block + 1, &control) == GIF_OK)
          transparent = control.TransparentColor;
      }
      while (block != nullptr)
        if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) return false;
    }
  }

  Input input_;
  std::uint64_t interlaced_indices_;  // the first frame's, when it is interlaced
  CHandle<GifFileType, close_gif> gif_;
};

}  // namespace

std::unique_ptr<ImageDecoder> open_gif(const unsigned char* data, std::size_t size,
                                       const Preflight& check) {
  return std::make_unique<GifDecoder>(data, size, check);
}

}  // namespace quarn::thumb
