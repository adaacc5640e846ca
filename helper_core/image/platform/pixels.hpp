// Pixel plumbing shared by the units: a plain interleaved view of a decoded
// image (colour components, then straight alpha), orientation, resampling
// with libswscale, and colour conversion with lcms2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "helper_core/image/platform/image_platform.hpp"

namespace quorvantelmic::detail {

// Components of 8 or 16 bits (host order), colour first, straight alpha last,
// rows tightly packed. Views the image's own pixels when they already are in
// that form, otherwise owns a converted copy.
class PlainPixels {
 public:
  std::size_t width = 0;
  std::size_t height = 0;
  std::size_t colorComponents = 0;
  bool alpha = false;
  std::size_t bitsPerComponent = 8;
  std::shared_ptr<const ColorSpace> colorSpace;

  std::size_t channels() const noexcept { return colorComponents + (alpha ? 1 : 0); }
  std::size_t bytesPerRow() const noexcept { return width * channels() * (bitsPerComponent / 8); }
  const std::uint8_t* data() const noexcept { return data_; }
  const std::uint8_t* row(std::size_t y) const noexcept { return data_ + y * bytesPerRow(); }

  // The buffer the pixels lie in, from its start; never written through.
  const std::shared_ptr<const ImageBytes>& sharedBytes() const noexcept { return bytes_; }

  void view(std::shared_ptr<const ImageBytes> bytes) {
    data_ = bytes->data();
    bytes_ = std::move(bytes);
  }
  void own(std::shared_ptr<ImageBytes> bytes) {
    data_ = bytes->data();
    bytes_ = std::move(bytes);
  }

 private:
  const std::uint8_t* data_ = nullptr;
  std::shared_ptr<const ImageBytes> bytes_;
};

// Whether the pixels look like a photograph rather than a drawing, text or a
// screenshot: in a sample of rows, fewer than a quarter of the pixels equal
// their left neighbour. Lossless encoders trade speed for size by it.
bool looksPhotographic(const PlainPixels& pixels) noexcept;

// True when the pixels have no alpha, or every alpha sample is at its maximum.
bool alphaIsOpaque(const PlainPixels& pixels) noexcept;

// `bits` is 8 or 16; alpha is kept only when asked for and present. None for
// layouts that cannot be read (an unknown model) or when memory runs out.
std::optional<PlainPixels> plainPixels(const DecodedImage& image, bool keepAlpha, std::size_t bits);

// A DecodedImage over plain 8-bit pixels (alpha `last` when present).
DecodedImage imageFromPlain(std::size_t width, std::size_t height, std::size_t channels, bool alpha,
                            std::size_t bitsPerComponent, std::shared_ptr<const ColorSpace> colorSpace,
                            std::shared_ptr<const ImageBytes> pixels);

// Applies an EXIF orientation (1 to 8) to plain pixels.
std::optional<PlainPixels> orientPixels(const PlainPixels& source, int orientation);

// Resamples interleaved 8-bit pixels with libswscale's Lanczos filter, channel
// by channel. The caller premultiplies alpha first.
bool resample8(const std::uint8_t* source, std::size_t sourceWidth, std::size_t sourceHeight,
               std::size_t sourceStride, std::size_t channels, std::uint8_t* destination,
               std::size_t destinationWidth, std::size_t destinationHeight, std::size_t destinationStride);

// Converts 8-bit interleaved pixels between colour spaces with lcms2; each
// pixel has the space's components and, when `alpha`, a trailing alpha that
// is copied unchanged. False when no transform can be built.
bool convertColors8(const std::uint8_t* source, const ColorSpace& sourceSpace, std::uint8_t* destination,
                    const ColorSpace& destinationSpace, std::size_t pixelCount, bool alpha);

// Whether two spaces describe the same colours (same ICC data, or the same
// generic space).
bool sameColorSpace(const ColorSpace& a, const ColorSpace& b);

// The profile's description (lcms2), trimmed; none without one.
std::optional<std::string> iccDescription(std::span<const std::uint8_t> icc);

}  // namespace quorvantelmic::detail
