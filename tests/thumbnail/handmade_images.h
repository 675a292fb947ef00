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

}  // namespace quarn::handmade
