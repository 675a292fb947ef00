#include "decode/heif_layout.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

namespace quarn::thumb {
namespace {

using Bytes = const unsigned char*;

std::uint64_t be(Bytes p, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value = (value << 8) | p[i];
  return value;
}

constexpr std::uint32_t fourcc(const char (&s)[5]) {
  return (std::uint32_t(std::uint8_t(s[0])) << 24) | (std::uint32_t(std::uint8_t(s[1])) << 16) |
         (std::uint32_t(std::uint8_t(s[2])) << 8) | std::uint32_t(std::uint8_t(s[3]));
}

// Bytes of one box, one item's data, or one configuration.
struct Span {
  Bytes at = nullptr;
  std::size_t size = 0;
};

// Reads a box body field by field; any read past its end marks it broken
// and gives 0.
struct Reader {
  Span span;
  std::size_t pos = 0;
  bool broken = false;
  std::uint64_t get(int bytes) {
    if (broken || span.size - pos < static_cast<std::size_t>(bytes)) {
      broken = true;
      return 0;
    }
    const std::uint64_t value = be(span.at + pos, bytes);
    pos += bytes;
    return value;
  }
  // The sizes of iloc fields: 0, 4 or 8 bytes.
  std::uint64_t sized(unsigned bytes) {
    if (bytes != 0 && bytes != 4 && bytes != 8) broken = true;
    return get(static_cast<int>(bytes));
  }
  Span rest() const { return broken ? Span{} : Span{span.at + pos, span.size - pos}; }
};

struct Box {
  std::uint32_t type = 0;
  Span body;
};

// The boxes one after another in a span; `broken` when one runs past its end.
struct BoxWalk {
  Span span;
  std::size_t pos = 0;
  bool broken = false;
  bool next(Box& box) {
    if (broken || pos == span.size) return false;
    Reader header{{span.at + pos, span.size - pos}};
    std::uint64_t size = header.get(4);
    box.type = static_cast<std::uint32_t>(header.get(4));
    if (size == 1) size = header.get(8);
    else if (size == 0) size = span.size - pos;  // to the end
    if (header.broken || size < header.pos || size > span.size - pos) {
      broken = true;
      return false;
    }
    box.body = {span.at + pos + header.pos, static_cast<std::size_t>(size) - header.pos};
    pos += static_cast<std::size_t>(size);
    return true;
  }
};

// A full box's version, flags and the rest of its body.
struct FullBox {
  unsigned version;
  std::uint32_t flags;
  Reader body;
};

FullBox full(const Box& box) {
  Reader r{box.body};
  const auto word = static_cast<std::uint32_t>(r.get(4));
  return {word >> 24, word & 0xFFFFFF, r};
}

// ---- the codec headers that fix a picture's size ----

// MSB-first bits of a header.
struct Bits {
  Span span;
  std::size_t pos = 0;  // in bits
  bool broken = false;
  std::uint64_t get(int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) {
      if (pos >= span.size * 8) {
        broken = true;
        return 0;
      }
      value = (value << 1) | ((span.at[pos / 8] >> (7 - pos % 8)) & 1);
      ++pos;
    }
    return value;
  }
  int zeros_before_one() {
    int zeros = 0;
    while (!broken && get(1) == 0) {
      if (++zeros > 32) broken = true;
    }
    return zeros;
  }
  // Exp-Golomb (HEVC's ue(v)).
  std::uint64_t ue() {
    const int zeros = zeros_before_one();
    return (std::uint64_t{1} << zeros) - 1 + get(zeros);
  }
};

struct PictureSize {
  std::uint64_t width = 0;
  std::uint64_t height = 0;
};

// pic_width/height_in_luma_samples of an HEVC sequence parameter set (NAL
// unit type 33), read from its payload without emulation prevention bytes.
bool hevc_sps_size(Span nal, PictureSize& size) {
  std::vector<unsigned char> payload;
  int zeros = 0;
  // The sizes come within the first 120 bytes even with 7 sub-layers.
  for (std::size_t i = 2; i < nal.size && payload.size() < 160; ++i) {
    if (zeros >= 2 && nal.at[i] == 3) {
      zeros = 0;
      continue;
    }
    zeros = nal.at[i] == 0 ? zeros + 1 : 0;
    payload.push_back(nal.at[i]);
  }
  Bits b{{payload.data(), payload.size()}};
  b.get(4);  // video parameter set
  const auto sub_layers = static_cast<int>(b.get(3));
  b.get(1);
  b.get(88 + 8);  // general profile, tier and level
  bool profile[8] = {}, level[8] = {};
  for (int i = 0; i < sub_layers; ++i) {
    profile[i] = b.get(1);
    level[i] = b.get(1);
  }
  if (sub_layers > 0) b.get(2 * (8 - sub_layers));
  for (int i = 0; i < sub_layers; ++i) b.get((profile[i] ? 88 : 0) + (level[i] ? 8 : 0));
  b.ue();  // sequence parameter set id
  if (b.ue() == 3) b.get(1);  // 4:4:4: separate colour planes
  size.width = b.ue();
  size.height = b.ue();
  return !b.broken;
}

// max_frame_width/height of an AV1 sequence header OBU.
bool av1_sequence_size(Span obu, PictureSize& size) {
  Bits b{obu};
  b.get(3);  // profile
  b.get(1);  // still picture
  if (b.get(1)) {  // reduced still picture header
    b.get(5);
  } else {
    bool decoder_model = false;
    int delay_bits = 0;
    if (b.get(1)) {  // timing info
      b.get(64);
      if (b.get(1)) {  // equal picture interval: uvlc
        const int zeros = b.zeros_before_one();
        if (zeros < 32) b.get(zeros);
      }
      decoder_model = b.get(1);
      if (decoder_model) {
        delay_bits = static_cast<int>(b.get(5)) + 1;
        b.get(32 + 5 + 5);
      }
    }
    const bool initial_delay = b.get(1);
    const int points = static_cast<int>(b.get(5)) + 1;
    for (int i = 0; i < points && !b.broken; ++i) {
      b.get(12);
      if (b.get(5) > 7) b.get(1);  // level, tier
      if (decoder_model && b.get(1)) b.get(2 * delay_bits + 1);
      if (initial_delay && b.get(1)) b.get(4);
    }
  }
  const int width_bits = static_cast<int>(b.get(4)) + 1;
  const int height_bits = static_cast<int>(b.get(4)) + 1;
  size.width = b.get(width_bits) + 1;
  size.height = b.get(height_bits) + 1;
  return !b.broken;
}

// Takes the larger of two sizes, side by side.
void widen(PictureSize& into, const PictureSize& size) {
  into.width = std::max(into.width, size.width);
  into.height = std::max(into.height, size.height);
}

// HEVC: NAL units of the configuration's arrays; then the data's, each after
// a 4-byte length as libheif hands them to the decoder. The largest size of
// any sequence parameter set: which one a picture uses is the decoder's.
const char* hevc_size(Span config, Span data, PictureSize& size) {
  constexpr unsigned kSps = 33;
  const auto is_sps = [](Span nal) { return nal.size >= 2 && ((nal.at[0] >> 1) & 0x3F) == kSps; };
  PictureSize one;
  Reader r{config};
  r.get(22);
  const auto arrays = static_cast<int>(r.get(1));
  for (int a = 0; a < arrays && !r.broken; ++a) {
    r.get(1);
    const auto count = static_cast<int>(r.get(2));
    for (int i = 0; i < count && !r.broken; ++i) {
      const auto length = static_cast<std::size_t>(r.get(2));
      const Span nal = r.rest();
      if (length > nal.size) return "codec configuration runs past the end";
      if (is_sps({nal.at, length})) {
        if (!hevc_sps_size({nal.at, length}, one)) return "unreadable sequence parameters";
        widen(size, one);
      }
      r.pos += length;
    }
  }
  if (r.broken) return "codec configuration runs past the end";
  for (std::size_t pos = 0; pos < data.size;) {
    if (data.size - pos < 4) return "coded data runs past the end";
    const std::uint64_t length = be(data.at + pos, 4);
    pos += 4;
    if (length > data.size - pos) return "coded data runs past the end";
    const Span nal{data.at + pos, static_cast<std::size_t>(length)};
    if (is_sps(nal)) {
      if (!hevc_sps_size(nal, one)) return "unreadable sequence parameters";
      widen(size, one);
    }
    pos += nal.size;
  }
  return nullptr;
}

// AV1: the OBUs of the configuration (after its 4 bytes) and of the data.
const char* av1_size(Span config, Span data, PictureSize& size) {
  constexpr unsigned kSequenceHeader = 1;
  const Span config_obus = config.size >= 4 ? Span{config.at + 4, config.size - 4} : Span{};
  for (const Span obus : {config_obus, data}) {
    for (std::size_t pos = 0; pos < obus.size;) {
      const unsigned header = obus.at[pos];
      pos += (header & 4) ? 2 : 1;  // extension byte
      std::uint64_t length = obus.size - std::min(pos, obus.size);
      if (header & 2) {  // size field, LEB128
        length = 0;
        for (int i = 0;; ++i) {
          if (pos >= obus.size || i == 8) return "coded data runs past the end";
          const unsigned byte = obus.at[pos++];
          length |= std::uint64_t{byte & 0x7Fu} << (7 * i);
          if ((byte & 0x80) == 0) break;
        }
      }
      if (pos > obus.size || length > obus.size - pos) return "coded data runs past the end";
      if (((header >> 3) & 0xF) == kSequenceHeader) {
        PictureSize one;
        if (!av1_sequence_size({obus.at + pos, static_cast<std::size_t>(length)}, one))
          return "unreadable sequence header";
        widen(size, one);
      }
      pos += static_cast<std::size_t>(length);
    }
  }
  return nullptr;
}

// ---- the item structure of the meta box ----

struct Extent {
  std::uint64_t offset;
  std::uint64_t length;  // 0: to the end of the file (or idat)
};

struct Item {
  std::uint32_t type = 0;
  unsigned construction = 0;  // 0: file offsets, 1: offsets in idat
  std::uint64_t base = 0;
  std::vector<Extent> extents;
  std::vector<std::uint32_t> properties;  // 1-based indices into ipco
};

struct Reference {
  std::uint32_t type;
  std::uint32_t from;
  std::vector<std::uint32_t> to;
};

struct Meta {
  const char* refusal = nullptr;
  std::uint32_t primary = 0;
  bool has_primary = false;
  std::map<std::uint32_t, Item> items;
  std::vector<Reference> references;
  std::vector<Box> properties;
  Span idat;
};

void read_item_infos(const Box& box, Meta& meta) {
  FullBox iinf = full(box);
  iinf.body.get(iinf.version == 0 ? 2 : 4);
  BoxWalk walk{iinf.body.rest()};
  for (Box infe; walk.next(infe);) {
    if (infe.type != fourcc("infe")) continue;
    FullBox f = full(infe);
    if (f.version < 2) continue;  // no item type
    const auto id = static_cast<std::uint32_t>(f.body.get(f.version == 2 ? 2 : 4));
    f.body.get(2);  // protection
    const auto type = static_cast<std::uint32_t>(f.body.get(4));
    if (f.body.broken) meta.refusal = "item info runs past the end";
    meta.items[id].type = type;
  }
  if (walk.broken || iinf.body.broken) meta.refusal = "item info runs past the end";
}

void read_locations(const Box& box, Meta& meta) {
  FullBox iloc = full(box);
  Reader& r = iloc.body;
  const auto sizes = static_cast<unsigned>(r.get(2));
  const unsigned offset_size = sizes >> 12, length_size = (sizes >> 8) & 0xF;
  const unsigned base_size = (sizes >> 4) & 0xF;
  const unsigned index_size = iloc.version >= 1 ? sizes & 0xF : 0;
  const std::uint64_t count = r.get(iloc.version < 2 ? 2 : 4);
  for (std::uint64_t i = 0; i < count && !r.broken; ++i) {
    const auto id = static_cast<std::uint32_t>(r.get(iloc.version < 2 ? 2 : 4));
    Item& item = meta.items[id];
    if (iloc.version >= 1) item.construction = static_cast<unsigned>(r.get(2) & 0xF);
    r.get(2);  // data reference
    item.base = r.sized(base_size);
    const std::uint64_t extents = r.get(2);
    item.extents.clear();
    for (std::uint64_t e = 0; e < extents && !r.broken; ++e) {
      r.sized(index_size);
      const std::uint64_t offset = r.sized(offset_size);
      item.extents.push_back({offset, r.sized(length_size)});
    }
  }
  if (r.broken) meta.refusal = "item locations run past the end";
}

void read_references(const Box& box, Meta& meta) {
  FullBox iref = full(box);
  const int id_bytes = iref.version == 0 ? 2 : 4;
  BoxWalk walk{iref.body.rest()};
  for (Box ref; walk.next(ref);) {
    Reader r{ref.body};
    Reference reference{ref.type, static_cast<std::uint32_t>(r.get(id_bytes)), {}};
    const std::uint64_t count = r.get(2);
    for (std::uint64_t i = 0; i < count && !r.broken; ++i)
      reference.to.push_back(static_cast<std::uint32_t>(r.get(id_bytes)));
    if (r.broken) meta.refusal = "item references run past the end";
    meta.references.push_back(std::move(reference));
  }
  if (walk.broken) meta.refusal = "item references run past the end";
}

void read_properties(const Box& box, Meta& meta) {
  BoxWalk walk{box.body};
  for (Box child; walk.next(child);) {
    if (child.type == fourcc("ipco")) {
      BoxWalk properties{child.body};
      for (Box property; properties.next(property);) meta.properties.push_back(property);
      if (properties.broken) meta.refusal = "item properties run past the end";
    } else if (child.type == fourcc("ipma")) {
      FullBox ipma = full(child);
      Reader& r = ipma.body;
      const std::uint64_t entries = r.get(4);
      for (std::uint64_t i = 0; i < entries && !r.broken; ++i) {
        Item& item = meta.items[static_cast<std::uint32_t>(r.get(ipma.version < 1 ? 2 : 4))];
        const std::uint64_t count = r.get(1);
        for (std::uint64_t a = 0; a < count && !r.broken; ++a)
          item.properties.push_back(ipma.flags & 1 ? static_cast<std::uint32_t>(r.get(2) & 0x7FFF)
                                                   : static_cast<std::uint32_t>(r.get(1) & 0x7F));
      }
      if (r.broken) meta.refusal = "item properties run past the end";
    }
  }
  if (walk.broken) meta.refusal = "item properties run past the end";
}

Meta read_meta(Span file) {
  Meta meta;
  BoxWalk top{file};
  Box box;
  bool found = false;
  while (!found && top.next(box)) found = box.type == fourcc("meta");
  if (!found) {
    meta.refusal = top.broken ? "box runs past the end" : "no meta box";
    return meta;
  }
  FullBox meta_box = full(box);
  BoxWalk walk{meta_box.body.rest()};
  for (Box child; walk.next(child);) {
    if (child.type == fourcc("pitm")) {
      FullBox pitm = full(child);
      meta.primary = static_cast<std::uint32_t>(pitm.body.get(pitm.version == 0 ? 2 : 4));
      meta.has_primary = !pitm.body.broken;
    } else if (child.type == fourcc("iinf")) {
      read_item_infos(child, meta);
    } else if (child.type == fourcc("iloc")) {
      read_locations(child, meta);
    } else if (child.type == fourcc("iref")) {
      read_references(child, meta);
    } else if (child.type == fourcc("iprp")) {
      read_properties(child, meta);
    } else if (child.type == fourcc("idat")) {
      meta.idat = child.body;
    }
  }
  if (walk.broken || meta_box.body.broken) meta.refusal = "meta box runs past the end";
  if (!meta.refusal && !meta.has_primary) meta.refusal = "no primary image";
  return meta;
}

// ---- what decoding the primary image takes ----

class Budget {
 public:
  Budget(Span file, const Meta& meta) : file_(file), meta_(meta) {
    for (const Reference& r : meta.references)
      if (r.type == fourcc("dimg")) {
        auto& sources = sources_[r.from];
        sources.insert(sources.end(), r.to.begin(), r.to.end());
      }
  }

  // Adds the pictures that decoding the item takes.
  void add(std::uint32_t id, int depth) {
    if (layout.refusal) return;
    if (++visits_ > 4 * kMaxHeifPictures) return refuse("too many images");
    const auto found = meta_.items.find(id);
    if (found == meta_.items.end()) return;  // libheif refuses it
    const std::uint32_t type = found->second.type;
    if (type == fourcc("grid") || type == fourcc("iovl") || type == fourcc("iden")) {
      // Derived images are made from the images they reference; a chain
      // deeper than this is no image anyone makes.
      if (depth == 4) return refuse("derived images nested too deep");
      const auto sources = sources_.find(id);
      if (sources == sources_.end()) return;
      for (const std::uint32_t source : sources->second) add(source, depth + 1);
      return;
    }
    if (type != fourcc("hvc1") && type != fourcc("av01")) return;  // not decoded by libheif 1.15
    auto known = sizes_.find(id);
    if (known == sizes_.end()) {
      PictureSize size;
      if (const char* refusal = coded_size(found->second, size)) return refuse(refusal);
      known = sizes_.emplace(id, size).first;
    }
    // A tile listed twice is decoded twice.
    const PictureSize& size = known->second;
    if (++layout.pictures > kMaxHeifPictures) return refuse("too many coded pictures");
    layout.widest = std::max(layout.widest, size.width);
    layout.tallest = std::max(layout.tallest, size.height);
    layout.coded_pixels += size.width * size.height;
  }

  HeifPictures layout;

 private:
  void refuse(const char* reason) { layout.refusal = reason; }

  const char* coded_size(const Item& item, PictureSize& size) {
    const bool hevc = item.type == fourcc("hvc1");
    std::vector<unsigned char> data;
    if (const char* refusal = item_data(item, data)) return refusal;
    Span config;
    for (const std::uint32_t index : item.properties) {
      if (index == 0 || index > meta_.properties.size()) continue;
      const Box& property = meta_.properties[index - 1];
      if (property.type == fourcc(hevc ? "hvcC" : "av1C")) config = property.body;
    }
    const Span coded{data.data(), data.size()};
    if (const char* refusal = hevc ? hevc_size(config, coded, size) : av1_size(config, coded, size))
      return refusal;
    if (size.width == 0 || size.height == 0) return "coded picture size not found";
    return nullptr;
  }

  // The item's extents, one after another, as libheif reads them. The
  // pictures' data together is no larger than the file: data shared by
  // many items would be read here once for each.
  const char* item_data(const Item& item, std::vector<unsigned char>& data) {
    const Span source = item.construction == 0 ? file_ : item.construction == 1 ? meta_.idat : Span{};
    if (source.at == nullptr) return "coded data not in the file";
    for (const Extent& e : item.extents) {
      const std::uint64_t start = item.base + e.offset;
      if (start < item.base || start > source.size) return "coded data runs past the end";
      const std::uint64_t length = e.length == 0 ? source.size - start : e.length;
      if (length > source.size - start) return "coded data runs past the end";
      read_ += length;
      if (read_ > file_.size) return "coded data overlaps";
      data.insert(data.end(), source.at + start, source.at + start + length);
    }
    return nullptr;
  }

  Span file_;
  const Meta& meta_;
  std::map<std::uint32_t, std::vector<std::uint32_t>> sources_;  // dimg references
  std::map<std::uint32_t, PictureSize> sizes_;
  std::uint64_t visits_ = 0;
  std::uint64_t read_ = 0;
};

constexpr std::size_t kMaxBrands = 32;

}  // namespace

bool is_heif(const unsigned char* d, std::size_t n) {
  if (d == nullptr || n < 12 || std::memcmp(d + 4, "ftyp", 4) != 0) return false;
  static const char* const kBrands[] = {"heic", "heix", "mif1", "msf1", "avif", "avis"};
  const auto named = [&](std::size_t at) {
    for (const char* brand : kBrands)
      if (std::memcmp(d + at, brand, 4) == 0) return true;
    return false;
  };
  if (named(8)) return true;
  // Compatible brands follow the minor version, up to the end of the box.
  const std::size_t box = static_cast<std::size_t>(std::min<std::uint64_t>(be(d, 4), n));
  for (std::size_t at = 16, i = 0; at + 4 <= box && i < kMaxBrands; at += 4, ++i)
    if (named(at)) return true;
  return false;
}

namespace {

// The turns and mirrorings (irot, imir) of an item, in the order they apply.
std::vector<std::pair<std::uint32_t, std::vector<unsigned char>>> turns(const Meta& meta,
                                                                       std::uint32_t id) {
  std::vector<std::pair<std::uint32_t, std::vector<unsigned char>>> found;
  const auto item = meta.items.find(id);
  if (item == meta.items.end()) return found;
  for (const std::uint32_t index : item->second.properties) {
    if (index == 0 || index > meta.properties.size()) continue;
    const Box& property = meta.properties[index - 1];
    if (property.type == fourcc("irot") || property.type == fourcc("imir"))
      found.push_back({property.type, {property.body.at, property.body.at + property.body.size}});
  }
  return found;
}

// What decoding an item takes, with its auxiliary images (alpha).
HeifPictures pictures_of(Span file, const Meta& meta, std::uint32_t id) {
  Budget budget(file, meta);
  budget.add(id, 0);
  for (const Reference& r : meta.references)
    if (r.type == fourcc("auxl") && std::find(r.to.begin(), r.to.end(), id) != r.to.end())
      budget.add(r.from, 0);
  if (!budget.layout.refusal && budget.layout.pictures == 0) budget.layout.refusal = "no coded picture";
  return budget.layout;
}

}  // namespace

HeifLayout read_heif_layout(const unsigned char* data, std::size_t size) {
  const Span file{data, size};
  const Meta meta = read_meta(file);
  HeifLayout layout;
  if (meta.refusal) {
    layout.refusal = meta.refusal;
    return layout;
  }
  static_cast<HeifPictures&>(layout) = pictures_of(file, meta, meta.primary);
  if (layout.refusal) return layout;
  // Thumbnail items refer to the image they show with a 'thmb' reference.
  const auto primary_turns = turns(meta, meta.primary);
  for (const Reference& r : meta.references) {
    if (r.type != fourcc("thmb") || std::find(r.to.begin(), r.to.end(), meta.primary) == r.to.end())
      continue;
    if (layout.preview_count == kMaxHeifPreviews) break;
    HeifPreview& preview = layout.previews[layout.preview_count++];
    preview.item = r.from;
    preview.pictures = pictures_of(file, meta, r.from);
    preview.turned_alike = turns(meta, r.from) == primary_turns;
  }
  return layout;
}

}  // namespace quarn::thumb
