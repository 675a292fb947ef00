// A look at a JPEG XL file's headers before libjxl sees it. libjxl 0.7
// decodes an embedded colour profile as large as its header claims (up to
// 256 MB, several times over, from a few bytes of entropy-coded data) and
// takes tens of bytes a pixel for every extra channel of a lossy image;
// what it will take is read here from the headers themselves.
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

struct JxlLayout {
  const char* refusal = nullptr;  // why it is refused; null when read
  std::uint64_t width = 0;        // as stored, before the orientation
  std::uint64_t height = 0;
  int orientation = 1;  // EXIF's values 1-8
  bool grey = false;    // one colour channel
  bool xyb = true;      // coded in XYB (lossy); else in the image's own colours
  bool animation = false;
  bool preview = false;  // a preview frame before the first frame
  std::uint32_t extra_channels = 0;
  bool alpha = false;  // one of them is alpha
  // The encoded size of the embedded colour profile, 0 without one (an
  // enumerated colour encoding).
  std::uint64_t profile_bytes = 0;
  bool has_profile = false;
  // How the first frame is coded, where the headers end in a known place
  // (no profile, no preview) and it says.
  enum class Coding { kUnknown, kVarDct, kModular };
  Coding first_frame = Coding::kUnknown;
};

// Reads the codestream's size header, image metadata, transform data and
// the start of its colour profile, from the container's jxlc box or jxlp
// boxes if it has one. Refused: a box or a header that runs past the end
// of the data, headers beyond the first 64 KB, no codestream signature,
// more than kMaxJxlExtraChannels, a profile over kMaxJxlProfileBytes. The
// sizes are not held to the limits here.
JxlLayout read_jxl_layout(const unsigned char* data, std::size_t size);

}  // namespace quarn::thumb
