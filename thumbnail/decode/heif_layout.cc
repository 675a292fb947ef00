#include "decode/heif_layout.h"

#include "common/image_limits.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <set>
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
  std::size_t left() const { return broken ? 0 : span.size - pos; }
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

// libheif 1.15's own limits on a file's structure, found by handing it
// files just past them: it refuses a box of more than 20000 children, an
// iloc box of more than 20000 items and an item of more than 32 extents.
// The same count caps what it reads without a limit but holds 10 to 25
// bytes of memory for each byte of: top-level boxes, property associations
// (ipma), item references (iref) and the parameter sets of HEVC
// configurations. A file beyond them is refused before anything is held
// for it here, and never reaches libheif.
constexpr std::uint64_t kMaxEntries = 20000;
constexpr std::uint64_t kMaxExtents = 32;

// Items kept: those that decoding the primary image or one of its previews
// may read. Twice a grid of kMaxHeifPictures tiles with an alpha grid of as
// many, more than any camera writes.
constexpr std::size_t kMaxReachable = 4 * kMaxHeifPictures;

constexpr std::uint32_t kGrid = fourcc("grid"), kOverlay = fourcc("iovl"), kIdentity = fourcc("iden");
constexpr std::uint32_t kDerivedFrom = fourcc("dimg"), kThumbnailOf = fourcc("thmb"),
                        kAuxiliaryOf = fourcc("auxl");

bool derived(std::uint32_t type) { return type == kGrid || type == kOverlay || type == kIdentity; }

// An item's type, from its item info entry (infe).
struct ItemType {
  std::uint32_t id;
  std::uint32_t type;
};

// One reference box of iref: from one item to others, their ids as stored.
struct Reference {
  std::uint32_t type;
  std::uint32_t from;
  Span ids;
  int id_bytes;
  std::size_t count() const { return ids.size / static_cast<std::size_t>(id_bytes); }
  std::uint32_t to(std::size_t i) const {
    return static_cast<std::uint32_t>(be(ids.at + i * static_cast<std::size_t>(id_bytes), id_bytes));
  }
  bool refers_to(std::uint32_t id) const {
    for (std::size_t i = 0; i < count(); ++i)
      if (to(i) == id) return true;
    return false;
  }
};

// Where an item's data lies (its iloc entry); its extents are read when
// they are needed.
struct Location {
  unsigned construction = 0;  // 0: file offsets, 1: offsets in idat
  std::uint64_t base = 0;
  Span extents;  // `count` extents of index, offset and length fields
  std::uint64_t count = 0;
  unsigned index_size = 0, offset_size = 0, length_size = 0;
};

// An item's properties: the 1-based indices into ipco of its first ipma
// entry (the one libheif looks up), 1 or 2 bytes each.
struct Associations {
  Span indices;
  bool wide = false;
  std::size_t count() const { return indices.size / (wide ? 2 : 1); }
  std::uint32_t index(std::size_t i) const {
    return wide ? static_cast<std::uint32_t>(be(indices.at + 2 * i, 2) & 0x7FFF) : indices.at[i] & 0x7Fu;
  }
};

struct Meta {
  const char* refusal = nullptr;
  std::uint32_t primary = 0;
  std::vector<ItemType> types;           // every item's, by id
  std::vector<Reference> references;     // dimg, thmb and auxl, by type and item
  std::vector<Box> properties;           // ipco's children in order
  std::vector<std::uint32_t> reachable;  // the items kept, by id
  std::vector<Location> locations;       // theirs, in the same order
  std::vector<Associations> associations;
  Span idat;

  std::uint32_t type_of(std::uint32_t id) const {
    const auto found = std::lower_bound(types.begin(), types.end(), id,
                                        [](const ItemType& t, std::uint32_t v) { return t.id < v; });
    return found != types.end() && found->id == id ? found->type : 0;
  }
  // The position of a kept item, or reachable.size().
  std::size_t kept(std::uint32_t id) const {
    const auto found = std::lower_bound(reachable.begin(), reachable.end(), id);
    return found != reachable.end() && *found == id ? static_cast<std::size_t>(found - reachable.begin())
                                                    : reachable.size();
  }
  // The reference boxes of a type from an item, in the file's order.
  std::pair<const Reference*, const Reference*> references_from(std::uint32_t type, std::uint32_t id) const {
    const auto range = std::equal_range(references.begin(), references.end(), Reference{type, id, {}, 2},
                                        [](const Reference& a, const Reference& b) {
                                          return a.type != b.type ? a.type < b.type : a.from < b.from;
                                        });
    return {references.data() + (range.first - references.begin()),
            references.data() + (range.second - references.begin())};
  }
  // The item's properties in the order they apply; f(const Box&).
  template <typename F>
  void for_each_property(std::uint32_t id, F f) const {
    const std::size_t at = kept(id);
    if (at == reachable.size()) return;
    const Associations& a = associations[at];
    for (std::size_t i = 0; i < a.count(); ++i) {
      const std::uint32_t index = a.index(i);
      if (index != 0 && index <= properties.size()) f(properties[index - 1]);
    }
  }
};

// The boxes of the meta box that describe its items, as libheif takes
// them: the first of each kind.
struct MetaBoxes {
  Box pitm, iinf, iloc, iref, iprp, idat;
};

// Counts the boxes in a span, up to kMaxEntries + 1; false when one runs
// past its end.
bool count_boxes(Span span, std::uint64_t& count) {
  BoxWalk walk{span};
  count = 0;
  for (Box box; count <= kMaxEntries && walk.next(box);) ++count;
  return !walk.broken;
}

void read_item_types(const Box& box, Meta& meta) {
  FullBox iinf = full(box);
  const std::uint64_t count = iinf.body.get(iinf.version == 0 ? 2 : 4);
  const Span entries = iinf.body.rest();
  // Each entry is a box of at least 12 bytes.
  if (iinf.body.broken || count > entries.size / 12) {
    meta.refusal = "item info runs past the end";
    return;
  }
  std::uint64_t boxes = 0;
  if (count > kMaxEntries || !count_boxes(entries, boxes) || boxes > kMaxEntries) {
    meta.refusal = boxes > kMaxEntries || count > kMaxEntries ? "too many items" : "item info runs past the end";
    return;
  }
  meta.types.reserve(static_cast<std::size_t>(boxes));
  BoxWalk walk{entries};
  for (Box infe; walk.next(infe);) {
    if (infe.type != fourcc("infe")) continue;
    FullBox f = full(infe);
    if (f.version < 2) continue;  // no item type
    const auto id = static_cast<std::uint32_t>(f.body.get(f.version == 2 ? 2 : 4));
    f.body.get(2);  // protection
    const auto type = static_cast<std::uint32_t>(f.body.get(4));
    if (f.body.broken) {
      meta.refusal = "item info runs past the end";
      return;
    }
    meta.types.push_back({id, type});
  }
  // By id; of an id given twice, the last entry counts.
  std::stable_sort(meta.types.begin(), meta.types.end(),
                   [](const ItemType& a, const ItemType& b) { return a.id < b.id; });
  const auto end = std::unique(meta.types.rbegin(), meta.types.rend(),
                               [](const ItemType& a, const ItemType& b) { return a.id == b.id; });
  meta.types.erase(meta.types.begin(), end.base());
}

void read_references(const Box& box, Meta& meta) {
  FullBox iref = full(box);
  const int id_bytes = iref.version == 0 ? 2 : 4;
  const Span body = iref.body.rest();
  std::uint64_t boxes = 0;
  if (!count_boxes(body, boxes) || boxes > kMaxEntries) {
    meta.refusal = boxes > kMaxEntries ? "too many item references" : "item references run past the end";
    return;
  }
  // Checked and counted first, so that only what is kept is allocated.
  std::size_t kept = 0;
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1) meta.references.reserve(kept);
    BoxWalk walk{body};
    for (Box ref; walk.next(ref);) {
      Reader r{ref.body};
      const auto from = static_cast<std::uint32_t>(r.get(id_bytes));
      const std::uint64_t count = r.get(2);
      if (r.broken || count > r.left() / static_cast<std::size_t>(id_bytes)) {
        meta.refusal = "item references run past the end";
        return;
      }
      if (ref.type != kDerivedFrom && ref.type != kThumbnailOf && ref.type != kAuxiliaryOf) continue;
      if (pass == 0) {
        ++kept;
      } else {
        meta.references.push_back(
            {ref.type, from, {r.rest().at, static_cast<std::size_t>(count) * id_bytes}, id_bytes});
      }
    }
  }
  // By type and item, each item's boxes in the file's order (a grid's tiles).
  std::stable_sort(meta.references.begin(), meta.references.end(), [](const Reference& a, const Reference& b) {
    return a.type != b.type ? a.type < b.type : a.from < b.from;
  });
}

// The NAL units of an HEVC configuration's arrays, which libheif copies
// one by one.
std::uint64_t parameter_sets(Span config) {
  Reader r{config};
  r.get(22);
  const std::uint64_t arrays = r.get(1);
  std::uint64_t units = 0;
  for (std::uint64_t a = 0; a < arrays && !r.broken; ++a) {
    r.get(1);
    const std::uint64_t count = r.get(2);
    for (std::uint64_t i = 0; i < count && !r.broken; ++i, ++units) {
      const std::uint64_t length = r.get(2);
      if (length > r.left()) r.broken = true;
      r.pos += static_cast<std::size_t>(length);
      if (units > kMaxEntries) return units;
    }
  }
  return units;
}

void read_property_boxes(const Box& iprp, Meta& meta) {
  BoxWalk walk{iprp.body};
  for (Box child; walk.next(child);) {
    if (child.type != fourcc("ipco")) continue;
    std::uint64_t boxes = 0;
    if (!count_boxes(child.body, boxes) || boxes > kMaxEntries) {
      meta.refusal = boxes > kMaxEntries ? "too many item properties" : "item properties run past the end";
      return;
    }
    meta.properties.reserve(static_cast<std::size_t>(boxes));
    std::uint64_t units = 0;
    BoxWalk properties{child.body};
    for (Box property; properties.next(property);) {
      meta.properties.push_back(property);
      if (property.type == fourcc("hvcC")) units += parameter_sets(property.body);
    }
    if (units > kMaxEntries) meta.refusal = "too many parameter sets";
    return;  // the first ipco counts
  }
  if (walk.broken) meta.refusal = "item properties run past the end";
}

// The items that decoding the primary image or a preview of it may read:
// itself, the previews libheif offers (thmb), their auxiliary images
// (auxl: alpha, depth), and what the derived ones among these are made of
// (dimg), at any depth.
void find_reachable(Meta& meta) {
  std::vector<std::uint32_t> shown{meta.primary};
  for (const Reference& r : meta.references)
    if (r.type == kThumbnailOf && shown.size() <= kMaxHeifPreviews && r.refers_to(meta.primary))
      shown.push_back(r.from);
  std::vector<std::uint32_t> queue = shown;
  for (const Reference& r : meta.references) {
    if (r.type != kAuxiliaryOf) continue;
    for (const std::uint32_t image : shown)
      if (r.refers_to(image)) {
        queue.push_back(r.from);
        break;
      }
  }
  std::set<std::uint32_t> seen(queue.begin(), queue.end());
  for (std::size_t i = 0; i < queue.size() && !meta.refusal; ++i) {
    if (!derived(meta.type_of(queue[i]))) continue;
    const auto [first, last] = meta.references_from(kDerivedFrom, queue[i]);
    for (const Reference* r = first; r != last && !meta.refusal; ++r)
      for (std::size_t k = 0; k < r->count(); ++k) {
        if (!seen.insert(r->to(k)).second) continue;
        queue.push_back(r->to(k));
        if (queue.size() > kMaxReachable) {
          meta.refusal = "too many images";
          break;
        }
      }
  }
  meta.reachable.assign(seen.begin(), seen.end());
  meta.locations.resize(meta.reachable.size());
  meta.associations.resize(meta.reachable.size());
}

void read_locations(const Box& box, Meta& meta) {
  FullBox iloc = full(box);
  Reader& r = iloc.body;
  const auto sizes = static_cast<unsigned>(r.get(2));
  const unsigned offset_size = sizes >> 12, length_size = (sizes >> 8) & 0xF;
  const unsigned base_size = (sizes >> 4) & 0xF;
  const unsigned index_size = iloc.version >= 1 ? sizes & 0xF : 0;
  const std::uint64_t count = r.get(iloc.version < 2 ? 2 : 4);
  if (count > kMaxEntries) {
    meta.refusal = "too many items";
    return;
  }
  const auto valid = [](unsigned bytes) { return bytes == 0 || bytes == 4 || bytes == 8; };
  for (std::uint64_t i = 0; i < count && !r.broken; ++i) {
    const auto id = static_cast<std::uint32_t>(r.get(iloc.version < 2 ? 2 : 4));
    Location location;
    if (iloc.version >= 1) location.construction = static_cast<unsigned>(r.get(2) & 0xF);
    r.get(2);  // data reference
    location.base = r.sized(base_size);
    location.count = r.get(2);
    if (location.count > kMaxExtents) {
      meta.refusal = "too many extents";
      return;
    }
    // An extent takes at least a byte of the box, even one whose fields
    // take none: a count is never trusted beyond the bytes that are there.
    const unsigned extent_bytes = index_size + offset_size + length_size;
    if (location.count > r.left() / std::max(1u, extent_bytes) ||
        (location.count > 0 && !(valid(index_size) && valid(offset_size) && valid(length_size)))) {
      r.broken = true;
      break;
    }
    location.index_size = index_size;
    location.offset_size = offset_size;
    location.length_size = length_size;
    location.extents = {r.rest().at, static_cast<std::size_t>(location.count) * extent_bytes};
    r.pos += location.extents.size;
    // Of an item located twice, the last entry counts.
    const std::size_t at = meta.kept(id);
    if (at != meta.reachable.size()) meta.locations[at] = location;
  }
  if (r.broken) meta.refusal = "item locations run past the end";
}

void read_associations(const Box& iprp, Meta& meta) {
  std::uint64_t total = 0;
  BoxWalk walk{iprp.body};
  for (Box child; walk.next(child);) {
    if (child.type != fourcc("ipma")) continue;
    FullBox ipma = full(child);
    Reader& r = ipma.body;
    const int id_bytes = ipma.version < 1 ? 2 : 4;
    const bool wide = (ipma.flags & 1) != 0;
    const std::uint64_t entries = r.get(4);
    // An item has one entry: more than there may be items are refused
    // before any is read.
    total += entries;
    if (total > kMaxEntries) {
      meta.refusal = "too many property associations";
      return;
    }
    if (r.broken || entries > r.left() / static_cast<std::size_t>(id_bytes + 1)) {
      meta.refusal = "item properties run past the end";
      return;
    }
    for (std::uint64_t i = 0; i < entries && !r.broken; ++i) {
      const auto id = static_cast<std::uint32_t>(r.get(id_bytes));
      const std::size_t bytes = static_cast<std::size_t>(r.get(1)) * (wide ? 2 : 1);
      if (r.broken || bytes > r.left()) {
        r.broken = true;
        break;
      }
      const std::size_t at = meta.kept(id);
      if (at != meta.reachable.size() && meta.associations[at].indices.at == nullptr)
        meta.associations[at] = {{r.rest().at, bytes}, wide};
      r.pos += bytes;
    }
    if (r.broken) meta.refusal = "item properties run past the end";
  }
  if (walk.broken) meta.refusal = "item properties run past the end";
}

Meta read_meta(Span file) {
  Meta meta;
  // libheif holds every top-level box.
  std::uint64_t top_level = 0;
  BoxWalk top{file};
  Box meta_box;
  bool found = false;
  for (Box box; top.next(box) && top_level <= kMaxEntries; ++top_level) {
    if (!found && box.type == fourcc("meta")) {
      meta_box = box;
      found = true;
    }
  }
  if (!found) {
    meta.refusal = top.broken ? "box runs past the end" : "no meta box";
    return meta;
  }
  if (top_level > kMaxEntries) {
    meta.refusal = "too many boxes";
    return meta;
  }
  FullBox body = full(meta_box);
  const Span children = body.body.rest();
  std::uint64_t count = 0;
  if (!count_boxes(children, count) || count > kMaxEntries) {
    meta.refusal = count > kMaxEntries ? "too many boxes" : "meta box runs past the end";
    return meta;
  }
  MetaBoxes boxes;
  BoxWalk walk{children};
  for (Box child; walk.next(child);) {
    Box* into = child.type == fourcc("pitm")   ? &boxes.pitm
                : child.type == fourcc("iinf") ? &boxes.iinf
                : child.type == fourcc("iloc") ? &boxes.iloc
                : child.type == fourcc("iref") ? &boxes.iref
                : child.type == fourcc("iprp") ? &boxes.iprp
                : child.type == fourcc("idat") ? &boxes.idat
                                               : nullptr;
    if (into != nullptr && into->type == 0) *into = child;
  }
  if (boxes.pitm.type == 0 || body.body.broken) {
    meta.refusal = body.body.broken ? "meta box runs past the end" : "no primary image";
    return meta;
  }
  FullBox pitm = full(boxes.pitm);
  meta.primary = static_cast<std::uint32_t>(pitm.body.get(pitm.version == 0 ? 2 : 4));
  if (pitm.body.broken) {
    meta.refusal = "no primary image";
    return meta;
  }
  meta.idat = boxes.idat.body;
  // The items' types and references fix which of them are kept; their
  // locations and properties are then kept for those alone.
  if (boxes.iinf.type != 0) read_item_types(boxes.iinf, meta);
  if (!meta.refusal && boxes.iref.type != 0) read_references(boxes.iref, meta);
  if (!meta.refusal && boxes.iprp.type != 0) read_property_boxes(boxes.iprp, meta);
  if (!meta.refusal) find_reachable(meta);
  if (!meta.refusal && boxes.iloc.type != 0) read_locations(boxes.iloc, meta);
  if (!meta.refusal && boxes.iprp.type != 0) read_associations(boxes.iprp, meta);
  return meta;
}

// ---- what decoding the primary image takes ----

class Budget {
 public:
  Budget(Span file, const Meta& meta) : file_(file), meta_(meta) {}

  // Adds the pictures that decoding the item takes.
  void add(std::uint32_t id, int depth) {
    if (layout.refusal) return;
    if (++visits_ > 4 * kMaxHeifPictures) return refuse("too many images");
    const std::uint32_t type = meta_.type_of(id);
    if (type == 0) return;  // no item info: libheif refuses it
    if (derived(type)) {
      // Derived images are made from the images they reference; a chain
      // deeper than this is no image anyone makes.
      if (depth == 4) return refuse("derived images nested too deep");
      // A grid or an overlay is drawn on a canvas of the size its data
      // gives, whatever its tiles' sizes and however little of it is shown
      // (a crop): libheif allocates it whole.
      if (type != kIdentity) {
        PictureSize canvas;
        if (const char* refusal = canvas_size(id, type, canvas)) return refuse(refusal);
        if (canvas.width * canvas.height > kMaxImagePixels) return refuse("canvas too large");
        layout.widest = std::max(layout.widest, canvas.width);
        layout.tallest = std::max(layout.tallest, canvas.height);
        layout.canvas_pixels += canvas.width * canvas.height;
      }
      const auto [first, last] = meta_.references_from(kDerivedFrom, id);
      for (const Reference* r = first; r != last; ++r)
        for (std::size_t k = 0; k < r->count(); ++k) add(r->to(k), depth + 1);
      return;
    }
    if (type != fourcc("hvc1") && type != fourcc("av01")) return;  // not decoded by libheif 1.15
    const std::size_t at = meta_.kept(id);
    if (at == meta_.reachable.size()) return refuse("too many images");  // not found when kept
    auto known = sizes_.find(id);
    if (known == sizes_.end()) {
      PictureSize size;
      if (const char* refusal = coded_size(id, type, meta_.locations[at], size)) return refuse(refusal);
      known = sizes_.emplace(id, size).first;
    }
    // A tile listed twice is decoded twice.
    const PictureSize& size = known->second;
    if (++layout.pictures > kMaxHeifPictures) return refuse("too many coded pictures");
    layout.widest = std::max(layout.widest, size.width);
    layout.tallest = std::max(layout.tallest, size.height);
    layout.largest = std::max(layout.largest, size.width * size.height);
    layout.coded_pixels += size.width * size.height;
  }

  HeifPictures layout;

 private:
  void refuse(const char* reason) { layout.refusal = reason; }

  // The output size in a grid's or an overlay's data: after the version and
  // flags (a grid's rows and columns, an overlay's fill colour), 16-bit, or
  // 32-bit when the flags' lowest bit says so.
  const char* canvas_size(std::uint32_t id, std::uint32_t type, PictureSize& size) {
    const std::size_t at = meta_.kept(id);
    if (at == meta_.reachable.size()) return "too many images";
    Span data;
    std::vector<unsigned char> joined;
    if (const char* refusal = item_data(meta_.locations[at], data, joined)) return refusal;
    Reader r{data};
    r.get(1);  // version
    const int bytes = (r.get(1) & 1) ? 4 : 2;
    r.get(type == kGrid ? 2 : 8);
    size.width = r.get(bytes);
    size.height = r.get(bytes);
    if (r.broken) return "derived image data runs past the end";
    return nullptr;
  }

  const char* coded_size(std::uint32_t id, std::uint32_t type, const Location& location, PictureSize& size) {
    const bool hevc = type == fourcc("hvc1");
    Span coded;
    std::vector<unsigned char> joined;
    if (const char* refusal = item_data(location, coded, joined)) return refusal;
    Span config;
    meta_.for_each_property(id, [&](const Box& property) {
      if (property.type == fourcc(hevc ? "hvcC" : "av1C")) config = property.body;
    });
    if (const char* refusal = hevc ? hevc_size(config, coded, size) : av1_size(config, coded, size))
      return refusal;
    if (size.width == 0 || size.height == 0) return "coded picture size not found";
    return nullptr;
  }

  // The item's extents, one after another, as libheif reads them: in place
  // when there is one, else joined in `joined`. The pictures' data together
  // is no larger than the file: data shared by many items would be read
  // here once for each.
  const char* item_data(const Location& location, Span& coded, std::vector<unsigned char>& joined) {
    const Span source = location.construction == 0   ? file_
                        : location.construction == 1 ? meta_.idat
                                                     : Span{};
    if (source.at == nullptr) return "coded data not in the file";
    Reader r{location.extents};
    std::vector<Span> parts;
    for (std::uint64_t e = 0; e < location.count; ++e) {
      r.sized(location.index_size);
      const std::uint64_t offset = r.sized(location.offset_size);
      const std::uint64_t length = r.sized(location.length_size);
      const std::uint64_t start = location.base + offset;
      if (start < location.base || start > source.size) return "coded data runs past the end";
      const std::uint64_t bytes = length == 0 ? source.size - start : length;
      if (bytes > source.size - start) return "coded data runs past the end";
      read_ += bytes;
      if (read_ > file_.size) return "coded data overlaps";
      parts.push_back({source.at + start, static_cast<std::size_t>(bytes)});
    }
    if (parts.size() == 1) {
      coded = parts[0];
      return nullptr;
    }
    for (const Span& part : parts) joined.insert(joined.end(), part.at, part.at + part.size);
    coded = {joined.data(), joined.size()};
    return nullptr;
  }

  Span file_;
  const Meta& meta_;
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

// How libheif shows an item: turned and mirrored (irot, imir) in the order
// these apply, and cropped (clap), the crop as shares of the item's size
// (ispe) so that a preview's compares with its picture's.
struct Shown {
  std::vector<std::pair<std::uint32_t, Span>> turns;
  bool cropped = false;
  bool crop_known = true;  // false: a clap without a size, or with a zero denominator
  double crop[4] = {0, 0, 1, 1};  // left, top, width, height
};

Shown shown(const Meta& meta, std::uint32_t id) {
  Shown s;
  std::uint64_t width = 0, height = 0;
  Span clap;
  meta.for_each_property(id, [&](const Box& property) {
    if (property.type == fourcc("irot") || property.type == fourcc("imir")) {
      s.turns.push_back({property.type, property.body});
    } else if (property.type == fourcc("ispe")) {
      FullBox ispe = full(property);
      width = ispe.body.get(4);
      height = ispe.body.get(4);
    } else if (property.type == fourcc("clap")) {
      clap = property.body;
    }
  });
  if (clap.at == nullptr) return s;
  s.cropped = true;
  Reader r{clap};
  double f[8];
  for (double& v : f) v = static_cast<double>(r.get(4));
  for (const int offset : {4, 6})  // the offsets are signed
    f[offset] = static_cast<double>(static_cast<std::int32_t>(static_cast<std::uint32_t>(f[offset])));
  if (r.broken || width == 0 || height == 0 || f[1] == 0 || f[3] == 0 || f[5] == 0 || f[7] == 0) {
    s.crop_known = false;
    return s;
  }
  const double w = f[0] / f[1], h = f[2] / f[3];
  const double left = (width - 1) / 2.0 + f[4] / f[5] - (w - 1) / 2.0;
  const double top = (height - 1) / 2.0 + f[6] / f[7] - (h - 1) / 2.0;
  const double crop[4] = {left / width, top / height, w / width, h / height};
  std::copy(crop, crop + 4, s.crop);
  return s;
}

// Whether a preview shows what its picture shows: turned alike, cropped
// alike (within 1% of the sides).
bool shown_alike(const Shown& a, const Shown& b) {
  const auto same_bytes = [](const std::pair<std::uint32_t, Span>& x, const std::pair<std::uint32_t, Span>& y) {
    return x.first == y.first && x.second.size == y.second.size &&
           std::memcmp(x.second.at, y.second.at, x.second.size) == 0;
  };
  if (!std::equal(a.turns.begin(), a.turns.end(), b.turns.begin(), b.turns.end(), same_bytes)) return false;
  if (!a.crop_known || !b.crop_known) return false;
  for (int i = 0; i < 4; ++i)
    if (std::abs(a.crop[i] - b.crop[i]) > 0.01) return false;
  return true;
}

// What decoding an item takes, with its auxiliary images (alpha).
HeifPictures pictures_of(Span file, const Meta& meta, std::uint32_t id) {
  Budget budget(file, meta);
  budget.add(id, 0);
  for (const Reference& r : meta.references)
    if (r.type == kAuxiliaryOf && r.refers_to(id)) budget.add(r.from, 0);
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
  const Shown picture = shown(meta, meta.primary);
  for (const Reference& r : meta.references) {
    if (r.type != kThumbnailOf || !r.refers_to(meta.primary)) continue;
    if (layout.preview_count == kMaxHeifPreviews) break;
    HeifPreview& preview = layout.previews[layout.preview_count++];
    preview.item = r.from;
    preview.pictures = pictures_of(file, meta, r.from);
    preview.shown_alike = shown_alike(shown(meta, r.from), picture);
  }
  return layout;
}

}  // namespace quarn::thumb
