// The drawing context: 8-bit grey or RGB pixels, premultiplied when the
// layout carries alpha, the origin at the lower left. Images are brought into
// the context's colour space with lcms2 and scaled with libswscale's Lanczos
// filter on premultiplied pixels before they are composited.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "helper_core/image/platform/format_unit.hpp"
#include "helper_core/image/platform/image_platform.hpp"
#include "helper_core/image/platform/pixels.hpp"

namespace quorvantelmic {
namespace {

struct ContextLayout {
  std::size_t components;
  std::size_t colorOffset;
  std::optional<std::size_t> alphaIndex;
  std::optional<std::size_t> paddingIndex;
};

std::optional<ContextLayout> contextLayout(ColorSpaceModel model, ImageAlphaInfo info) {
  if (model == ColorSpaceModel::monochrome) {
    if (info == ImageAlphaInfo::none) return ContextLayout{1, 0, std::nullopt, std::nullopt};
    if (info == ImageAlphaInfo::premultipliedLast) return ContextLayout{2, 0, 1, std::nullopt};
    return std::nullopt;
  }
  if (model != ColorSpaceModel::rgb) return std::nullopt;
  switch (info) {
    case ImageAlphaInfo::none: return ContextLayout{3, 0, std::nullopt, std::nullopt};
    case ImageAlphaInfo::noneSkipLast: return ContextLayout{4, 0, std::nullopt, 3};
    case ImageAlphaInfo::noneSkipFirst: return ContextLayout{4, 1, std::nullopt, 0};
    case ImageAlphaInfo::premultipliedLast: return ContextLayout{4, 0, 3, std::nullopt};
    case ImageAlphaInfo::premultipliedFirst: return ContextLayout{4, 1, 0, std::nullopt};
    default: return std::nullopt;
  }
}

std::uint8_t toByte(double value) { return static_cast<std::uint8_t>(std::lround(std::clamp(value, 0.0, 1.0) * 255.0)); }

struct PixelRect {
  std::size_t left = 0;
  std::size_t top = 0;  // rows from the top of the buffer
  std::size_t width = 0;
  std::size_t height = 0;
};

// The rectangle in buffer rows and columns, or none when it is empty after
// rounding or lies outside entirely (then `clipped` holds the visible part).
std::optional<std::pair<PixelRect, PixelRect>> placeRect(const ImageRect& rect, std::size_t width, std::size_t height) {
  if (!std::isfinite(rect.x) || !std::isfinite(rect.y) || !std::isfinite(rect.width) || !std::isfinite(rect.height) ||
      rect.width <= 0 || rect.height <= 0 || rect.width > 1e7 || rect.height > 1e7) {
    return std::nullopt;
  }
  const long x0 = std::lround(rect.x);
  const long x1 = std::lround(rect.x + rect.width);
  const long yBottom = std::lround(rect.y);
  const long yTop = std::lround(rect.y + rect.height);
  if (x1 <= x0 || yTop <= yBottom) return std::nullopt;
  PixelRect full;
  full.width = static_cast<std::size_t>(x1 - x0);
  full.height = static_cast<std::size_t>(yTop - yBottom);
  const long top = static_cast<long>(height) - yTop;  // first buffer row of the rectangle
  const long visibleLeft = std::max(0L, x0);
  const long visibleRight = std::min(static_cast<long>(width), x1);
  const long visibleTop = std::max(0L, top);
  const long visibleBottom = std::min(static_cast<long>(height), top + static_cast<long>(full.height));
  if (visibleRight <= visibleLeft || visibleBottom <= visibleTop) return std::nullopt;
  // `full` is positioned relative to the visible part: its left/top give the
  // offset of the visible part inside the drawn image.
  full.left = static_cast<std::size_t>(visibleLeft - x0);
  full.top = static_cast<std::size_t>(visibleTop - top);
  PixelRect visible{static_cast<std::size_t>(visibleLeft), static_cast<std::size_t>(visibleTop),
                    static_cast<std::size_t>(visibleRight - visibleLeft), static_cast<std::size_t>(visibleBottom - visibleTop)};
  return std::pair{full, visible};
}

}  // namespace

std::optional<BitmapContext> BitmapContext::create(std::size_t width, std::size_t height, std::size_t bitsPerComponent,
                                                   std::size_t bytesPerRow, std::shared_ptr<const ColorSpace> colorSpace,
                                                   ImageAlphaInfo alphaInfo) {
  if (bitsPerComponent != 8 || !colorSpace || !detail::withinDecodeLimits(width, height)) return std::nullopt;
  const std::optional<ContextLayout> layout = contextLayout(colorSpace->model(), alphaInfo);
  if (!layout) return std::nullopt;
  const std::size_t minimumRow = width * layout->components;
  if (bytesPerRow == 0) bytesPerRow = minimumRow;
  if (bytesPerRow < minimumRow) return std::nullopt;
  BitmapContext context;
  context.width_ = width;
  context.height_ = height;
  context.bytesPerRow_ = bytesPerRow;
  context.components_ = layout->components;
  context.alphaInfo_ = alphaInfo;
  context.colorSpace_ = std::move(colorSpace);
  try {
    context.pixels_.assign(bytesPerRow * height, 0);  // transparent black, like a fresh CG context
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  return context;
}

void BitmapContext::setGrayFillColor(double gray, double alpha) noexcept {
  fill_[0] = fill_[1] = fill_[2] = std::clamp(gray, 0.0, 1.0);
  fill_[3] = std::clamp(alpha, 0.0, 1.0);
}

void BitmapContext::setFillColor(double red, double green, double blue, double alpha) noexcept {
  fill_[0] = std::clamp(red, 0.0, 1.0);
  fill_[1] = std::clamp(green, 0.0, 1.0);
  fill_[2] = std::clamp(blue, 0.0, 1.0);
  fill_[3] = std::clamp(alpha, 0.0, 1.0);
}

void BitmapContext::fillRect(const ImageRect& rect) {
  const auto placed = placeRect(rect, width_, height_);
  if (!placed) return;
  const ContextLayout layout = *contextLayout(colorSpace_->model(), alphaInfo_);
  // The fill colour is sRGB; bring it into the context's own space.
  std::uint8_t source[3] = {toByte(fill_[0]), toByte(fill_[1]), toByte(fill_[2])};
  std::uint8_t color[3] = {source[0], source[1], source[2]};
  const bool gray = colorSpace_->model() == ColorSpaceModel::monochrome;
  const bool neutral = source[0] == source[1] && source[1] == source[2];
  if (gray && neutral) {
    color[0] = source[0];
  } else if (!detail::sameColorSpace(*ColorSpace::srgb(), *colorSpace_)) {
    if (!detail::convertColors8(source, *ColorSpace::srgb(), color, *colorSpace_, 1, false)) return;
  }
  const double alpha = fill_[3];
  const std::size_t colorCount = gray ? 1 : 3;
  const PixelRect& area = placed->second;
  if (blendMode_ == BlendMode::copy || alpha == 1.0) {
    // Nothing of what lies below shows through: every pixel of the area gets
    // the same bytes, worked out once with the blend below.
    std::uint8_t pixel[4] = {};
    for (std::size_t c = 0; c < colorCount; ++c) {
      pixel[layout.colorOffset + c] = static_cast<std::uint8_t>(std::lround(std::min(255.0, color[c] * alpha)));
    }
    if (layout.alphaIndex) pixel[*layout.alphaIndex] = static_cast<std::uint8_t>(std::lround(alpha * 255.0));
    if (layout.paddingIndex) pixel[*layout.paddingIndex] = 255;
    for (std::size_t y = area.top; y < area.top + area.height; ++y) {
      std::uint8_t* p = pixels_.data() + y * bytesPerRow_ + area.left * components_;
      for (std::size_t x = 0; x < area.width; ++x, p += components_) std::memcpy(p, pixel, components_);
    }
    return;
  }
  for (std::size_t y = area.top; y < area.top + area.height; ++y) {
    std::uint8_t* row = pixels_.data() + y * bytesPerRow_;
    for (std::size_t x = area.left; x < area.left + area.width; ++x) {
      std::uint8_t* p = row + x * components_;
      const double keep = blendMode_ == BlendMode::copy ? 0.0 : 1.0 - alpha;
      for (std::size_t c = 0; c < colorCount; ++c) {
        const double premultiplied = color[c] * alpha;
        p[layout.colorOffset + c] = static_cast<std::uint8_t>(std::lround(std::min(255.0, premultiplied + p[layout.colorOffset + c] * keep)));
      }
      if (layout.alphaIndex) {
        p[*layout.alphaIndex] = static_cast<std::uint8_t>(std::lround(std::min(255.0, alpha * 255.0 + p[*layout.alphaIndex] * keep)));
      }
      if (layout.paddingIndex) p[*layout.paddingIndex] = 255;
    }
  }
}

bool BitmapContext::drawImage(const ImageRect& rect, const DecodedImage& image) {
  const auto placed = placeRect(rect, width_, height_);
  if (!placed) return true;  // nothing visible to draw
  std::optional<detail::PlainPixels> plain = detail::plainPixels(image, true, 8);
  if (!plain) return false;
  const ContextLayout layout = *contextLayout(colorSpace_->model(), alphaInfo_);
  const bool gray = colorSpace_->model() == ColorSpaceModel::monochrome;
  const std::size_t colorCount = gray ? 1 : 3;
  const std::size_t channels = colorCount + 1;  // working pixels always carry alpha
  const std::size_t pixelCount = plain->width * plain->height;

  // Colour into the context's space (lcms2), with straight alpha alongside.
  // In the same space the colour is only copied, straight into the working
  // pixels.
  const bool sameSpace = detail::sameColorSpace(*plain->colorSpace, *colorSpace_);
  if (sameSpace && plain->colorComponents != colorCount) return false;
  std::shared_ptr<ImageBytes> working = detail::allocatePixels(pixelCount * channels);
  if (!working) return false;
  {
    std::shared_ptr<ImageBytes> withAlpha =
        sameSpace ? working : detail::allocatePixels(pixelCount * (plain->colorComponents + 1));
    if (!withAlpha) return false;
    const std::size_t sourceChannels = plain->channels();
    for (std::size_t i = 0; i < pixelCount; ++i) {
      const std::uint8_t* p = plain->data() + i * sourceChannels;
      std::uint8_t* q = withAlpha->data() + i * (plain->colorComponents + 1);
      std::memcpy(q, p, plain->colorComponents);
      q[plain->colorComponents] = plain->alpha ? p[sourceChannels - 1] : 255;
    }
    if (!sameSpace && !detail::convertColors8(withAlpha->data(), *plain->colorSpace, working->data(), *colorSpace_,
                                              pixelCount, true)) {
      return false;
    }
  }
  plain.reset();
  const std::size_t sourceWidth = image.width();
  const std::size_t sourceHeight = image.height();
  // Premultiply, then scale to the rectangle's full size.
  for (std::size_t i = 0; i < pixelCount; ++i) {
    std::uint8_t* p = working->data() + i * channels;
    const unsigned a = p[colorCount];
    for (std::size_t c = 0; c < colorCount; ++c) p[c] = static_cast<std::uint8_t>((p[c] * a + 127) / 255);
  }
  const PixelRect& full = placed->first;
  const PixelRect& visible = placed->second;
  std::shared_ptr<ImageBytes> scaled = working;
  if (full.width != sourceWidth || full.height != sourceHeight) {
    scaled = detail::allocatePixels(full.width * full.height * channels);
    if (!scaled || !detail::resample8(working->data(), sourceWidth, sourceHeight, sourceWidth * channels, channels,
                                      scaled->data(), full.width, full.height, full.width * channels)) {
      return false;
    }
    working.reset();
  }
  for (std::size_t y = 0; y < visible.height; ++y) {
    const std::uint8_t* sourceRow = scaled->data() + ((full.top + y) * full.width + full.left) * channels;
    std::uint8_t* row = pixels_.data() + (visible.top + y) * bytesPerRow_ + visible.left * components_;
    for (std::size_t x = 0; x < visible.width; ++x) {
      const std::uint8_t* s = sourceRow + x * channels;
      std::uint8_t* d = row + x * components_;
      const unsigned alpha = s[colorCount];
      const unsigned keep = blendMode_ == BlendMode::copy ? 0 : 255 - alpha;
      for (std::size_t c = 0; c < colorCount; ++c) {
        d[layout.colorOffset + c] = static_cast<std::uint8_t>(std::min(255U, s[c] + (d[layout.colorOffset + c] * keep + 127) / 255));
      }
      if (layout.alphaIndex) {
        d[*layout.alphaIndex] = static_cast<std::uint8_t>(std::min(255U, alpha + (d[*layout.alphaIndex] * keep + 127) / 255));
      }
      if (layout.paddingIndex) d[*layout.paddingIndex] = 255;
    }
  }
  return true;
}

std::optional<DecodedImage> BitmapContext::createImage() const& {
  auto copy = detail::allocatePixels(pixels_.size());
  if (!copy) return std::nullopt;
  std::memcpy(copy->data(), pixels_.data(), pixels_.size());
  return DecodedImage(width_, height_, 8, bytesPerRow_, alphaInfo_, colorSpace_, std::move(copy));
}

std::optional<DecodedImage> BitmapContext::createImage() && {
  try {
    auto pixels = std::make_shared<const ImageBytes>(std::move(pixels_));
    return DecodedImage(width_, height_, 8, bytesPerRow_, alphaInfo_, std::move(colorSpace_), std::move(pixels));
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace quorvantelmic
