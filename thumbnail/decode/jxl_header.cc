#include "decode/jxl_header.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/image_limits.h"

namespace quarn::thumb {
namespace {

using Bytes = const unsigned char*;

constexpr unsigned char kContainer[12] = {0, 0, 0, 0x0C, 'J', 'X', 'L', ' ', 0x0D, 0x0A, 0x87, 0x0A};
// The headers are read from this much of the codestream at most.
constexpr std::uint64_t kHeaderBytes = 64 * 1024;
// Most jxlc and jxlp boxes a file may hold.
constexpr std::size_t kMaxParts = 4096;

std::uint64_t be32(Bytes p) {
  return (std::uint64_t{p[0]} << 24) | (std::uint64_t{p[1]} << 16) | (std::uint64_t{p[2]} << 8) | p[3];
}

// The codestream of a file: the file itself, or the payloads of its
// container's jxlc box or jxlp boxes in their order, read in place.
class Codestream {
 public:
  Codestream(Bytes d, std::size_t n) : data_(d) {
    if (n < sizeof kContainer || std::memcmp(d, kContainer, sizeof kContainer) != 0) {
      add(0, n);
      return;
    }
    for (std::size_t pos = 0; pos < n;) {
      if (n - pos < 8) { fail("box runs past the end"); return; }
      std::uint64_t size = be32(d + pos);
      std::size_t header = 8;
      if (size == 1) {
        if (n - pos < 16) { fail("box runs past the end"); return; }
        size = (be32(d + pos + 8) << 32) | be32(d + pos + 12);
        header = 16;
      } else if (size == 0) {
        size = n - pos;  // to the end of the file
      }
      if (size < header || size > n - pos) { fail("box runs past the end"); return; }
      Bytes type = d + pos + 4;
      std::size_t payload = pos + header;
      const std::size_t end = pos + static_cast<std::size_t>(size);
      if (std::memcmp(type, "jxlp", 4) == 0) {
        if (end - payload < 4) { fail("box runs past the end"); return; }
        payload += 4;  // the part's index
      }
      if (std::memcmp(type, "jxlc", 4) == 0 || std::memcmp(type, "jxlp", 4) == 0) {
        if (parts_.size() == kMaxParts) { fail("too many codestream boxes"); return; }
        add(payload, end - payload);
      }
      pos = end;
    }
    if (size_ == 0) fail("no codestream");
  }

  const char* refusal() const { return refusal_; }
  std::uint64_t size() const { return size_; }

  // The byte at `at`, which is below size().
  unsigned byte(std::uint64_t at) const {
    if (at - parts_[last_].stream >= parts_[last_].length) {
      const auto after = std::upper_bound(parts_.begin(), parts_.end(), at,
                                          [](std::uint64_t a, const Part& p) { return a < p.stream; });
      last_ = static_cast<std::size_t>(after - parts_.begin()) - 1;
    }
    return data_[parts_[last_].file + (at - parts_[last_].stream)];
  }

  // Where the file's byte `at` is in the codestream; between parts, the
  // next part's start; size() beyond the last.
  std::uint64_t from_file(std::uint64_t at) const {
    for (const Part& p : parts_) {
      if (at < p.file) return p.stream;
      if (at - p.file < p.length) return p.stream + (at - p.file);
    }
    return size_;
  }

 private:
  struct Part {
    std::uint64_t file, stream, length;
  };
  void add(std::uint64_t file, std::uint64_t length) {
    if (length == 0) return;
    parts_.push_back({file, size_, length});
    size_ += length;
  }
  void fail(const char* refusal) {
    refusal_ = refusal;
    parts_.clear();
    size_ = 0;
  }

  Bytes data_;
  std::vector<Part> parts_;
  std::uint64_t size_ = 0;
  const char* refusal_ = nullptr;
  mutable std::size_t last_ = 0;
};

// The codestream's bits from a byte on, least significant first within each
// byte, up to a limit. A read past it gives zeros and marks the reader as
// overrun.
class BitReader {
 public:
  BitReader(const Codestream& stream, std::uint64_t byte, std::uint64_t limit_bytes)
      : stream_(stream), position_(byte * 8), end_(std::min(stream.size(), limit_bytes) * 8) {
    if (position_ > end_) overrun_ = true, position_ = end_;
  }

  std::uint64_t bits(unsigned count) {
    std::uint64_t value = 0;
    for (unsigned i = 0; i < count; ++i) {
      if (position_ >= end_) {
        overrun_ = true;
        return 0;
      }
      value |= std::uint64_t{(stream_.byte(position_ / 8) >> (position_ % 8)) & 1u} << i;
      ++position_;
    }
    return value;
  }
  bool flag() { return bits(1) != 0; }
  void skip(std::uint64_t count) {
    if (count > end_ - position_) {
      overrun_ = true;
      position_ = end_;
    } else {
      position_ += count;
    }
  }
  void to_byte() { skip((8 - position_ % 8) % 8); }
  std::uint64_t byte_position() const { return position_ / 8; }
  bool overrun() const { return overrun_; }
  // Whether the reads stopped at the end of the codestream rather than at
  // the limit.
  bool at_end_of_stream() const { return end_ == stream_.size() * 8; }

  // One of a field's four distributions, chosen by two bits: a value, or
  // that many bits plus an offset.
  struct Choice {
    unsigned bits;
    std::uint64_t offset;
  };
  static constexpr Choice value(std::uint64_t v) { return {0, v}; }
  static constexpr Choice bits_plus(unsigned n, std::uint64_t offset = 0) { return {n, offset}; }
  std::uint64_t u32(Choice c0, Choice c1, Choice c2, Choice c3) {
    const Choice choices[4] = {c0, c1, c2, c3};
    const Choice& c = choices[bits(2)];
    return bits(c.bits) + c.offset;
  }
  std::uint64_t u64() {
    switch (bits(2)) {
      case 0: return 0;
      case 1: return 1 + bits(4);
      case 2: return 17 + bits(8);
      default: break;
    }
    std::uint64_t value = bits(12);
    for (unsigned shift = 12; flag() && !overrun_; shift += 8) {
      if (shift == 60) return value | (bits(4) << 60);
      value |= bits(8) << shift;
    }
    return value;
  }
  std::uint64_t enumeration() {
    return u32(value(0), value(1), bits_plus(4, 2), bits_plus(6, 18));
  }
  void f16() { skip(16); }

 private:
  const Codestream& stream_;
  std::uint64_t position_;
  std::uint64_t end_;
  bool overrun_ = false;
};

using Choice = BitReader::Choice;
constexpr Choice Val(std::uint64_t v) { return BitReader::value(v); }
constexpr Choice Bits(unsigned n, std::uint64_t offset = 0) { return BitReader::bits_plus(n, offset); }

// The width of a size header's ratio to its height (1:1, 12:10, 4:3, 3:2,
// 16:9, 5:4, 2:1).
std::uint64_t by_ratio(std::uint64_t height, std::uint64_t ratio) {
  static const std::uint64_t kRatios[8][2] = {{0, 1}, {1, 1}, {12, 10}, {4, 3}, {3, 2}, {16, 9}, {5, 4}, {2, 1}};
  return height * kRatios[ratio][0] / kRatios[ratio][1];
}

void size_header(BitReader& r, std::uint64_t& width, std::uint64_t& height) {
  const bool small = r.flag();
  const auto side = [&] {
    return small ? (r.bits(5) + 1) * 8
                 : r.u32(Bits(9, 1), Bits(13, 1), Bits(18, 1), Bits(30, 1));
  };
  height = side();
  const std::uint64_t ratio = r.bits(3);
  width = ratio == 0 ? side() : by_ratio(height, ratio);
}

void preview_header(BitReader& r, std::uint64_t& width, std::uint64_t& height) {
  const bool div8 = r.flag();
  const auto side = [&] {
    return div8 ? 8 * r.u32(Val(16), Val(32), Bits(5, 1), Bits(9, 33))
                : r.u32(Bits(6, 1), Bits(8, 65), Bits(10, 321), Bits(12, 1345));
  };
  height = side();
  const std::uint64_t ratio = r.bits(3);
  width = ratio == 0 ? side() : by_ratio(height, ratio);
}

void bit_depth(BitReader& r) {
  if (!r.flag()) {
    r.u32(Val(8), Val(10), Val(12), Bits(6, 1));
  } else {
    r.u32(Val(32), Val(16), Val(24), Bits(6, 1));
    r.bits(4);
  }
}

constexpr std::uint64_t kAlpha = 0, kSpotColour = 2, kColourFilterArray = 5;

// Returns the channel's type.
std::uint64_t extra_channel(BitReader& r) {
  if (r.flag()) return kAlpha;  // all default: 8-bit alpha
  const std::uint64_t type = r.enumeration();
  bit_depth(r);
  r.u32(Val(0), Val(3), Val(4), Bits(3, 1));  // dim_shift
  const std::uint64_t name_bytes = r.u32(Val(0), Bits(4), Bits(5, 16), Bits(10, 48));
  r.skip(name_bytes * 8);
  if (type == kAlpha) r.flag();  // associated
  if (type == kSpotColour)
    for (int i = 0; i < 4; ++i) r.f16();
  if (type == kColourFilterArray) r.u32(Val(1), Bits(2), Bits(4, 3), Bits(8, 19));
  return type;
}

constexpr std::uint64_t kGrey = 1, kXybSpace = 2;

void customxy(BitReader& r) {
  for (int i = 0; i < 2; ++i) r.u32(Bits(19), Bits(19, 524288), Bits(20, 1048576), Bits(21, 2097152));
}

// Returns whether it asks for an ICC profile; `grey` from its colour space.
bool colour_encoding(BitReader& r, bool& grey) {
  if (r.flag()) return false;  // all default: sRGB
  const bool want_icc = r.flag();
  const std::uint64_t space = r.enumeration();
  grey = space == kGrey;
  if (want_icc) return true;
  constexpr std::uint64_t kCustom = 2;
  if (space != kXybSpace && r.enumeration() == kCustom) customxy(r);  // white point
  if (space != kXybSpace && space != kGrey && r.enumeration() == kCustom)
    for (int i = 0; i < 3; ++i) customxy(r);  // red, green, blue
  if (space != kXybSpace) {  // XYB's transfer is implied
    if (r.flag()) r.bits(24);  // a gamma
    else r.enumeration();
  }
  r.enumeration();  // rendering intent
  return false;
}

void tone_mapping(BitReader& r) {
  if (r.flag()) return;
  r.f16();
  r.f16();
  r.flag();
  r.f16();
}

// Fields added to a bundle later: their bits are counted, and skipped here.
void extensions(BitReader& r) {
  const std::uint64_t present = r.u64();
  std::uint64_t total = 0;
  for (int i = 0; i < 64 && !r.overrun(); ++i) {
    if ((present >> i & 1) == 0) continue;
    const std::uint64_t bits = r.u64();
    if (bits > ~std::uint64_t{0} - total) return r.skip(~std::uint64_t{0});
    total += bits;
  }
  r.skip(total);
}

void transform_data(BitReader& r, bool xyb) {
  if (r.flag()) return;
  if (xyb && !r.flag())  // a custom opsin inverse matrix
    for (int i = 0; i < 16; ++i) r.f16();
  const std::uint64_t weights = r.bits(3);
  if (weights & 1) r.skip(15 * 16);
  if (weights & 2) r.skip(55 * 16);
  if (weights & 4) r.skip(210 * 16);
}

}  // namespace

bool is_jxl(const unsigned char* d, std::size_t n) {
  return (n >= 2 && d[0] == 0xFF && d[1] == 0x0A) ||
         (n >= sizeof kContainer && std::memcmp(d, kContainer, sizeof kContainer) == 0);
}

JxlLayout read_jxl_layout(const unsigned char* d, std::size_t n) {
  JxlLayout layout;
  const Codestream stream(d, n);
  if ((layout.refusal = stream.refusal()) != nullptr) return layout;
  if (stream.size() < 2 || stream.byte(0) != 0xFF || stream.byte(1) != 0x0A)
    return layout.refusal = "no codestream signature", layout;
  BitReader r(stream, 2, kHeaderBytes);
  const auto failed = [&]() -> bool {
    if (!r.overrun()) return false;
    layout.refusal = r.at_end_of_stream() ? "header runs past the end" : "header too long";
    return true;
  };

  size_header(r, layout.width, layout.height);
  if (!r.flag()) {  // not all default
    const bool extra_fields = r.flag();
    if (extra_fields) {
      layout.orientation = static_cast<int>(r.bits(3)) + 1;
      if (r.flag()) {  // an intrinsic size, for display only
        std::uint64_t ignored_width = 0, ignored_height = 0;
        size_header(r, ignored_width, ignored_height);
      }
      if ((layout.preview = r.flag())) preview_header(r, layout.preview_width, layout.preview_height);
      if ((layout.animation = r.flag())) {
        r.u32(Val(100), Val(1000), Bits(10, 1), Bits(30, 1));
        r.u32(Val(1), Val(1001), Bits(8, 1), Bits(10, 1));
        r.u32(Val(0), Bits(3), Bits(16), Bits(32));
        layout.timecodes = r.flag();
      }
    }
    bit_depth(r);
    r.flag();  // 16-bit buffers suffice
    const std::uint64_t extra = r.u32(Val(0), Val(1), Bits(4, 2), Bits(12, 1));
    if (extra > kMaxJxlExtraChannels)
      return layout.refusal = "too many extra channels", layout;
    layout.extra_channels = static_cast<std::uint32_t>(extra);
    for (std::uint64_t i = 0; i < extra && !r.overrun(); ++i)
      layout.alpha = extra_channel(r) == kAlpha || layout.alpha;
    layout.xyb = r.flag();
    layout.has_profile = colour_encoding(r, layout.grey);
    if (extra_fields) tone_mapping(r);
    extensions(r);
  }
  transform_data(r, layout.xyb);
  if (layout.has_profile) layout.profile_bytes = r.u64();
  if (failed()) return layout;
  if (layout.profile_bytes > kMaxJxlProfileBytes) layout.refusal = "colour profile too large";
  return layout;
}

namespace {

// What the walk needs of a frame's header.
struct FrameHeader {
  enum Type { kRegular = 0, kDc = 1, kReferenceOnly = 2, kSkipProgressive = 3 };
  std::uint64_t type = kRegular;
  bool modular = false;
  std::uint64_t width = 0, height = 0;  // upsampled, as composed
  std::uint64_t upsampling = 1;
  unsigned group_shift = 1;
  unsigned h_shift = 0, v_shift = 0;  // chroma subsampling, at most
  std::uint64_t passes = 1;
  bool is_last = true;
  std::uint64_t duration = 0;
  bool shown() const { return (type == kRegular || type == kSkipProgressive) && (is_last || duration > 0); }
};

std::int64_t unpack_signed(std::uint64_t u) {
  return (u & 1) ? -static_cast<std::int64_t>((u + 1) >> 1) : static_cast<std::int64_t>(u >> 1);
}

// A frame's or an extra channel's blending; returns its mode.
std::uint64_t blending(BitReader& r, std::uint32_t extra_channels, bool partial) {
  constexpr std::uint64_t kReplace = 0, kBlend = 2, kAlphaWeightedAdd = 3, kMultiply = 4;
  const std::uint64_t mode = r.u32(Val(0), Val(1), Val(2), Bits(2, 3));
  const bool by_alpha = extra_channels > 0 && (mode == kBlend || mode == kAlphaWeightedAdd);
  if (by_alpha) r.u32(Val(0), Val(1), Val(2), Bits(3, 3));  // which alpha
  if (by_alpha || mode == kMultiply) r.flag();              // clamp
  if (mode != kReplace || partial) r.bits(2);               // onto which frame
  return mode;
}

void restoration_filter(BitReader& r, bool modular) {
  if (r.flag()) return;  // all default
  if (r.flag() && r.flag())  // Gabor-like smoothing, with weights of its own
    for (int i = 0; i < 6; ++i) r.f16();
  if (r.bits(2) != 0) {  // edge-preserving filter's iterations
    if (!modular && r.flag())
      for (int i = 0; i < 8; ++i) r.f16();  // sharpness
    if (r.flag())
      for (int i = 0; i < 5; ++i) r.f16();  // channel weights
    if (r.flag()) {  // sigmas
      if (!modular) r.f16();
      for (int i = 0; i < 3; ++i) r.f16();
    }
    if (modular) r.f16();
  }
  extensions(r);
}

// The frame header at the reader; `preview` for the preview frame.
FrameHeader frame_header(BitReader& r, const JxlLayout& layout, bool preview) {
  FrameHeader f;
  const std::uint64_t image_width = preview ? layout.preview_width : layout.width;
  const std::uint64_t image_height = preview ? layout.preview_height : layout.height;
  f.width = image_width;
  f.height = image_height;
  if (r.flag()) return f;  // all default: a regular frame of the whole image, the last
  f.type = r.bits(2);
  f.modular = r.flag();
  const std::uint64_t flags = r.u64();
  constexpr std::uint64_t kUseDcFrame = 32;
  const bool ycbcr = !layout.xyb && r.flag();
  if ((flags & kUseDcFrame) == 0) {
    if (ycbcr)
      for (int c = 0; c < 3; ++c) {
        const std::uint64_t mode = r.bits(2);  // 4:4:4, 4:2:0, 4:2:2, 4:4:0
        f.h_shift = std::max(f.h_shift, mode == 1 || mode == 2 ? 1u : 0u);
        f.v_shift = std::max(f.v_shift, mode == 1 || mode == 3 ? 1u : 0u);
      }
    f.upsampling = std::uint64_t{1} << r.bits(2);
    for (std::uint32_t i = 0; i < layout.extra_channels; ++i) r.bits(2);
  }
  if (f.modular) f.group_shift = static_cast<unsigned>(r.bits(2));
  if (!f.modular && layout.xyb) r.bits(6);  // quantisation matrix scales
  if (f.type != FrameHeader::kReferenceOnly) {
    f.passes = r.u32(Val(1), Val(2), Val(3), Bits(3, 4));
    if (f.passes != 1) {
      const std::uint64_t downsampled = r.u32(Val(0), Val(1), Val(2), Bits(1, 3));
      r.skip(2 * (f.passes - 1));  // shifts
      for (std::uint64_t i = 0; i < downsampled && !r.overrun(); ++i) r.bits(2);
      for (std::uint64_t i = 0; i < downsampled && !r.overrun(); ++i) r.u32(Val(0), Val(1), Val(2), Bits(3));
    }
  }
  bool partial = false;
  if (f.type == FrameHeader::kDc) {
    const std::uint64_t level = r.u32(Val(1), Val(2), Val(3), Val(4));
    const std::uint64_t scale = std::uint64_t{1} << (3 * level);
    f.width = (image_width + scale - 1) / scale;
    f.height = (image_height + scale - 1) / scale;
  } else if (r.flag()) {  // a size or an origin of its own
    const auto field = [&] { return r.u32(Bits(8), Bits(11, 256), Bits(14, 2304), Bits(30, 18688)); };
    std::int64_t x0 = 0, y0 = 0;
    const bool placed = f.type == FrameHeader::kRegular || f.type == FrameHeader::kSkipProgressive;
    if (placed) {
      x0 = unpack_signed(field());
      y0 = unpack_signed(field());
    }
    f.width = field();
    f.height = field();
    partial = placed && (x0 > 0 || y0 > 0 || static_cast<std::int64_t>(f.width) + x0 < static_cast<std::int64_t>(image_width) ||
                         static_cast<std::int64_t>(f.height) + y0 < static_cast<std::int64_t>(image_height));
  }
  std::uint64_t mode = 0;
  if (f.type == FrameHeader::kRegular || f.type == FrameHeader::kSkipProgressive) {
    mode = blending(r, layout.extra_channels, partial);
    for (std::uint32_t i = 0; i < layout.extra_channels && !r.overrun(); ++i)
      blending(r, layout.extra_channels, partial);
    if (layout.animation) {
      f.duration = r.u32(Val(0), Val(1), Bits(8), Bits(32));
      if (layout.timecodes) r.bits(32);
    }
    f.is_last = r.flag();
  } else {
    f.is_last = false;
  }
  std::uint64_t saved_as = 0;
  if (f.type != FrameHeader::kDc && !f.is_last) saved_as = r.bits(2);
  if (f.type != FrameHeader::kDc) {
    const bool can_be_referenced = !f.is_last && (f.duration == 0 || saved_as != 0);
    if (f.type == FrameHeader::kReferenceOnly ||
        (can_be_referenced && mode == 0 && !partial && f.type != FrameHeader::kDc))
      r.flag();  // saved before the colour transform
  }
  r.skip(8 * r.u32(Val(0), Bits(4), Bits(5, 16), Bits(10, 48)));  // its name
  restoration_filter(r, f.modular);
  extensions(r);
  return f;
}

std::uint64_t div_ceil(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

// The entries of the frame's table of contents: one section, or the global
// sections, one per group of the 1:8 image and one per group and pass.
std::uint64_t sections(const FrameHeader& f) {
  const std::uint64_t group = std::uint64_t{128} << f.group_shift;
  const std::uint64_t width = div_ceil(f.width, f.upsampling), height = div_ceil(f.height, f.upsampling);
  const std::uint64_t blocks_across = div_ceil(width, 8u << f.h_shift) << f.h_shift;
  const std::uint64_t blocks_down = div_ceil(height, 8u << f.v_shift) << f.v_shift;
  const std::uint64_t groups = div_ceil(width, group) * div_ceil(height, group);
  const std::uint64_t dc_groups = div_ceil(blocks_across, group) * div_ceil(blocks_down, group);
  if (groups == 1 && f.passes == 1) return 1;
  return 1 + dc_groups + 1 + groups * f.passes;
}

}  // namespace

JxlFrames walk_jxl_frames(const unsigned char* data, std::size_t size, const JxlLayout& layout,
                          std::uint64_t first_frame) {
  JxlFrames frames;
  const Codestream stream(data, size);
  if ((frames.refusal = stream.refusal()) != nullptr) return frames;
  BitReader r(stream, stream.from_file(first_frame), stream.size());
  for (bool preview = layout.preview;; preview = false) {
    if (frames.count == kMaxJxlFrames) return frames.refusal = "too many frames", frames;
    const FrameHeader f = frame_header(r, layout, preview);
    if (r.overrun()) return frames.refusal = "frame header runs past the end", frames;
    ++frames.count;
    // Held to the limits before anything depends on the size.
    if (f.width == 0 || f.height == 0 || f.width > kMaxImageSide || f.height > kMaxImageSide ||
        f.width * f.height > kMaxImagePixels)
      return frames.refusal = "frame too large", frames;
    frames.widest = std::max({frames.widest, f.width, f.height});
    frames.largest = std::max(frames.largest, f.width * f.height);
    if (!preview && f.shown()) {
      frames.modular = f.modular;
      return frames;
    }
    if (f.is_last && !preview) return frames.refusal = "no frame shown", frames;
    // Its sections, by the table of contents, to the next frame's header.
    if (r.flag()) return frames.refusal = "permuted table of contents", frames;
    r.to_byte();
    std::uint64_t bytes = 0;
    for (std::uint64_t i = sections(f); i > 0 && !r.overrun(); --i)
      bytes += r.u32(Bits(10), Bits(14, 1024), Bits(22, 17408), Bits(30, 4211712));
    r.to_byte();
    r.skip(bytes * 8);
    if (r.overrun()) return frames.refusal = "frame runs past the end", frames;
  }
}

}  // namespace quarn::thumb
