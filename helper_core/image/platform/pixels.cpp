#include "helper_core/image/platform/pixels.hpp"

#include <lcms2.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <new>

#include "helper_core/image/platform/format_unit.hpp"
#include "helper_core/library_loading/lazy_library.hpp"

namespace quorvantelmic {

// ---------------------------------------------------------------------------
// Colour spaces

namespace {

struct ProfileCloser {
  void operator()(void* profile) const noexcept { cmsCloseProfile(profile); }
};
using UniqueProfile = std::unique_ptr<void, ProfileCloser>;

struct TransformDeleter {
  void operator()(void* transform) const noexcept { cmsDeleteTransform(transform); }
};
using UniqueTransform = std::unique_ptr<void, TransformDeleter>;

UniqueProfile openProfile(std::span<const std::uint8_t> icc) {
  if (icc.empty() || icc.size() > 0x7fffffffU) return nullptr;
  return UniqueProfile(cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size())));
}

std::string lowercase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool hasWord(const std::string& lowered, std::string_view word) {
  for (std::size_t at = lowered.find(word); at != std::string::npos; at = lowered.find(word, at + 1)) {
    const bool startOk = at == 0 || !std::isalnum(static_cast<unsigned char>(lowered[at - 1]));
    const std::size_t end = at + word.size();
    const bool endOk = end >= lowered.size() || !std::isalnum(static_cast<unsigned char>(lowered[end]));
    if (startOk && endOk) return true;
  }
  return false;
}

std::string cicpName(const Cicp& cicp) {
  if (cicp.transferCharacteristics == 16) return cicp.colorPrimaries == 9 ? "itur_2100_pq" : "cicp_pq";
  if (cicp.transferCharacteristics == 18) return cicp.colorPrimaries == 9 ? "itur_2100_hlg" : "cicp_hlg";
  if (cicp.colorPrimaries == 1 && (cicp.transferCharacteristics == 13 || cicp.transferCharacteristics == 2)) {
    return "srgb";
  }
  if (cicp.colorPrimaries == 12 && cicp.transferCharacteristics == 13) return "display_p3";
  if (cicp.colorPrimaries == 2 && cicp.transferCharacteristics == 2) return "srgb";
  return "cicp_" + std::to_string(cicp.colorPrimaries) + "_" + std::to_string(cicp.transferCharacteristics);
}

}  // namespace

std::shared_ptr<const ColorSpace> ColorSpace::deviceRgb() {
  static const auto space = std::make_shared<const ColorSpace>(ColorSpaceModel::rgb, "srgb", ImageBytes{}, std::nullopt);
  return space;
}

std::shared_ptr<const ColorSpace> ColorSpace::deviceGray() {
  static const auto space =
      std::make_shared<const ColorSpace>(ColorSpaceModel::monochrome, "gray", ImageBytes{}, std::nullopt);
  return space;
}

std::shared_ptr<const ColorSpace> ColorSpace::createGeneric(ColorSpaceModel model, std::optional<Cicp> cicp) {
  switch (model) {
    case ColorSpaceModel::rgb:
      if (!cicp) return deviceRgb();
      return std::make_shared<const ColorSpace>(model, cicpName(*cicp), ImageBytes{}, cicp);
    case ColorSpaceModel::monochrome:
      if (!cicp) return deviceGray();
      return std::make_shared<const ColorSpace>(model, "gray_" + cicpName(*cicp), ImageBytes{}, cicp);
    case ColorSpaceModel::cmyk:
      return std::make_shared<const ColorSpace>(model, "device_cmyk", ImageBytes{}, std::nullopt);
    case ColorSpaceModel::lab:
      return std::make_shared<const ColorSpace>(model, "lab_d50", ImageBytes{}, std::nullopt);
    case ColorSpaceModel::indexed:
      return std::make_shared<const ColorSpace>(model, "indexed", ImageBytes{}, std::nullopt);
  }
  return deviceRgb();
}

std::shared_ptr<const ColorSpace> ColorSpace::createWithIccData(std::span<const std::uint8_t> icc) {
  UniqueProfile profile = openProfile(icc);
  if (!profile) return nullptr;
  ColorSpaceModel model;
  std::string base;
  switch (cmsGetColorSpace(profile.get())) {
    case cmsSigRgbData: model = ColorSpaceModel::rgb; base = "icc_rgb"; break;
    case cmsSigGrayData: model = ColorSpaceModel::monochrome; base = "icc_gray"; break;
    case cmsSigCmykData: model = ColorSpaceModel::cmyk; base = "icc_cmyk"; break;
    case cmsSigLabData: model = ColorSpaceModel::lab; base = "icc_lab"; break;
    default: return nullptr;
  }
  // The name never repeats the profile's free text, so that only a profile
  // that really declares PQ or HLG produces a name carrying those letters.
  std::optional<Cicp> cicp;
  if (const auto* signal = static_cast<const cmsVideoSignalType*>(cmsReadTag(profile.get(), cmsSigcicpTag))) {
    cicp = Cicp{signal->ColourPrimaries, signal->TransferCharacteristics, signal->MatrixCoefficients,
                signal->VideoFullRangeFlag != 0};
  }
  const std::string description = lowercase(detail::iccDescription(icc).value_or(""));
  if ((cicp && cicp->transferCharacteristics == 16) || hasWord(description, "pq")) {
    base += "_pq";
  } else if ((cicp && cicp->transferCharacteristics == 18) || hasWord(description, "hlg")) {
    base += "_hlg";
  }
  return std::make_shared<const ColorSpace>(model, std::move(base), ImageBytes(icc.begin(), icc.end()), cicp);
}

std::optional<ImageBytes> ColorSpace::copyIccData() const {
  if (icc_.empty()) return std::nullopt;
  return icc_;
}

std::size_t ColorSpace::componentCount() const noexcept {
  switch (model_) {
    case ColorSpaceModel::monochrome: return 1;
    case ColorSpaceModel::rgb: return 3;
    case ColorSpaceModel::cmyk: return 4;
    case ColorSpaceModel::lab: return 3;
    case ColorSpaceModel::indexed: return 1;
  }
  return 3;
}

bool alphaInfoCarriesAlpha(ImageAlphaInfo info) noexcept {
  switch (info) {
    case ImageAlphaInfo::premultipliedLast:
    case ImageAlphaInfo::premultipliedFirst:
    case ImageAlphaInfo::last:
    case ImageAlphaInfo::first:
    case ImageAlphaInfo::alphaOnly:
      return true;
    default:
      return false;
  }
}

bool hasTransparentPixels(const DecodedImage& image) {
  if (!alphaInfoCarriesAlpha(image.alphaInfo())) return false;
  const std::optional<detail::PlainPixels> plain = detail::plainPixels(image, true, 8);
  return !plain || !detail::alphaIsOpaque(*plain);
}

DecodedImage::DecodedImage(std::size_t width, std::size_t height, std::size_t bitsPerComponent, std::size_t bytesPerRow,
                           ImageAlphaInfo alphaInfo, std::shared_ptr<const ColorSpace> colorSpace,
                           std::shared_ptr<const ImageBytes> pixels)
    : width_(width), height_(height), bitsPerComponent_(bitsPerComponent), bytesPerRow_(bytesPerRow),
      alphaInfo_(alphaInfo), colorSpace_(std::move(colorSpace)), pixels_(std::move(pixels)) {}

DecodedFrameShape DecodedFrameShape::of(const DecodedImage& image) {
  return DecodedFrameShape{image.width(), image.height(), image.bitsPerComponent(), image.alphaInfo(),
                           image.colorSpace()};
}

std::size_t DecodedImage::componentsPerPixel() const noexcept {
  if (alphaInfo_ == ImageAlphaInfo::alphaOnly) return 1;
  const std::size_t color = colorSpace_ ? colorSpace_->componentCount() : 3;
  return color + (alphaInfo_ == ImageAlphaInfo::none ? 0 : 1);
}

namespace detail {

bool withinDecodeLimits(std::size_t width, std::size_t height) noexcept {
  return width >= 1 && height >= 1 && width <= maximumDecodeDimension && height <= maximumDecodeDimension &&
         width <= maximumDecodePixels / height;
}

std::shared_ptr<ImageBytes> allocatePixels(std::size_t size) {
  try {
    auto bytes = std::make_shared<ImageBytes>();
    bytes->resize(size);
    return bytes;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

bool reserveOutputRoom(ImageBytes& output, std::size_t rawBytes) noexcept {
  constexpr std::size_t largestKeptOutput = std::size_t{512} << 20;
  // Deflate stores incompressible data in blocks of at most 64 KiB with 5
  // bytes of framing each; the rest is headers and metadata.
  const std::size_t room = rawBytes + rawBytes / 8192 + 65536;
  try {
    output.reserve(std::min(room, largestKeptOutput));
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::optional<std::string> iccDescription(std::span<const std::uint8_t> icc) {
  UniqueProfile profile = openProfile(icc);
  if (!profile) return std::nullopt;
  char buffer[512] = {};
  const cmsUInt32Number length =
      cmsGetProfileInfoASCII(profile.get(), cmsInfoDescription, "en", "US", buffer, sizeof buffer);
  if (length == 0) return std::nullopt;
  std::string text(buffer);
  const auto notSpace = [](unsigned char c) { return !std::isspace(c); };
  text.erase(text.begin(), std::find_if(text.begin(), text.end(), notSpace));
  text.erase(std::find_if(text.rbegin(), text.rend(), notSpace).base(), text.end());
  if (text.empty()) return std::nullopt;
  return text;
}

// ---------------------------------------------------------------------------
// Plain pixels

namespace {

struct Layout {
  std::size_t colorComponents;
  std::size_t stride;  // components per pixel
  std::optional<std::size_t> alphaIndex;
  bool premultiplied;
  std::size_t colorOffset;
};

std::optional<Layout> layoutOf(const DecodedImage& image) {
  if (!image.colorSpace()) return std::nullopt;
  const std::size_t color = image.colorSpace()->componentCount();
  switch (image.alphaInfo()) {
    case ImageAlphaInfo::none: return Layout{color, color, std::nullopt, false, 0};
    case ImageAlphaInfo::premultipliedLast: return Layout{color, color + 1, color, true, 0};
    case ImageAlphaInfo::premultipliedFirst: return Layout{color, color + 1, 0, true, 1};
    case ImageAlphaInfo::last: return Layout{color, color + 1, color, false, 0};
    case ImageAlphaInfo::first: return Layout{color, color + 1, 0, false, 1};
    case ImageAlphaInfo::noneSkipLast: return Layout{color, color + 1, std::nullopt, false, 0};
    case ImageAlphaInfo::noneSkipFirst: return Layout{color, color + 1, std::nullopt, false, 1};
    case ImageAlphaInfo::alphaOnly: return Layout{0, 1, 0, false, 0};
  }
  return std::nullopt;
}

template <typename T>
double componentAt(const std::uint8_t* row, std::size_t index) {
  T value;
  std::memcpy(&value, row + index * sizeof(T), sizeof(T));
  if constexpr (std::is_same_v<T, float>) {
    return std::isfinite(value) ? std::clamp(static_cast<double>(value), 0.0, 1.0) : 0.0;
  } else {
    return static_cast<double>(value) / static_cast<double>(std::numeric_limits<T>::max());
  }
}

}  // namespace

bool looksPhotographic(const PlainPixels& pixels) noexcept {
  if (pixels.width < 2 || pixels.height == 0 || pixels.data() == nullptr) return false;
  const std::size_t bytesPerPixel = pixels.channels() * (pixels.bitsPerComponent / 8);
  constexpr std::size_t sampledRows = 64;
  const std::size_t step = std::max<std::size_t>(1, pixels.height / sampledRows);
  std::size_t compared = 0;
  std::size_t repeated = 0;
  for (std::size_t y = step / 2; y < pixels.height; y += step) {
    const std::uint8_t* row = pixels.row(y);
    for (std::size_t x = 1; x < pixels.width; ++x) {
      repeated += std::memcmp(row + x * bytesPerPixel, row + (x - 1) * bytesPerPixel, bytesPerPixel) == 0 ? 1 : 0;
    }
    compared += pixels.width - 1;
  }
  return repeated * 4 < compared;
}

bool alphaIsOpaque(const PlainPixels& pixels) noexcept {
  if (!pixels.alpha || pixels.data() == nullptr) return true;
  const std::size_t sampleBytes = pixels.bitsPerComponent / 8;
  const std::size_t pixelBytes = pixels.channels() * sampleBytes;
  const std::size_t alphaOffset = pixels.colorComponents * sampleBytes;
  for (std::size_t y = 0; y < pixels.height; ++y) {
    const std::uint8_t* row = pixels.row(y);
    for (std::size_t x = 0; x < pixels.width; ++x) {
      const std::uint8_t* alpha = row + x * pixelBytes + alphaOffset;
      if (alpha[0] != 0xff || (sampleBytes == 2 && alpha[1] != 0xff)) return false;
    }
  }
  return true;
}

std::optional<PlainPixels> plainPixels(const DecodedImage& image, bool keepAlpha, std::size_t bits) {
  const std::optional<Layout> layout = layoutOf(image);
  if (!layout || (bits != 8 && bits != 16)) return std::nullopt;
  const std::size_t sourceBits = image.bitsPerComponent();
  if (sourceBits != 8 && sourceBits != 16 && sourceBits != 32) return std::nullopt;
  const std::size_t sourceBytes = sourceBits / 8;
  const std::size_t width = image.width();
  const std::size_t height = image.height();
  if (width == 0 || height == 0 || image.bytesPerRow() < width * layout->stride * sourceBytes ||
      image.pixels().size() < image.bytesPerRow() * (height - 1) + width * layout->stride * sourceBytes) {
    return std::nullopt;
  }
  PlainPixels plain;
  plain.width = width;
  plain.height = height;
  const bool alphaOnly = image.alphaInfo() == ImageAlphaInfo::alphaOnly;
  plain.colorComponents = alphaOnly ? 1 : layout->colorComponents;
  plain.alpha = keepAlpha && layout->alphaIndex.has_value();
  plain.bitsPerComponent = bits;
  plain.colorSpace = alphaOnly ? ColorSpace::deviceGray() : image.colorSpace();

  // Already plain: same depth, straight alpha last or no alpha, tight rows.
  const bool alreadyPlain = sourceBits == bits && !layout->premultiplied && layout->colorOffset == 0 &&
                            !alphaOnly && layout->stride == plain.channels() &&
                            image.bytesPerRow() == plain.bytesPerRow();
  if (alreadyPlain) {
    plain.view(image.sharedPixels());
    return plain;
  }
  const std::size_t outChannels = plain.channels();
  auto out = allocatePixels(plain.bytesPerRow() * height);
  if (!out) return std::nullopt;
  // 8-bit straight components only move (padding or alpha dropped, alpha
  // moved last): the general path below would give the same bytes, since
  // v / 255 × 255 rounds back to v, at several times the cost per pixel.
  if (sourceBits == 8 && bits == 8 && !layout->premultiplied && !alphaOnly) {
    const std::size_t stride = layout->stride;
    const std::size_t colorOffset = layout->colorOffset;
    const std::size_t colors = plain.colorComponents;
    for (std::size_t y = 0; y < height; ++y) {
      const std::uint8_t* source = image.pixels().data() + y * image.bytesPerRow();
      std::uint8_t* target = out->data() + y * plain.bytesPerRow();
      for (std::size_t x = 0; x < width; ++x, source += stride, target += outChannels) {
        std::memcpy(target, source + colorOffset, colors);
        if (plain.alpha) target[colors] = source[*layout->alphaIndex];
      }
    }
    plain.own(std::move(out));
    return plain;
  }
  for (std::size_t y = 0; y < height; ++y) {
    const std::uint8_t* row = image.pixels().data() + y * image.bytesPerRow();
    std::uint8_t* target = out->data() + y * plain.bytesPerRow();
    for (std::size_t x = 0; x < width; ++x) {
      const std::size_t base = x * layout->stride;
      double values[5] = {};
      auto read = [&](std::size_t index) {
        switch (sourceBits) {
          case 8: return componentAt<std::uint8_t>(row, base + index);
          case 16: return componentAt<std::uint16_t>(row, base + index);
          default: return componentAt<float>(row, base + index);
        }
      };
      double alpha = 1.0;
      if (layout->alphaIndex) alpha = read(*layout->alphaIndex);
      if (alphaOnly) {
        values[0] = 1.0;
      } else {
        for (std::size_t c = 0; c < layout->colorComponents; ++c) {
          double v = read(layout->colorOffset + c);
          if (layout->premultiplied) v = alpha > 0 ? std::min(1.0, v / alpha) : 0.0;
          values[c] = v;
        }
      }
      if (plain.alpha) values[plain.colorComponents] = alpha;
      for (std::size_t c = 0; c < outChannels; ++c) {
        if (bits == 8) {
          target[x * outChannels + c] = static_cast<std::uint8_t>(std::lround(values[c] * 255.0));
        } else {
          const auto v16 = static_cast<std::uint16_t>(std::lround(values[c] * 65535.0));
          std::memcpy(target + (x * outChannels + c) * 2, &v16, 2);
        }
      }
    }
  }
  plain.own(std::move(out));
  return plain;
}

DecodedImage imageFromPlain(std::size_t width, std::size_t height, std::size_t channels, bool alpha,
                            std::size_t bitsPerComponent, std::shared_ptr<const ColorSpace> colorSpace,
                            std::shared_ptr<const ImageBytes> pixels) {
  return DecodedImage(width, height, bitsPerComponent, width * channels * (bitsPerComponent / 8),
                      alpha ? ImageAlphaInfo::last : ImageAlphaInfo::none, std::move(colorSpace), std::move(pixels));
}

std::optional<PlainPixels> orientPixels(const PlainPixels& source, int orientation) {
  if (orientation < 1 || orientation > 8) return std::nullopt;
  if (orientation == 1) return source;
  const std::size_t w = source.width;
  const std::size_t h = source.height;
  const bool transposes = orientation >= 5;
  PlainPixels out = source;
  out.width = transposes ? h : w;
  out.height = transposes ? w : h;
  const std::size_t pixelBytes = source.channels() * (source.bitsPerComponent / 8);
  auto bytes = allocatePixels(out.bytesPerRow() * out.height);
  if (!bytes) return std::nullopt;
  for (std::size_t oy = 0; oy < out.height; ++oy) {
    std::uint8_t* target = bytes->data() + oy * out.bytesPerRow();
    for (std::size_t ox = 0; ox < out.width; ++ox) {
      std::size_t ix = 0;
      std::size_t iy = 0;
      switch (orientation) {
        case 2: ix = w - 1 - ox; iy = oy; break;
        case 3: ix = w - 1 - ox; iy = h - 1 - oy; break;
        case 4: ix = ox; iy = h - 1 - oy; break;
        case 5: ix = oy; iy = ox; break;
        case 6: ix = oy; iy = h - 1 - ox; break;
        case 7: ix = w - 1 - oy; iy = h - 1 - ox; break;
        default: ix = w - 1 - oy; iy = ox; break;
      }
      std::memcpy(target + ox * pixelBytes, source.row(iy) + ix * pixelBytes, pixelBytes);
    }
  }
  out.own(std::move(bytes));
  return out;
}

// ---------------------------------------------------------------------------
// Resampling

namespace {

// libswscale is opened when an image is first resized: through libavutil it
// maps the video acceleration and X11 client libraries, which most requests
// never need. No libavutil function is called, only its pixel-format names.
#define QV_SWSCALE_FUNCTIONS(X) \
  X(sws_getContext)             \
  X(sws_scale)                  \
  X(sws_freeContext)
QUORVANTELMIC_LIBRARY_TABLE(SwscaleFunctions, QV_SWSCALE_FUNCTIONS);

const SwscaleFunctions* swscaleFunctions() noexcept {
  static const std::optional<SwscaleFunctions> table = loadLibraryTable<SwscaleFunctions>(QUORVANTELMIC_SWSCALE_SONAME);
  return table ? &*table : nullptr;
}

struct SwsDeleter {
  void operator()(SwsContext* context) const noexcept { swscaleFunctions()->sws_freeContext(context); }
};

}  // namespace

bool resample8(const std::uint8_t* source, std::size_t sourceWidth, std::size_t sourceHeight,
               std::size_t sourceStride, std::size_t channels, std::uint8_t* destination,
               std::size_t destinationWidth, std::size_t destinationHeight, std::size_t destinationStride) {
  constexpr std::size_t limit = 1U << 30;
  if (channels == 0 || channels > 4 || sourceWidth == 0 || sourceHeight == 0 || destinationWidth == 0 ||
      destinationHeight == 0 || sourceWidth > limit || sourceHeight > limit || destinationWidth > limit ||
      destinationHeight > limit) {
    return false;
  }
  const SwscaleFunctions* swscale = swscaleFunctions();
  if (swscale == nullptr) return false;
  // One grey plane per channel: libswscale scales grey planes directly, with
  // no detour through YUV, so each channel is filtered exactly.
  std::unique_ptr<SwsContext, SwsDeleter> context(
      swscale->sws_getContext(static_cast<int>(sourceWidth), static_cast<int>(sourceHeight), AV_PIX_FMT_GRAY8,
                              static_cast<int>(destinationWidth), static_cast<int>(destinationHeight), AV_PIX_FMT_GRAY8,
                              SWS_LANCZOS | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr));
  if (!context) return false;
  // libswscale's vector code reads and writes whole vectors, past the end of
  // a row when the width is not a multiple of the vector, and past the last
  // row of a plane: it expects planes laid out as av_image_alloc lays them
  // out, rows on aligned strides and padding after the plane. Tight planes
  // let it write into the next heap block on small odd sizes.
  constexpr std::size_t rowAlignment = 64;
  const auto alignedStride = [](std::size_t width) { return (width + rowAlignment - 1) / rowAlignment * rowAlignment; };
  const std::size_t sourcePlaneStride = alignedStride(sourceWidth);
  const std::size_t destinationPlaneStride = alignedStride(destinationWidth);
  ImageBytes sourcePlane;
  ImageBytes destinationPlane;
  try {
    sourcePlane.resize(sourcePlaneStride * sourceHeight + rowAlignment);
    destinationPlane.resize(destinationPlaneStride * destinationHeight + rowAlignment);
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (std::size_t c = 0; c < channels; ++c) {
    for (std::size_t y = 0; y < sourceHeight; ++y) {
      const std::uint8_t* row = source + y * sourceStride;
      std::uint8_t* plane = sourcePlane.data() + y * sourcePlaneStride;
      for (std::size_t x = 0; x < sourceWidth; ++x) plane[x] = row[x * channels + c];
    }
    const std::uint8_t* sourcePlanes[4] = {sourcePlane.data(), nullptr, nullptr, nullptr};
    const int sourceStrides[4] = {static_cast<int>(sourcePlaneStride), 0, 0, 0};
    std::uint8_t* destinationPlanes[4] = {destinationPlane.data(), nullptr, nullptr, nullptr};
    const int destinationStrides[4] = {static_cast<int>(destinationPlaneStride), 0, 0, 0};
    if (swscale->sws_scale(context.get(), sourcePlanes, sourceStrides, 0, static_cast<int>(sourceHeight),
                           destinationPlanes, destinationStrides) != static_cast<int>(destinationHeight)) {
      return false;
    }
    for (std::size_t y = 0; y < destinationHeight; ++y) {
      std::uint8_t* row = destination + y * destinationStride;
      const std::uint8_t* plane = destinationPlane.data() + y * destinationPlaneStride;
      for (std::size_t x = 0; x < destinationWidth; ++x) row[x * channels + c] = plane[x];
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Colour conversion

bool sameColorSpace(const ColorSpace& a, const ColorSpace& b) {
  if (a.model() != b.model()) return false;
  if (a.iccData().empty() && b.iccData().empty()) return a.cicp() == b.cicp();
  return a.iccData() == b.iccData();
}

namespace {

UniqueProfile profileFor(const ColorSpace& space) {
  if (!space.iccData().empty()) return openProfile(space.iccData());
  switch (space.model()) {
    case ColorSpaceModel::rgb: return UniqueProfile(cmsCreate_sRGBProfile());
    case ColorSpaceModel::monochrome: {
      cmsToneCurve* curve = cmsBuildGamma(nullptr, 2.2);
      if (curve == nullptr) return nullptr;
      UniqueProfile profile(cmsCreateGrayProfile(cmsD50_xyY(), curve));
      cmsFreeToneCurve(curve);
      return profile;
    }
    case ColorSpaceModel::lab: return UniqueProfile(cmsCreateLab4Profile(nullptr));
    default: return nullptr;
  }
}

cmsUInt32Number formatFor(const ColorSpace& space, bool alpha) {
  switch (space.model()) {
    case ColorSpaceModel::rgb: return alpha ? TYPE_RGBA_8 : TYPE_RGB_8;
    case ColorSpaceModel::monochrome: return alpha ? TYPE_GRAYA_8 : TYPE_GRAY_8;
    case ColorSpaceModel::cmyk: return alpha ? (TYPE_CMYK_8 | EXTRA_SH(1)) : TYPE_CMYK_8;
    case ColorSpaceModel::lab: return alpha ? (TYPE_Lab_8 | EXTRA_SH(1)) : TYPE_Lab_8;
    default: return 0;
  }
}

}  // namespace

bool convertColors8(const std::uint8_t* source, const ColorSpace& sourceSpace, std::uint8_t* destination,
                    const ColorSpace& destinationSpace, std::size_t pixelCount, bool alpha) {
  const std::size_t sourceStride = sourceSpace.componentCount() + (alpha ? 1 : 0);
  const std::size_t destinationStride = destinationSpace.componentCount() + (alpha ? 1 : 0);
  if (sourceSpace.model() == ColorSpaceModel::cmyk && sourceSpace.iccData().empty() &&
      destinationSpace.model() == ColorSpaceModel::rgb) {
    // Device CMYK has no profile to convert through: its definition is the
    // device formula itself.
    for (std::size_t i = 0; i < pixelCount; ++i) {
      const std::uint8_t* p = source + i * sourceStride;
      std::uint8_t* q = destination + i * destinationStride;
      for (int c = 0; c < 3; ++c) q[c] = static_cast<std::uint8_t>((255 - p[c]) * (255 - p[3]) / 255);
      if (alpha) q[3] = p[4];
    }
    return true;
  }
  UniqueProfile input = profileFor(sourceSpace);
  UniqueProfile output = profileFor(destinationSpace);
  if (!input || !output) return false;
  const cmsUInt32Number inFormat = formatFor(sourceSpace, alpha);
  const cmsUInt32Number outFormat = formatFor(destinationSpace, alpha);
  if (inFormat == 0 || outFormat == 0) return false;
  UniqueTransform transform(cmsCreateTransform(input.get(), inFormat, output.get(), outFormat, INTENT_PERCEPTUAL,
                                               cmsFLAGS_COPY_ALPHA | cmsFLAGS_BLACKPOINTCOMPENSATION));
  if (!transform) return false;
  constexpr std::size_t chunk = 1U << 20;
  for (std::size_t done = 0; done < pixelCount; done += chunk) {
    const std::size_t count = std::min(chunk, pixelCount - done);
    cmsDoTransform(transform.get(), source + done * sourceStride, destination + done * destinationStride,
                   static_cast<cmsUInt32Number>(count));
  }
  return true;
}

}  // namespace detail
}  // namespace quorvantelmic
