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
inline void put_be32(std::string& s, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) s += static_cast<char>((v >> shift) & 0xFF);
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
    s += '\x2c';
    put_le16(s, 0);
    put_le16(s, 0);
    put_le16(s, width);
    put_le16(s, height);
    s += '\0';
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
  auto put_be16 = [](std::string& s, unsigned v) {
    s += static_cast<char>((v >> 8) & 0xFF);
    s += static_cast<char>(v & 0xFF);
  };
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
          {"junk_gif_prefix_b", junk_after("GIF89a", 0x4719572Eu)}};
}

}  // namespace quarn::handmade
