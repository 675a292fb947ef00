#include "write/jpeg_writer.h"

#include "c_handle.h"
#include "common/libjpeg.h"
#include "write/replace_file.h"

namespace quarn::thumb {
namespace {

struct Encoder {
  jpeg_compress_struct info;
  Trap trap;
};

bool create_encoder(Encoder& e) {
  install(e.trap, *reinterpret_cast<jpeg_common_struct*>(&e.info));
  if (setjmp(e.trap.jump)) return false;
  jpeg_create_compress(&e.info);
  return true;
}

bool start_encoder(Encoder& e, std::FILE* file, const Raster& image, bool subsample_chroma) {
  if (setjmp(e.trap.jump)) return false;
  jpeg_stdio_dest(&e.info, file);
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

// Writes the whole file.
bool encode(Encoder& e, std::FILE* file, const Raster& image, bool subsample_chroma) {
  return create_encoder(e) && start_encoder(e, file, image, subsample_chroma) &&
         write_rows(e, image);
}

}  // namespace

WriteResult write_jpeg(const Raster& image, const std::string& path, Chroma chroma) {
  ReplacingFile file(path);
  if (file.stream() == nullptr) return WriteResult::kCannotOpen;
  bool encoded = false;
  bool write_error = false;
  {
    Encoder e{};
    const AtExit destroy([&e] { jpeg_destroy_compress(&e.info); });
    encoded = encode(e, file.stream(), image, chroma == Chroma::kHalved);
    write_error = !encoded && e.trap.manager.msg_code == JERR_FILE_WRITE;
  }
  if (!encoded) return write_error ? WriteResult::kWriteFailed : WriteResult::kEncodeFailed;
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
