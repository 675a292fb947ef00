// A look at a JPEG XL file's headers before libjxl decodes it. libjxl 0.7
// decodes an embedded colour profile as large as its header claims (up to
// 256 MB, several times over, from a few bytes of entropy-coded data); it
// allocates every frame at the size the frame's own header gives, which
// may be far larger than the image (a 64 x 64 image of 1.6 KB with a
// 6000 x 6000 layer took 88 MB), and ends the process when an allocation
// fails; and it takes tens of bytes a pixel for every extra channel of a
// lossy image. What it will take is read here from the headers themselves.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarn::thumb {

// Whether the bytes start as a bare codestream (FF 0A) or as the
// container (the 12-byte "JXL " signature box).
bool is_jxl(const unsigned char* data, std::size_t size);

// Most extra channels (alpha, depth, spot colours, black) a file may have.
constexpr std::uint32_t kMaxJxlExtraChannels = 16;
// Largest embedded colour profile, as its encoded size: real profiles take
// a few kilobytes, a printer's lookup tables a few megabytes.
constexpr std::uint64_t kMaxJxlProfileBytes = std::uint64_t{4} << 20;
// Most frames before the one shown (layers, references, a preview).
constexpr std::uint32_t kMaxJxlFrames = 256;

struct JxlLayout {
  const char* refusal = nullptr;  // why it is refused; null when read
  std::uint64_t width = 0;        // as stored, before the orientation
  std::uint64_t height = 0;
  int orientation = 1;  // EXIF's values 1-8
  bool grey = false;    // one colour channel
  bool xyb = true;      // coded in XYB (lossy); else in the image's own colours
  bool animation = false;
  bool timecodes = false;  // an animation's frames carry time codes
  bool preview = false;    // a preview frame before the first frame
  std::uint64_t preview_width = 0, preview_height = 0;
  std::uint32_t extra_channels = 0;
  bool alpha = false;  // one of them is alpha
  // The encoded size of the embedded colour profile, 0 without one (an
  // enumerated colour encoding).
  std::uint64_t profile_bytes = 0;
  bool has_profile = false;
};

// Reads the codestream's size header, image metadata, transform data and
// the start of its colour profile, from the container's jxlc box or jxlp
// boxes if it has one. Refused: a box or a header that runs past the end
// of the data, headers beyond the first 64 KB of the codestream, no
// codestream signature, more than kMaxJxlExtraChannels, a profile over
// kMaxJxlProfileBytes. The sizes are not held to the limits here.
JxlLayout read_jxl_layout(const unsigned char* data, std::size_t size);

// What the frames that decoding the first frame shown takes say of it.
struct JxlFrames {
  const char* refusal = nullptr;
  std::uint32_t count = 0;        // frames read, the one shown included
  std::uint64_t widest = 0;       // the largest side of any of them, upsampled
  std::uint64_t largest = 0;      // the most pixels of any of them, upsampled
  bool modular = false;           // the frame shown is coded as modular (lossless-style)
};

// Reads every frame header from the one at byte `first_frame` of the file
// (where libjxl says the headers and the colour profile end) up to the
// first frame shown (the last, or one with a duration), skipping each
// frame's sections by its table of contents. Refused: a header or a table
// that runs past the end of the codestream, a permuted table, more than
// kMaxJxlFrames frames before the one shown. The sizes are not held to the
// limits here.
JxlFrames walk_jxl_frames(const unsigned char* data, std::size_t size, const JxlLayout& layout,
                          std::uint64_t first_frame);

}  // namespace quarn::thumb
