#include "decode/jxl_header.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace quarn::thumb {
namespace {

using Bytes = const unsigned char*;

constexpr unsigned char kContainer[12] = {0, 0, 0, 0x0C, 'J', 'X', 'L', ' ', 0x0D, 0x0A, 0x87, 0x0A};
// The headers are read from this much of the codestream at most.
constexpr std::size_t kHeaderBytes = 64 * 1024;

std::uint64_t be32(Bytes p) {
  return (std::uint64_t{p[0]} << 24) | (std::uint64_t{p[1]} << 16) | (std::uint64_t{p[2]} << 8) | p[3];
}

// The codestream's bits, least significant first within each byte. A read
// past the end gives zeros and marks the reader as overrun.
class BitReader {
 public:
  BitReader(Bytes data, std::size_t size) : data_(data), size_(size) {}

  std::uint64_t bits(unsigned count) {
    std::uint64_t value = 0;
    for (unsigned i = 0; i < count; ++i) {
      if (position_ / 8 >= size_) {
        overrun_ = true;
        return 0;
      }
      value |= std::uint64_t{(data_[position_ / 8] >> (position_ % 8)) & 1u} << i;
      ++position_;
    }
    return value;
  }
  bool flag() { return bits(1) != 0; }
  void skip(std::uint64_t count) {
    if (count > std::uint64_t{size_} * 8 - position_) {
      overrun_ = true;
      position_ = std::uint64_t{size_} * 8;
    } else {
      position_ += count;
    }
  }
  void to_byte() { skip((8 - position_ % 8) % 8); }
  std::uint64_t byte_position() const { return position_ / 8; }
  bool overrun() const { return overrun_; }

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
  Bytes data_;
  std::size_t size_;
  std::uint64_t position_ = 0;
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

void preview_header(BitReader& r) {
  const bool div8 = r.flag();
  const auto side = [&] {
    if (div8) r.u32(Val(16), Val(32), Bits(5, 1), Bits(9, 33));
    else r.u32(Bits(6, 1), Bits(8, 65), Bits(10, 321), Bits(12, 1345));
  };
  side();
  if (r.bits(3) == 0) side();
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

// The codestream: the jxlc box's payload, or the jxlp boxes' joined, up to
// kHeaderBytes. Empty with a refusal when a box runs past the end.
const char* codestream(Bytes d, std::size_t n, std::vector<unsigned char>& out) {
  if (n < sizeof kContainer || std::memcmp(d, kContainer, sizeof kContainer) != 0) {
    out.assign(d, d + std::min(n, kHeaderBytes));
    return nullptr;
  }
  for (std::size_t pos = 0; pos < n && out.size() < kHeaderBytes;) {
    if (n - pos < 8) return "box runs past the end";
    std::uint64_t size = be32(d + pos);
    std::size_t header = 8;
    if (size == 1) {
      if (n - pos < 16) return "box runs past the end";
      size = (be32(d + pos + 8) << 32) | be32(d + pos + 12);
      header = 16;
    } else if (size == 0) {
      size = n - pos;  // to the end of the file
    }
    if (size < header || size > n - pos) return "box runs past the end";
    Bytes type = d + pos + 4;
    Bytes payload = d + pos + header;
    std::size_t length = static_cast<std::size_t>(size) - header;
    if (std::memcmp(type, "jxlp", 4) == 0) {
      if (length < 4) return "box runs past the end";
      payload += 4;  // the part's index
      length -= 4;
    }
    if (std::memcmp(type, "jxlc", 4) == 0 || std::memcmp(type, "jxlp", 4) == 0)
      out.insert(out.end(), payload, payload + std::min(length, kHeaderBytes - out.size()));
    pos += static_cast<std::size_t>(size);
  }
  return out.empty() ? "no codestream" : nullptr;
}

}  // namespace

bool is_jxl(const unsigned char* d, std::size_t n) {
  return (n >= 2 && d[0] == 0xFF && d[1] == 0x0A) ||
         (n >= sizeof kContainer && std::memcmp(d, kContainer, sizeof kContainer) == 0);
}

JxlLayout read_jxl_layout(const unsigned char* d, std::size_t n) {
  JxlLayout layout;
  std::vector<unsigned char> stream;
  if ((layout.refusal = codestream(d, n, stream)) != nullptr) return layout;
  if (stream.size() < 2 || stream[0] != 0xFF || stream[1] != 0x0A)
    return layout.refusal = "no codestream signature", layout;
  // Whether the headers read lie in what was kept of the codestream.
  const bool whole = stream.size() < kHeaderBytes;
  BitReader r(stream.data() + 2, stream.size() - 2);
  const auto failed = [&]() -> bool {
    if (!r.overrun()) return false;
    layout.refusal = whole ? "header runs past the end" : "header too long";
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
      if ((layout.preview = r.flag())) preview_header(r);
      if ((layout.animation = r.flag())) {
        r.u32(Val(100), Val(1000), Bits(10, 1), Bits(30, 1));
        r.u32(Val(1), Val(1001), Bits(8, 1), Bits(10, 1));
        r.u32(Val(0), Bits(3), Bits(16), Bits(32));
        r.flag();
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
  if (layout.has_profile) {
    layout.profile_bytes = r.u64();
    if (failed()) return layout;
    if (layout.profile_bytes > kMaxJxlProfileBytes)
      return layout.refusal = "colour profile too large", layout;
    return layout;
  }
  r.to_byte();
  if (!layout.preview && !r.overrun()) {
    // The first frame's header: all default (VarDCT), or its type and coding.
    if (r.flag()) {
      layout.first_frame = JxlLayout::Coding::kVarDct;
    } else {
      r.bits(2);
      const std::uint64_t coding = r.bits(2);
      if (coding <= 1) layout.first_frame = coding == 0 ? JxlLayout::Coding::kVarDct : JxlLayout::Coding::kModular;
    }
    // A codestream cut right after its headers has no frame to say it.
    if (r.overrun()) {
      layout.first_frame = JxlLayout::Coding::kUnknown;
      return layout;
    }
  }
  failed();
  return layout;
}

}  // namespace quarn::thumb
