#include "decode/decoder.h"

namespace quarn::thumb {

bool hand_on(const std::optional<DecodedImage>& image, Reduction& rows, ColourSpace& colour) {
  if (!image) return false;
  rows.start({image->pixels.width, image->pixels.height}, image->pixels.channels);
  rows.add_rows(image->pixels);
  colour = image->colour;
  return true;
}

namespace {

// JPEGs that libjpeg-turbo does not decode cleanly, and PNG, GIF and TIFF
// files that their decoders refuse, go to the image library as before.
const DecoderEntry kDecoders[] = {
    {ImageKind::kJpeg, open_jpeg, true},
    {ImageKind::kPng, open_png, true},
    {ImageKind::kGif, open_gif, true},
    {ImageKind::kTiff, open_tiff, true},
    {ImageKind::kWebp, open_webp, false},
    {ImageKind::kHeif, open_heif, false},
    {ImageKind::kJxl, open_jxl, false},
};

}  // namespace

const DecoderEntry* decoder_for(ImageKind kind) {
  for (const DecoderEntry& entry : kDecoders)
    if (entry.kind == kind) return &entry;
  return nullptr;
}

}  // namespace quarn::thumb
