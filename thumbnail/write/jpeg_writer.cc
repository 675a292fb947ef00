#include "write/jpeg_writer.h"

#include <algorithm>
#include <limits>
#include <new>

#include "c_handle.h"
#include "common/libjpeg.h"
#include "write/replace_file.h"

namespace quarn::thumb {
namespace {

// libjpeg's output into a string that grows as it fills, up to a limit.
struct MemoryDestination {
  jpeg_destination_mgr manager;  // first, so libjpeg's pointer to it is one to this
  std::string* out;
  std::size_t limit;
  bool too_large = false;
  bool out_of_memory = false;
};

// A thumbnail of 200 x 200 takes 20 to 40 KB: one growth at most.
constexpr std::size_t kFirstBytes = 32 * 1024;

MemoryDestination& destination(j_compress_ptr info) {
  return *reinterpret_cast<MemoryDestination*>(info->dest);
}

// Makes the whole string the room to write into, from `used` bytes on.
// False when it cannot grow.
bool make_room(j_compress_ptr info, std::size_t size, std::size_t used) {
  MemoryDestination& d = destination(info);
  try {
    d.out->resize(size);
  } catch (...) {
    d.out_of_memory = true;
    return false;
  }
  d.manager.next_output_byte = reinterpret_cast<JOCTET*>(&(*d.out)[used]);
  d.manager.free_in_buffer = size - used;
  return true;
}

void start_output(j_compress_ptr info) {
  MemoryDestination& d = destination(info);
  // What an earlier row's JPEG grew the string to is used again.
  const std::size_t size = std::min(d.limit, std::max(d.out->capacity(), kFirstBytes));
  if (size == 0 || !make_room(info, size, 0)) give_up(reinterpret_cast<j_common_ptr>(info));
}

// The string is full: twice the room, within the limit.
boolean grow_output(j_compress_ptr info) {
  MemoryDestination& d = destination(info);
  const std::size_t used = d.out->size();
  d.too_large = used >= d.limit;
  const std::size_t size = used > d.limit / 2 ? d.limit : used * 2;
  // No C++ object lives in this frame: the jump skips nothing.
  if (d.too_large || !make_room(info, size, used)) give_up(reinterpret_cast<j_common_ptr>(info));
  return TRUE;
}

void end_output(j_compress_ptr info) {
  MemoryDestination& d = destination(info);
  d.out->resize(d.out->size() - d.manager.free_in_buffer);
}

struct Encoder {
  jpeg_compress_struct info;
  Trap trap;
  MemoryDestination destination;
};

bool create_encoder(Encoder& e) {
  install(e.trap, *reinterpret_cast<jpeg_common_struct*>(&e.info));
  if (setjmp(e.trap.jump)) return false;
  jpeg_create_compress(&e.info);
  return true;
}

bool start_encoder(Encoder& e, const Raster& image, bool subsample_chroma) {
  if (setjmp(e.trap.jump)) return false;
  e.destination.manager.init_destination = start_output;
  e.destination.manager.empty_output_buffer = grow_output;
  e.destination.manager.term_destination = end_output;
  e.info.dest = &e.destination.manager;
  e.info.image_width = image.width;
  e.info.image_height = image.height;
  e.info.input_components = image.channels;
  e.info.in_color_space = image.channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&e.info);
  jpeg_set_quality(&e.info, kJpegQuality, TRUE);
  // Full colour: every component sampled 1x1 (4:4:4), no halved chroma.
  if (!subsample_chroma)
    for (int c = 0; c < e.info.num_components; ++c)
      e.info.comp_info[c].h_samp_factor = e.info.comp_info[c].v_samp_factor = 1;
  jpeg_start_compress(&e.info, TRUE);
  return true;
}

bool write_rows(Encoder& e, const Raster& image) {
  if (setjmp(e.trap.jump)) return false;
  const std::size_t row_bytes = std::size_t{image.width} * image.channels;
  while (e.info.next_scanline < e.info.image_height) {
    JSAMPROW row = const_cast<std::uint8_t*>(image.samples.data()) + e.info.next_scanline * row_bytes;
    jpeg_write_scanlines(&e.info, &row, 1);
  }
  jpeg_finish_compress(&e.info);
  return true;
}

}  // namespace

EncodeResult encode_jpeg(const Raster& image, std::string& out, std::size_t limit, Chroma chroma) {
  out.clear();
  Encoder e{};
  e.destination.out = &out;
  e.destination.limit = limit;
  bool encoded = false;
  {
    const AtExit destroy([&e] { jpeg_destroy_compress(&e.info); });
    encoded = create_encoder(e) && start_encoder(e, image, chroma == Chroma::kHalved) &&
              write_rows(e, image);
  }
  if (encoded) return EncodeResult::kEncoded;
  out.clear();
  // Memory that ran out is the call's failure, as anywhere else: thrown
  // here, once libjpeg is done with, never through its frames.
  if (e.destination.out_of_memory) throw std::bad_alloc();
  return e.destination.too_large ? EncodeResult::kTooLarge : EncodeResult::kFailed;
}

WriteResult write_jpeg(const Raster& image, const std::string& path, Chroma chroma) {
  ReplacingFile file(path);
  if (file.stream() == nullptr) return WriteResult::kCannotOpen;
  std::string jpeg;
  if (encode_jpeg(image, jpeg, std::numeric_limits<std::size_t>::max(), chroma) != EncodeResult::kEncoded)
    return WriteResult::kEncodeFailed;
  if (std::fwrite(jpeg.data(), 1, jpeg.size(), file.stream()) != jpeg.size())
    return WriteResult::kWriteFailed;
  switch (file.commit()) {
    case ReplacingFile::Commit::kDone: return WriteResult::kWritten;
    case ReplacingFile::Commit::kWriteFailed: return WriteResult::kWriteFailed;
    case ReplacingFile::Commit::kRenameFailed: break;
  }
  // What could not be opened for writing before: a directory of that name,
  // a protected file in a sticky directory.
  return WriteResult::kCannotOpen;
}

}  // namespace quarn::thumb
