// Images the image library cannot write itself, built byte by byte from the
// public file formats: GIF, ICO, palette and huge PNGs. Shared by the hostile
// image tests and the fuzzing seeds.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace quarn::handmade {

inline void put_le16(std::string& s, unsigned v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>((v >> 8) & 0xFF);
}
inline void put_le32(std::string& s, std::uint32_t v) {
  put_le16(s, v & 0xFFFF);
  put_le16(s, v >> 16);
}
inline void put_be16(std::string& s, unsigned v) {
  s += static_cast<char>((v >> 8) & 0xFF);
  s += static_cast<char>(v & 0xFF);
}
inline void put_be32(std::string& s, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) s += static_cast<char>((v >> shift) & 0xFF);
}

// An image descriptor of a frame at (0, 0) without a colour table of its own.
inline std::string gif_frame_header(unsigned width, unsigned height) {
  std::string s = "\x2c";
  put_le16(s, 0);
  put_le16(s, 0);
  put_le16(s, width);
  put_le16(s, height);
  return s + '\0';
}

// A GIF of width x height with a 4-colour palette, a diagonal pattern and
// `frames` frames. The LZW stream sends a clear code before every pair of
// pixels, so the code width stays at 3 bits and no table is needed.
inline std::string gif(unsigned width, unsigned height, unsigned frames = 1) {
  std::string s = "GIF89a";
  put_le16(s, width);
  put_le16(s, height);
  s += '\x81';  // global colour table of 4 entries
  s += '\0';
  s += '\0';
  s += std::string("\x00\x00\x00\xff\x00\x00\x00\xff\x00\x00\x00\xff", 12);
  for (unsigned f = 0; f < frames; ++f) {
    s += gif_frame_header(width, height);
    s += '\x02';  // minimum code size: clear 4, end 5
    std::vector<unsigned> codes;
    const unsigned long pixels = static_cast<unsigned long>(width) * height;
    for (unsigned long i = 0; i < pixels; ++i) {
      if (i % 2 == 0) codes.push_back(4);
      codes.push_back(static_cast<unsigned>(((i % width) + (i / width) + f) % 4));
    }
    codes.push_back(5);
    std::string data;
    unsigned long bits = 0;
    int used = 0;
    for (unsigned c : codes) {
      bits |= static_cast<unsigned long>(c) << used;
      used += 3;
      while (used >= 8) {
        data += static_cast<char>(bits & 0xFF);
        bits >>= 8;
        used -= 8;
      }
    }
    if (used > 0) data += static_cast<char>(bits & 0xFF);
    for (std::size_t pos = 0; pos < data.size(); pos += 255) {
      const std::size_t n = std::min<std::size_t>(255, data.size() - pos);
      s += static_cast<char>(n);
      s += data.substr(pos, n);
    }
    s += '\0';
  }
  s += '\x3b';
  return s;
}

// A one-image icon (type 1) or cursor (type 2) holding a 32-bit bitmap.
inline std::string ico(unsigned width, unsigned height, unsigned type = 1) {
  const std::uint32_t mask_row = ((width + 31) / 32) * 4;
  const std::uint32_t bytes = 40 + width * height * 4 + mask_row * height;
  std::string s;
  put_le16(s, 0);
  put_le16(s, type);
  put_le16(s, 1);
  s += static_cast<char>(width >= 256 ? 0 : width);
  s += static_cast<char>(height >= 256 ? 0 : height);
  s += '\0';
  s += '\0';
  put_le16(s, 1);
  put_le16(s, 32);
  put_le32(s, bytes);
  put_le32(s, 22);
  put_le32(s, 40);
  put_le32(s, width);
  put_le32(s, height * 2);
  put_le16(s, 1);
  put_le16(s, 32);
  for (int i = 0; i < 6; ++i) put_le32(s, 0);
  s += std::string(width * height * 4, '\x7f');
  s += std::string(mask_row * height, '\0');
  return s;
}

inline std::string png_chunk(const char* type, const std::string& data) {
  std::string s;
  put_be32(s, static_cast<std::uint32_t>(data.size()));
  const std::string body = std::string(type, 4) + data;
  s += body;
  put_be32(s, static_cast<std::uint32_t>(
                  crc32(0, reinterpret_cast<const Bytef*>(body.data()), body.size())));
  return s;
}

inline std::string png_header(unsigned width, unsigned height, int bit_depth, int colour_type) {
  std::string ihdr;
  put_be32(ihdr, width);
  put_be32(ihdr, height);
  ihdr += static_cast<char>(bit_depth);
  ihdr += static_cast<char>(colour_type);
  ihdr += std::string(3, '\0');
  return std::string("\x89PNG\r\n\x1a\n", 8) + png_chunk("IHDR", ihdr);
}

// A valid PNG whose rows (one filter byte and `row_bytes` zero samples each)
// are deflated as a stream, so even a 40000 x 40000 image needs no more
// memory than one row. `palette` adds a 4-entry PLTE.
inline std::string png_of_zero_rows(unsigned width, unsigned height, int bit_depth,
                                    int colour_type, std::size_t row_bytes, bool palette) {
  std::string s = png_header(width, height, bit_depth, colour_type);
  if (palette) s += png_chunk("PLTE", std::string("\x10\x20\x30\xff\x00\x00\x00\xff\x00\x00\x00\xff", 12));
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, 15, 9, Z_RLE);
  std::string idat;
  std::vector<unsigned char> row(row_bytes + 1, 0);
  std::vector<unsigned char> out(1 << 16);
  for (unsigned y = 0; y <= height; ++y) {
    const bool last = y == height;
    z.next_in = row.data();
    z.avail_in = last ? 0 : static_cast<uInt>(row.size());
    do {
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
      idat.append(reinterpret_cast<char*>(out.data()), out.size() - z.avail_out);
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);
  for (std::size_t pos = 0; pos < idat.size(); pos += 1 << 20)
    s += png_chunk("IDAT", idat.substr(pos, 1 << 20));
  return s + png_chunk("IEND", "");
}

// A palette PNG of width x height, 8 bits per index.
inline std::string palette_png(unsigned width, unsigned height) {
  return png_of_zero_rows(width, height, 8, 3, width, true);
}

// A small valid RGB PNG with one bit of a chunk length flipped, so the chunk
// claims far more bytes than the file holds (the PNG reader then spins).
// Variant 0 and 1 flip bits 20 and 28 of a text chunk's length, variant 2
// bit 23 of the gamma chunk's length.
inline std::string png_with_flipped_length(int variant) {
  const std::string valid = png_of_zero_rows(48, 32, 8, 2, 48 * 3, false);
  const std::size_t after_header = 8 + 25;
  std::string gamma;
  put_be32(gamma, 45455);
  const std::string text = png_chunk("tEXt", std::string("Comment\0made by the hostile-image tests", 39));
  std::string s = valid.substr(0, after_header) + png_chunk("gAMA", gamma) + text +
                  valid.substr(after_header);
  const std::size_t gamma_length = after_header;
  const std::size_t text_length = after_header + 16;
  const std::size_t at = variant == 2 ? gamma_length : text_length;
  const int bit = variant == 0 ? 20 : variant == 1 ? 28 : 23;
  s[at + 3 - bit / 8] = static_cast<char>(s[at + 3 - bit / 8] ^ (1 << (bit % 8)));
  return s;
}

// 1 KiB of pseudo-random bytes (fixed seed, so every run sees the same)
// behind a signature such as "BM" or "GIF89a".
inline std::string junk_after(const std::string& signature, std::uint32_t seed) {
  std::uint32_t state = seed;
  std::string s = signature;
  while (s.size() < 1024) {
    state ^= state << 13;  // xorshift32
    state ^= state >> 17;
    state ^= state << 5;
    s += static_cast<char>(state >> 24);
  }
  return s;
}

// A valid baseline JPEG of any size in a few MB: one-bit Huffman codes for
// "DC difference 0" and "end of block" make every block two zero bits.
// Three components are sampled 4:2:0, one is grey.
inline std::string jpeg_bomb(unsigned width, unsigned height, int components) {
  std::string s("\xFF\xD8", 2);
  s += std::string("\xFF\xDB", 2);
  put_be16(s, 67);
  s += '\0';
  s += std::string(64, '\x01');
  s += std::string("\xFF\xC0", 2);
  put_be16(s, 8 + 3 * components);
  s += '\x08';
  put_be16(s, height);
  put_be16(s, width);
  s += static_cast<char>(components);
  for (int c = 1; c <= components; ++c) {
    s += static_cast<char>(c);
    s += c == 1 && components == 3 ? '\x22' : '\x11';
    s += '\0';
  }
  for (const char table : {'\x00', '\x10'}) {  // DC 0, AC 0: one code of one bit, symbol 0
    s += std::string("\xFF\xC4", 2);
    put_be16(s, 2 + 1 + 16 + 1);
    s += table;
    s += '\x01';
    s += std::string(15, '\0');
    s += '\0';
  }
  s += std::string("\xFF\xDA", 2);
  put_be16(s, 6 + 2 * components);
  s += static_cast<char>(components);
  for (int c = 1; c <= components; ++c) {
    s += static_cast<char>(c);
    s += '\0';
  }
  s += std::string("\x00\x3F\x00", 3);
  const std::uint64_t mcus = components == 3
                                 ? std::uint64_t{(width + 15) / 16} * ((height + 15) / 16)
                                 : std::uint64_t{(width + 7) / 8} * ((height + 7) / 8);
  const std::uint64_t blocks = mcus * (components == 3 ? 6 : 1);
  s += std::string(static_cast<std::size_t>((blocks * 2 + 7) / 8), '\0');
  return s + std::string("\xFF\xD9", 2);
}


// ---- WebP and HEIF headers that claim more than their data holds ----

// An animated WebP whose canvas is width x height, with one 1 x 1 lossless
// frame: decoded in full, the canvas alone takes width x height x 4 bytes.
inline std::string webp_animation_canvas(std::uint32_t width, std::uint32_t height) {
  const auto le24 = [](std::string& s, std::uint32_t v) {
    for (int i = 0; i < 3; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  const auto chunk = [](const char* type, const std::string& body) {
    std::string c(type, 4);
    put_le32(c, static_cast<std::uint32_t>(body.size()));
    return c + body + (body.size() % 2 ? std::string(1, '\0') : "");
  };
  std::string vp8x("\x12\0\0\0", 4);  // animation and alpha
  le24(vp8x, width - 1);
  le24(vp8x, height - 1);
  std::string anim(6, '\0');
  // One opaque black pixel, lossless: header, then a bitstream of one
  // colour-cache-free, all-zero-code image.
  const std::string pixel("\x2f\x00\x00\x00\x10\x07\x10\x11\x11\x88\x88\xfe\x07\x00", 14);
  // At 0, 0; 1 x 1 (stored minus one); no duration; no blending.
  const std::string anmf = std::string(16, '\0') + chunk("VP8L", pixel);
  const std::string body = "WEBP" + chunk("VP8X", vp8x) + chunk("ANIM", anim) + chunk("ANMF", anmf);
  std::string s = "RIFF";
  put_le32(s, static_cast<std::uint32_t>(body.size()));
  return s + body;
}

// A lossless WebP header claiming width x height (at most 16384 each).
inline std::string webp_lossless_claiming(unsigned width, unsigned height) {
  const std::uint32_t bits = (width - 1) | ((height - 1) << 14);
  std::string vp8l("\x2f", 1);
  put_le32(vp8l, bits);
  vp8l += std::string(11, '\0');
  std::string s = "RIFF";
  put_le32(s, static_cast<std::uint32_t>(4 + 8 + vp8l.size()));
  s += "WEBPVP8L";
  put_le32(s, static_cast<std::uint32_t>(vp8l.size()));
  return s + vp8l;
}

inline std::string iso_box(const char* type, const std::string& body) {
  std::string s;
  put_be32(s, static_cast<std::uint32_t>(8 + body.size()));
  return s + std::string(type, 4) + body;
}

inline std::string iso_full_box(const char* type, unsigned version, const std::string& body,
                                std::uint32_t flags = 0) {
  std::string s;
  put_be32(s, version << 24 | flags);
  return iso_box(type, s + body);
}

// Bits written most significant first, as codec headers are.
struct BitWriter {
  std::string bytes;
  int used = 8;
  void put(std::uint64_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
      if (used == 8) {
        bytes += '\0';
        used = 0;
      }
      if ((value >> i) & 1) bytes.back() = static_cast<char>(bytes.back() | (0x80 >> used));
      ++used;
    }
  }
  void ue(std::uint64_t value) {  // Exp-Golomb
    int bits = 0;
    while ((value + 1) >> (bits + 1)) ++bits;
    put(0, bits);
    put(value + 1, bits + 1);
  }
};

// An HEVC configuration box holding one sequence parameter set that gives
// the picture size; no other parameter sets, so nothing decodes it.
inline std::string hvcc_claiming(std::uint32_t width, std::uint32_t height) {
  BitWriter b;
  b.put(1, 4 + 3 + 1);  // parameter set 0, no sub-layers, nesting
  b.put(0x01600000, 32);  // Main profile
  b.put(0, 64);
  b.ue(0);  // sequence parameter set 0
  b.ue(1);  // 4:2:0
  b.ue(width);
  b.ue(height);
  b.put(1, 1);  // what follows is cut: the size is all a reader needs
  std::string nal("\x42\x01", 2);
  int zeros = 0;
  for (const char c : b.bytes) {  // emulation prevention
    if (zeros >= 2 && static_cast<unsigned char>(c) <= 3) {
      nal += '\x03';
      zeros = 0;
    }
    zeros = c == 0 ? zeros + 1 : 0;
    nal += c;
  }
  std::string body("\x01\x01\x60\0\0\0\0\0\0\0\0\0\0\xf0\0\xfc\xfd\xf8\xf8\0\0\x0f\x01", 23);
  body += static_cast<char>(0x80 | 33);
  body += std::string("\0\x01", 2);
  put_be16(body, static_cast<unsigned>(nal.size()));
  return iso_box("hvcC", body + nal);
}

// An AV1 configuration box whose sequence header claims the size.
inline std::string av1c_claiming(std::uint32_t width, std::uint32_t height) {
  BitWriter b;
  b.put(0, 3);       // profile
  b.put(3, 2);       // still picture, reduced header
  b.put(0, 5);       // level
  b.put(15, 4);      // 16 bits of width
  b.put(15, 4);      // and of height
  b.put(width - 1, 16);
  b.put(height - 1, 16);
  b.put(1, 1);
  std::string obu("\x0a", 1);
  obu += static_cast<char>(b.bytes.size());
  return iso_box("av1C", std::string("\x81\0\x0c\0", 4) + obu + b.bytes);
}

inline std::string ispe(std::uint32_t width, std::uint32_t height) {
  std::string s;
  put_be32(s, width);
  put_be32(s, height);
  return iso_full_box("ispe", 0, s);
}

struct HeifItem {
  unsigned id;
  const char* type;         // "hvc1", "av01", "grid"
  std::string data;         // in the media data box
  std::vector<unsigned> properties;  // 1-based, into the property list
  bool hidden = false;      // not shown by itself (a grid's tiles)
};

// A HEIF file: the items' data one after another in an mdat box, the
// primary item, derived-image references (from, to...), properties, and
// thumbnail references (thumbnail, image).
inline std::string heif_file(const std::vector<HeifItem>& items, unsigned primary,
                             const std::vector<std::vector<unsigned>>& derived,
                             const std::vector<std::string>& properties,
                             const std::vector<std::vector<unsigned>>& thumbnails = {}) {
  const auto meta_with = [&](std::uint32_t data_at) {
    std::string hdlr(4, '\0');
    hdlr += "pict" + std::string(13, '\0');
    std::string pitm;
    put_be16(pitm, primary);
    std::string infos;
    put_be16(infos, static_cast<unsigned>(items.size()));
    std::string locations("\x44\0", 2);
    put_be16(locations, static_cast<unsigned>(items.size()));
    std::string associations;
    put_be32(associations, static_cast<std::uint32_t>(items.size()));
    for (const HeifItem& item : items) {
      std::string infe;
      put_be16(infe, item.id);
      put_be16(infe, 0);
      infos += iso_full_box("infe", 2, infe + item.type + std::string(1, '\0'), item.hidden ? 1 : 0);
      put_be16(locations, item.id);
      put_be16(locations, 0);
      put_be16(locations, 1);
      put_be32(locations, data_at);
      put_be32(locations, static_cast<std::uint32_t>(item.data.size()));
      data_at += static_cast<std::uint32_t>(item.data.size());
      put_be16(associations, item.id);
      associations += static_cast<char>(item.properties.size());
      for (const unsigned p : item.properties) associations += static_cast<char>(0x80 | p);
    }
    std::string references;
    for (const auto* kind : {"dimg", "thmb"}) {
      for (const auto& d : kind[0] == 'd' ? derived : thumbnails) {
        std::string r;
        put_be16(r, d[0]);
        put_be16(r, static_cast<unsigned>(d.size() - 1));
        for (std::size_t i = 1; i < d.size(); ++i) put_be16(r, d[i]);
        references += iso_box(kind, r);
      }
    }
    std::string property_boxes;
    for (const std::string& p : properties) property_boxes += p;
    return iso_full_box("meta", 0,
                        iso_full_box("hdlr", 0, hdlr) + iso_full_box("pitm", 0, pitm) +
                            iso_full_box("iloc", 0, locations) + iso_full_box("iinf", 0, infos) +
                            (references.empty() ? "" : iso_full_box("iref", 0, references)) +
                            iso_box("iprp", iso_box("ipco", property_boxes) +
                                                iso_full_box("ipma", 0, associations)));
  };
  const std::string ftyp = iso_box("ftyp", std::string("heic\0\0\0\0mif1heic", 16));
  const std::size_t meta_size = meta_with(0).size();
  std::string data;
  for (const HeifItem& item : items) data += item.data;
  return ftyp + meta_with(static_cast<std::uint32_t>(ftyp.size() + meta_size + 8)) +
         iso_box("mdat", data);
}

// The grid descriptor: rows x columns tiles making width x height.
inline std::string heif_grid(unsigned rows, unsigned columns, std::uint32_t width,
                             std::uint32_t height) {
  std::string s("\0\x01", 2);  // version 0, 32-bit sizes
  s += static_cast<char>(rows - 1);
  s += static_cast<char>(columns - 1);
  put_be32(s, width);
  put_be32(s, height);
  return s;
}

// A grid image of rows x columns HEVC tiles whose parameter sets claim
// tile x tile each.
inline std::string heif_grid_claiming(unsigned rows, unsigned columns, std::uint32_t tile) {
  std::vector<HeifItem> items{{1, "grid", heif_grid(rows, columns, 64, 64), {1}}};
  std::vector<unsigned> references{1};
  for (unsigned i = 0; i < rows * columns; ++i) {
    items.push_back({2 + i, "hvc1", std::string(8, '\0'), {2, 3}});
    references.push_back(2 + i);
  }
  return heif_file(items, 1, {references}, {ispe(64, 64), hvcc_claiming(tile, tile), ispe(tile, tile)});
}

// One image whose item says 64 x 64 and whose configuration claims more.
inline std::string heif_claiming(bool av1, std::uint32_t width, std::uint32_t height) {
  return heif_file({{1, av1 ? "av01" : "hvc1", std::string(8, '\0'), {1, 2}}}, 1, {},
                   {ispe(64, 64), av1 ? av1c_claiming(width, height) : hvcc_claiming(width, height)});
}

// A 64 x 64 picture whose thumbnail item's configuration claims width x
// height, turned a quarter (irot) or not.
inline std::string heif_preview_claiming(std::uint32_t width, std::uint32_t height, bool turned = false) {
  return heif_file({{1, "hvc1", std::string(8, '\0'), {1, 2}},
                    {2, "hvc1", std::string(8, '\0'), turned ? std::vector<unsigned>{1, 3, 4} : std::vector<unsigned>{1, 3}}},
                   1, {}, {ispe(64, 64), hvcc_claiming(64, 64), hvcc_claiming(width, height), iso_box("irot", "\x01")},
                   {{2, 1}});
}

// ---- small files that would cost far more than the picture they claim ----

// A HEIF file of one HEVC item (id 1) claiming width x height, with the
// bodies of its iloc and ipma boxes as given (version and flags first);
// its coded data (8 bytes unless given) lie right after the file type box,
// at offset 32.
inline std::string heif_with(const std::string& iloc, const std::string& ipma, std::uint32_t width,
                             std::uint32_t height, const std::string& data = std::string(8, '\0')) {
  std::string hdlr(8, '\0');
  hdlr.replace(4, 4, "pict");
  hdlr += std::string(13, '\0');
  std::string infe;
  put_be16(infe, 1);
  put_be16(infe, 0);
  std::string infos;
  put_be16(infos, 1);
  infos += iso_full_box("infe", 2, infe + "hvc1" + std::string(1, '\0'));
  const std::string meta =
      iso_full_box("meta", 0,
                   iso_box("hdlr", hdlr) + iso_full_box("pitm", 0, std::string("\0\x01", 2)) +
                       iso_box("iloc", iloc) + iso_full_box("iinf", 0, infos) +
                       iso_box("iprp", iso_box("ipco", ispe(width, height) + hvcc_claiming(width, height)) +
                                           iso_box("ipma", ipma)));
  return iso_box("ftyp", std::string("heic\0\0\0\0mif1heic", 16)) + iso_box("mdat", data) + meta;
}

// The iloc body that locates item 1's 8 bytes (see heif_with).
inline std::string heif_location_of_item_1() {
  std::string s("\0\0\0\0\x44\0\0\x01\0\x01\0\0\0\x01", 14);  // v0, 4-byte offset and length
  put_be32(s, 24 + 8);                                        // after ftyp and mdat's header
  put_be32(s, 8);
  return s;
}

// The ipma body that gives item 1 its two properties.
inline std::string heif_properties_of_item_1() { return std::string("\0\0\0\0\0\0\0\x01\0\x01\x02\x81\x82", 13); }

// An iloc box whose offsets, lengths and bases take no bytes: each 6-byte
// entry of its `items` items claims 65535 extents that read nothing.
inline std::string heif_extent_bomb(unsigned items, std::uint32_t width = 4000, std::uint32_t height = 3000) {
  std::string iloc(6, '\0');  // version 0, no flags, all field sizes 0
  put_be16(iloc, items);
  for (unsigned i = 0; i < items; ++i) {
    put_be16(iloc, 1 + i % 0xFFFF);
    put_be16(iloc, 0);  // data reference
    put_be16(iloc, 0xFFFF);
  }
  return heif_with(iloc, heif_properties_of_item_1(), width, height);
}

// An ipma box of `entries` entries of two properties each, 5 bytes apiece.
inline std::string heif_association_bomb(std::uint32_t entries, std::uint32_t width = 4000,
                                         std::uint32_t height = 3000) {
  std::string ipma(4, '\0');
  put_be32(ipma, entries);
  for (std::uint32_t i = 0; i < entries; ++i) {
    put_be16(ipma, 1 + i % 0xFFFF);
    ipma += std::string("\x02\x81\x82", 3);
  }
  return heif_with(heif_location_of_item_1(), ipma, width, height);
}

// A progressive grey JPEG of width x height with `scans` scans of one byte
// each (a DC scan, then the AC coefficients again and again): libjpeg walks
// every block of the picture in every scan, the missing data taken as zeros.
inline std::string progressive_scan_bomb(unsigned width, unsigned height, unsigned scans) {
  std::string s("\xFF\xD8\xFF\xDB", 4);
  put_be16(s, 67);
  s += '\0';
  s += std::string(64, '\x01');
  s += std::string("\xFF\xC2\x00\x0B\x08", 5);
  put_be16(s, height);
  put_be16(s, width);
  s += std::string("\x01\x01\x11\x00", 4);
  for (const char table : {'\x00', '\x10'}) {  // one code of one bit, symbol 0: DC 0, end of block
    s += std::string("\xFF\xC4\x00\x14", 4);
    s += table;
    s += '\x01';
    s += std::string(15, '\0');
    s += '\0';
  }
  for (unsigned scan = 0; scan < scans; ++scan) {
    s += std::string("\xFF\xDA\x00\x08\x01\x01\x00", 7);
    s += scan == 0 ? std::string("\x00\x00\x00", 3) : std::string("\x01\x3F\x00", 3);
    s += '\0';
  }
  return s + std::string("\xFF\xD9", 2);
}

// A GIF of `frames` frames that each fill a width x height screen and end
// after their first code: its first frame cannot be decoded, and the image
// library, which would decode every frame, must not see it once the frames
// together pass the limits.
inline std::string gif_of_empty_frames(unsigned width, unsigned height, unsigned frames) {
  std::string s = gif(width, height, 0);
  s.pop_back();  // the trailer
  for (unsigned f = 0; f < frames; ++f)
    s += gif_frame_header(width, height) + std::string("\x02\x01\x2c\0", 4);  // code size 2: clear, end
  return s + '\x3b';
}

// A JPEG XL codestream's headers, written bit by bit (least significant
// first) as the format lays them out, claiming a size, extra channels
// (alpha, all default) and an embedded profile of `profile_bytes` encoded
// bytes (0: sRGB, named); the frame that should follow is missing.
inline std::string jxl_claiming(std::uint32_t width, std::uint32_t height, std::uint32_t extra_channels = 0,
                                std::uint64_t profile_bytes = 0) {
  std::vector<bool> bits;
  const auto put = [&bits](std::uint64_t value, unsigned count) {
    for (unsigned i = 0; i < count; ++i) bits.push_back((value >> i) & 1);
  };
  put(0, 1);  // not small
  put(3, 2), put(height - 1, 30);
  put(0, 3);  // no fixed ratio
  put(3, 2), put(width - 1, 30);
  put(0, 1), put(0, 1);  // image metadata: not all default, no extra fields
  put(0, 1), put(0, 2);  // 8-bit integer samples
  put(1, 1);             // 16-bit buffers suffice
  if (extra_channels == 0) put(0, 2);
  else put(3, 2), put(extra_channels - 1, 12);
  for (std::uint32_t i = 0; i < extra_channels; ++i) put(1, 1);  // alpha, all default
  put(1, 1);  // XYB
  if (profile_bytes == 0) {
    put(1, 1);  // colour encoding all default: sRGB
  } else {
    put(0, 1), put(1, 1), put(0, 2);  // an ICC profile, of RGB
  }
  put(0, 2);  // no extensions
  put(1, 1);  // transform data all default
  if (profile_bytes != 0) {  // U64, its longest form
    put(3, 2), put(profile_bytes & 0xFFF, 12);
    for (unsigned shift = 12; shift < 60 && (profile_bytes >> shift) != 0; shift += 8)
      put(1, 1), put(profile_bytes >> shift, 8);
    put(0, 1);
  }
  std::string s = "\xff\x0a";
  for (std::size_t i = 0; i < bits.size(); i += 8) {
    unsigned byte = 0;
    for (std::size_t b = 0; b < 8 && i + b < bits.size(); ++b) byte |= unsigned{bits[i + b]} << b;
    s += static_cast<char>(byte);
  }
  return s;
}

// The hostile inputs of the image tests, by name. Unchecked, the library
// spins for ever on the three PNGs.
struct NamedImage {
  const char* name;
  std::string bytes;
};
inline std::vector<NamedImage> hostile_images() {
  return {{"png_chunklen_a", png_with_flipped_length(0)},
          {"png_chunklen_b", png_with_flipped_length(1)},
          {"png_chunklen_c", png_with_flipped_length(2)},
          {"junk_bm_prefix", junk_after("BM", 0x2545F491u)},
          // Seeds whose junk makes the library's GIF reader take 1.2-1.5 GB.
          {"junk_gif_prefix_a", junk_after("GIF89a", 0x640D590Au)},
          {"junk_gif_prefix_b", junk_after("GIF89a", 0x4719572Eu)},
          // Decoded in full, these would take gigabytes or hours.
          {"webp_canvas_40000", webp_animation_canvas(40000, 40000)},
          {"webp_lossless_16384", webp_lossless_claiming(16384, 16384)},
          {"heic_sps_40000", heif_claiming(false, 40000, 40000)},
          {"avif_sequence_65536", heif_claiming(true, 65536, 65536)},
          {"heic_grid_5000_tiles", heif_grid_claiming(50, 100, 64)},
          {"heic_grid_gigapixel", heif_grid_claiming(4, 4, 16384)},
          {"jxl_40000", jxl_claiming(40000, 40000)},
          {"jxl_profile_1_gb", jxl_claiming(64, 64, 0, std::uint64_t{1} << 30)},
          // 108 million pixels in 12 frames; the first one broken.
          {"gif_broken_first_of_12_frames", gif_of_empty_frames(3000, 3000, 12)}};
}

// Small files that cost the decoding more than the picture they claim: 2 GB
// and seconds to index a 12 KB HEIF, 85 MB for 4 MB of property
// associations, a minute of CPU for 33 KB of JPEG scans. Each claims the
// size of an honest image it is measured against (4000 x 3000, 8000 x 8000).
inline std::vector<NamedImage> costly_images() {
  return {{"heif_iloc_extents_12k", heif_extent_bomb(2000)},
          {"heif_ipma_800000", heif_association_bomb(800000)},
          {"jpeg_3000_scans", progressive_scan_bomb(8000, 8000, 3000)}};
}

}  // namespace quarn::handmade
