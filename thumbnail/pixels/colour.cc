#include "pixels/colour.h"

#include <lcms2.h>
#include <lcms2_plugin.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "c_handle.h"

namespace quarn::thumb {
namespace {

// lcms2 reads no environment. Its context has a silent error handler: a
// damaged profile is reported only as a failure to open it or to build a
// transform, never printed.
void stay_silent(cmsContext, cmsUInt32Number, const char*) {}

// lcms2 allocates the tables a profile declares before it reads them: a
// profile of a few hundred bytes may declare hundreds of megabytes. Each
// conversion has a budget, far above what real profiles and their
// transforms take; an allocation past it fails, and lcms2 takes the profile
// for broken. lcms2 allocates on the calling thread, so the budget in force
// is the thread's; allocations outside one (none in practice) are not
// limited.
constexpr std::size_t kMemoryBudget = std::size_t{64} << 20;

class Budget {
 public:
  Budget() : outer_(current_) { current_ = this; }
  ~Budget() { current_ = outer_; }
  Budget(const Budget&) = delete;
  Budget& operator=(const Budget&) = delete;

  static bool take(std::size_t size) {
    if (current_ == nullptr) return true;
    if (size > kMemoryBudget - current_->used_) return false;
    current_->used_ += size;
    return true;
  }
  static void give_back(std::size_t size) {
    if (current_ != nullptr) current_->used_ -= std::min(size, current_->used_);
  }
  // What the thread's conversion holds now.
  static std::size_t used() { return current_ != nullptr ? current_->used_ : 0; }

 private:
  static thread_local Budget* current_;
  Budget* outer_;
  std::size_t used_ = 0;
};
thread_local Budget* Budget::current_ = nullptr;

// Each block starts with its size, in a header that keeps the alignment.
using Header = std::max_align_t;
std::size_t& size_of(Header* block) { return *reinterpret_cast<std::size_t*>(block); }

void* budget_malloc(cmsContext, cmsUInt32Number size) {
  if (!Budget::take(size)) return nullptr;
  auto* block = static_cast<Header*>(std::malloc(sizeof(Header) + size));
  if (block == nullptr) {
    Budget::give_back(size);
    return nullptr;
  }
  size_of(block) = size;
  return block + 1;
}

void budget_free(cmsContext, void* data) {
  if (data == nullptr) return;
  Header* block = static_cast<Header*>(data) - 1;
  Budget::give_back(size_of(block));
  std::free(block);
}

void* budget_realloc(cmsContext context, void* data, cmsUInt32Number size) {
  if (data == nullptr) return budget_malloc(context, size);
  Header* block = static_cast<Header*>(data) - 1;
  const std::size_t old_size = size_of(block);
  if (size > old_size && !Budget::take(size - old_size)) return nullptr;
  auto* moved = static_cast<Header*>(std::realloc(block, sizeof(Header) + size));
  if (moved == nullptr) {
    if (size > old_size) Budget::give_back(size - old_size);
    return nullptr;
  }
  if (size < old_size) Budget::give_back(old_size - size);
  size_of(moved) = size;
  return moved + 1;
}

cmsPluginMemHandler budget_handler{{cmsPluginMagicNumber, LCMS_VERSION, cmsPluginMemHandlerSig, nullptr},
                                   budget_malloc, budget_free, budget_realloc,
                                   nullptr, nullptr, nullptr};

using Context = CHandle<_cmsContext_struct, cmsDeleteContext>;
using Profile = CHandle<void, cmsCloseProfile>;
using Curve = CHandle<cmsToneCurve, cmsFreeToneCurve>;

// Transforms are kept for the next image with the same description:
// building one costs about 2 ms of processor time for an RGB profile and
// 30 ms for a CMYK lookup table, applying it to a thumbnail a fraction of
// that. They are shared by all threads: made without lcms2's one-pixel
// cache (cmsFLAGS_NOCACHE), cmsDoTransform only reads them; handed out as
// shared_ptr, so one dropped from the list stays whole while in use. All
// of them, and the profiles they are made from, belong to one context that
// lives as long as the library; threads may share a context once it is made
// (only registering plug-ins changes it).
using SharedTransform = std::shared_ptr<void>;

class Transforms {
 public:
  Transforms() : context_(cmsCreateContext(&budget_handler, nullptr)) {
    if (context_) cmsSetLogErrorHandlerTHR(context_.get(), stay_silent);
  }

  // The transform kept under `key`, or the one `build` makes from the
  // context (nullptr when it cannot), kept unless the key is empty.
  template <class Build>
  SharedTransform get(const std::string& key, Build build) {
    if (!key.empty()) {
      const std::lock_guard<std::mutex> lock(mutex_);
      for (auto kept = kept_.begin(); kept != kept_.end(); ++kept) {
        if (kept->key != key) continue;
        kept_.splice(kept_.begin(), kept_, kept);
        return kept->transform;
      }
    }
    if (!context_) return nullptr;
    // What the transform holds: the budget's growth while it is made (its
    // profiles are closed by then).
    const std::size_t before = Budget::used();
    cmsHTRANSFORM built = build(context_.get());
    if (built == nullptr) return nullptr;
    const SharedTransform made(built, cmsDeleteTransform);
    if (key.empty()) return made;
    const std::size_t after = Budget::used();
    const std::size_t bytes = key.size() + (after > before ? after - before : 0);
    const std::lock_guard<std::mutex> lock(mutex_);
    kept_.push_front({key, made, bytes});
    bytes_ += bytes;
    while (kept_.size() > kEntries || bytes_ > kKeptBytes) {
      bytes_ -= kept_.back().bytes;
      kept_.pop_back();
    }
    return made;
  }

  // Keys longer than this (profiles of megabytes) are not kept.
  static constexpr std::size_t kMaxKey = std::size_t{4} << 20;

 private:
  static constexpr std::size_t kEntries = 8;
  static constexpr std::size_t kKeptBytes = std::size_t{32} << 20;  // keys and transforms
  struct Kept {
    std::string key;
    SharedTransform transform;
    std::size_t bytes;
  };
  const Context context_;  // outlives the transforms below
  std::mutex mutex_;
  std::list<Kept> kept_;  // most recently used first
  std::size_t bytes_ = 0;
};

Transforms& transforms() {
  static Transforms kept;
  return kept;
}

// A key naming a conversion: what it reads, what it writes, and the
// description of the source; empty when the description is too long to keep.
template <class T>
void append(std::string& key, const T& value) {
  key.append(reinterpret_cast<const char*>(&value), sizeof value);
}

std::string key_of(cmsUInt32Number in, cmsUInt32Number out, const ColourSpace& colour) {
  if (colour.icc.size() > Transforms::kMaxKey) return {};
  std::string key(1, colour.icc.empty() ? 'D' : 'I');  // described or a profile
  append(key, in);
  append(key, out);
  if (!colour.icc.empty()) {
    key.append(colour.icc.begin(), colour.icc.end());
    return key;
  }
  append(key, colour.srgb);
  append(key, colour.gamma);
  append(key, colour.chromaticities.value_or(std::array<double, 8>{}));
  const ColourSpace::Nclx nclx = colour.nclx.value_or(ColourSpace::Nclx{0, 0, 0, false});
  for (const int code : {nclx.primaries, nclx.transfer}) append(key, code);
  return key;
}

// Transfer functions as lcms2's parametric curve of type 4:
// Y = (aX + b)^g for X >= d, else cX.
struct Transfer {
  double g, a, b, c, d;
};
constexpr Transfer kSrgbTransfer{2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
// BT.709's (also BT.601's and BT.2020's) inverse OETF, as browsers apply it.
constexpr Transfer kBt709Transfer{1 / 0.45, 1 / 1.099, 0.099 / 1.099, 1 / 4.5, 0.081};
constexpr Transfer power(double exponent) { return {exponent, 1, 0, 0, 0}; }

Curve curve(cmsContext context, const Transfer& t) {
  const cmsFloat64Number params[] = {t.g, t.a, t.b, t.c, t.d};
  return Curve(cmsBuildParametricToneCurve(context, 4, params));
}

// White point and red, green, blue primaries, each (x, y).
using Chromaticities = std::array<double, 8>;
constexpr Chromaticities kSrgbPrimaries{0.3127, 0.3290, 0.640, 0.330, 0.300, 0.600, 0.150, 0.060};

Profile rgb_profile(cmsContext context, const Chromaticities& xy, const Transfer& transfer) {
  const cmsCIExyY white{xy[0], xy[1], 1};
  const cmsCIExyYTRIPLE primaries{{xy[2], xy[3], 1}, {xy[4], xy[5], 1}, {xy[6], xy[7], 1}};
  const Curve tone = curve(context, transfer);
  if (!tone) return nullptr;
  cmsToneCurve* const curves[3] = {tone.get(), tone.get(), tone.get()};
  return Profile(cmsCreateRGBProfileTHR(context, &white, &primaries, curves));
}

Profile grey_profile(cmsContext context, const Transfer& transfer) {
  const Curve tone = curve(context, transfer);
  return tone ? Profile(cmsCreateGrayProfileTHR(context, cmsD50_xyY(), tone.get())) : nullptr;
}

// ITU-T H.273 colour primaries by code point.
struct NclxPrimaries {
  int code;
  Chromaticities xy;
};
constexpr double kD65[2] = {0.3127, 0.3290};
constexpr NclxPrimaries kNclxPrimaries[] = {
    {4, {0.310, 0.316, 0.67, 0.33, 0.21, 0.71, 0.14, 0.08}},                 // BT.470 M
    {5, {kD65[0], kD65[1], 0.64, 0.33, 0.29, 0.60, 0.15, 0.06}},             // BT.601 625
    {6, {kD65[0], kD65[1], 0.630, 0.340, 0.310, 0.595, 0.155, 0.070}},       // BT.601 525
    {7, {kD65[0], kD65[1], 0.630, 0.340, 0.310, 0.595, 0.155, 0.070}},       // SMPTE 240M
    {8, {0.310, 0.316, 0.681, 0.319, 0.243, 0.692, 0.145, 0.049}},           // generic film
    {9, {kD65[0], kD65[1], 0.708, 0.292, 0.170, 0.797, 0.131, 0.046}},       // BT.2020
    {11, {0.314, 0.351, 0.680, 0.320, 0.265, 0.690, 0.150, 0.060}},          // DCI-P3
    {12, {kD65[0], kD65[1], 0.680, 0.320, 0.265, 0.690, 0.150, 0.060}},      // Display P3
    {22, {kD65[0], kD65[1], 0.630, 0.340, 0.295, 0.605, 0.155, 0.077}},      // EBU 3213
};

// H.273 transfer characteristics; unknown ones (and HDR curves, which the
// 8-bit decode does not tone-map) are taken as sRGB's.
Transfer nclx_transfer(int code) {
  switch (code) {
    case 1: case 6: case 14: case 15: return kBt709Transfer;
    case 4: return power(2.2);
    case 5: return power(2.8);
    case 8: return power(1.0);
    default: return kSrgbTransfer;
  }
}

Profile nclx_profile(cmsContext context, const ColourSpace::Nclx& nclx, int channels) {
  const Transfer transfer = nclx_transfer(nclx.transfer);
  const Chromaticities* primaries = &kSrgbPrimaries;  // BT.709, and any code unknown here
  for (const NclxPrimaries& p : kNclxPrimaries)
    if (p.code == nclx.primaries) primaries = &p.xy;
  const bool srgb_curve = transfer.g == kSrgbTransfer.g && transfer.d == kSrgbTransfer.d;
  if (srgb_curve && (channels == 1 || primaries == &kSrgbPrimaries)) return nullptr;  // sRGB already
  return channels == 1 ? grey_profile(context, transfer) : rgb_profile(context, *primaries, transfer);
}

// A PNG's gAMA (the encoding exponent) and cHRM; either may be missing.
Profile png_profile(cmsContext context, const ColourSpace& colour, int channels) {
  Transfer transfer = kSrgbTransfer;
  if (colour.gamma != 0) {
    if (!(colour.gamma > 0.01 && colour.gamma < 100)) return nullptr;  // nonsense: untagged
    transfer = power(1 / colour.gamma);
  }
  if (channels == 1) return grey_profile(context, transfer);
  return rgb_profile(context, colour.chromaticities.value_or(kSrgbPrimaries), transfer);
}

// The source's profile, or nothing when the samples are to stay as they are.
Profile source_profile(cmsContext context, const ColourSpace& colour, int channels) {
  if (!colour.icc.empty()) {
    Profile profile(cmsOpenProfileFromMemTHR(context, colour.icc.data(),
                                             static_cast<cmsUInt32Number>(colour.icc.size())));
    const cmsColorSpaceSignature wanted = channels == 1 ? cmsSigGrayData : cmsSigRgbData;
    if (!profile || cmsGetColorSpace(profile.get()) != wanted) return nullptr;
    return profile;
  }
  if (colour.srgb) return nullptr;
  if (colour.nclx) return nclx_profile(context, *colour.nclx, channels);
  if (colour.gamma != 0 || colour.chromaticities) return png_profile(context, colour, channels);
  return nullptr;
}

// sRGB, or grey with sRGB's tone curve: grey stays grey.
Profile srgb_profile(cmsContext context, int channels) {
  return channels == 1 ? grey_profile(context, kSrgbTransfer)
                       : Profile(cmsCreate_sRGBProfileTHR(context));
}

// Runs the transform row by row from `in` to `out` (which may be the same
// buffer when the pixel sizes match).
void transform_rows(void* transform, const std::uint8_t* in, int in_channels, std::uint8_t* out,
                    int out_channels, std::uint32_t width, std::uint32_t height) {
  for (std::uint32_t y = 0; y < height; ++y)
    cmsDoTransform(transform, in + std::size_t{y} * width * in_channels,
                   out + std::size_t{y} * width * out_channels, width);
}

}  // namespace

void to_srgb(Raster& image, const ColourSpace& colour) {
  if (!colour.tagged() || (image.channels != 1 && image.channels != 3)) return;
  const Budget budget;
  const cmsUInt32Number format = image.channels == 1 ? TYPE_GRAY_8 : TYPE_RGB_8;
  const SharedTransform transform =
      transforms().get(key_of(format, format, colour), [&](cmsContext context) -> cmsHTRANSFORM {
        const Profile source = source_profile(context, colour, image.channels);
        const Profile target = source ? srgb_profile(context, image.channels) : nullptr;
        if (!target) return nullptr;  // nothing to convert, or lcms2 cannot
        return cmsCreateTransformTHR(context, source.get(), format, target.get(), format,
                                     INTENT_PERCEPTUAL, cmsFLAGS_NOCACHE);
      });
  if (!transform) return;
  transform_rows(transform.get(), image.samples.data(), image.channels, image.samples.data(),
                 image.channels, image.width, image.height);
}

bool cmyk_to_srgb(Raster& image, const std::vector<std::uint8_t>& icc, bool inverted) {
  if (image.channels != 4 || icc.empty()) return false;
  const Budget budget;
  const cmsUInt32Number format = inverted ? TYPE_CMYK_8_REV : TYPE_CMYK_8;
  ColourSpace colour;
  colour.icc = icc;
  const SharedTransform transform =
      transforms().get(key_of(format, TYPE_RGB_8, colour), [&](cmsContext context) -> cmsHTRANSFORM {
        const Profile source(cmsOpenProfileFromMemTHR(context, icc.data(),
                                                      static_cast<cmsUInt32Number>(icc.size())));
        if (!source || cmsGetColorSpace(source.get()) != cmsSigCmykData) return nullptr;
        const Profile target(cmsCreate_sRGBProfileTHR(context));
        if (!target) return nullptr;
        return cmsCreateTransformTHR(context, source.get(), format, target.get(), TYPE_RGB_8,
                                     INTENT_PERCEPTUAL, cmsFLAGS_NOCACHE);
      });
  if (!transform) return false;
  Buffer<std::uint8_t> rgb(std::size_t{image.width} * image.height * 3);
  transform_rows(transform.get(), image.samples.data(), 4, rgb.data(), 3, image.width, image.height);
  image.samples = std::move(rgb);
  image.channels = 3;
  return true;
}

}  // namespace quarn::thumb
