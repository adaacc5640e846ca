// What every container unit hands the common source code: a description of
// frame 0 taken from the container's headers alone (so a pixel bomb is
// refused before any pixel exists), the metadata blobs where the container
// keeps them, and a decode of frame 0.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "helper_core/image/platform/image_platform.hpp"

namespace quorvantelmic::detail {

// The encoded bytes, shared by a source and its decoder: either owned, or
// borrowed from a caller that keeps them alive and unchanged for as long as
// the source lives (ImageSource::createBorrowingData).
class SharedBytes {
 public:
  SharedBytes() = default;
  static SharedBytes owning(ImageBytes bytes) {
    SharedBytes shared;
    shared.owner_ = std::make_shared<const ImageBytes>(std::move(bytes));
    shared.view_ = *shared.owner_;
    return shared;
  }
  static SharedBytes borrowing(std::span<const std::uint8_t> bytes) noexcept {
    SharedBytes shared;
    shared.view_ = bytes;
    return shared;
  }
  std::span<const std::uint8_t> operator*() const noexcept { return view_; }
  const std::span<const std::uint8_t>* operator->() const noexcept { return &view_; }

 private:
  std::shared_ptr<const ImageBytes> owner_;
  std::span<const std::uint8_t> view_;
};

inline constexpr std::size_t auxiliaryDataTypeCount = 9;

struct ContainerDescription {
  std::string typeIdentifier;
  std::size_t frameCount = 0;
  std::size_t width = 0;   // frame 0, as stored
  std::size_t height = 0;
  std::size_t storedBitDepth = 0;  // bits per component as stored; 0 when unknown
  bool hasAlpha = false;
  // Orientation recorded by the container itself (irot/imir); EXIF orientation
  // is read by the common code from the EXIF data.
  std::optional<int> containerOrientation;
  ImageBytes iccProfile;
  std::optional<Cicp> cicp;
  std::optional<double> headroom;
  std::array<bool, auxiliaryDataTypeCount> auxiliary{};
  bool hasSecondaryImages = false;  // JPEG multi-picture (MPF) secondary images

  // Metadata: either exiv2 opens the container itself, or the unit hands the
  // blobs it found.
  bool exiv2ReadsContainer = false;
  ImageBytes exifBlob;  // TIFF structure ("II*\0..." or "MM\0*..."), no "Exif\0\0" prefix
  ImageBytes xmpPacket;
  ImageBytes iptcBlob;  // IPTC-IIM records
  // Photoshop image resource blocks (JPEG APP13, TIFF tag 34377), looked at
  // for resources other than IPTC.
  ImageBytes photoshopResources;
};

class FormatDecoder {
 public:
  virtual ~FormatDecoder() = default;
  const ContainerDescription& description() const noexcept { return description_; }
  // Frame 0 as stored; none when it does not decode completely.
  virtual std::optional<DecodedImage> decodeFrame0() const = 0;
  // Frame 0 at a reduced size whose longer side is still at least
  // `minimumLongSide`, where the codec can decode at reduced sizes; otherwise
  // as stored.
  virtual std::optional<DecodedImage> decodeFrame0Reduced(std::size_t minimumLongSide) const {
    (void)minimumLongSide;
    return decodeFrame0();
  }
  // Frame 0 decoded only to prove that all of its compressed data decodes,
  // keeping at most a row, strip or tile at a time; the shape that decode
  // produced, or none exactly when decodeFrame0 (for JPEG, decoding at 1/8)
  // would fail. A container whose library decodes only whole frames decodes
  // the frame and keeps its shape.
  virtual std::optional<DecodedFrameShape> proveFrame0() const {
    const std::optional<DecodedImage> frame = decodeFrame0();
    if (!frame) return std::nullopt;
    return DecodedFrameShape::of(*frame);
  }

 protected:
  ContainerDescription description_;
};

struct FormatEntry {
  std::string_view typeIdentifier;
  bool (*sniff)(std::span<const std::uint8_t> bytes);
  // None when the container is not readable.
  std::unique_ptr<FormatDecoder> (*create)(const SharedBytes& bytes);
};

std::span<const FormatEntry> formatTable();

// One unit per container.
bool sniffJpeg(std::span<const std::uint8_t> bytes);
bool sniffPng(std::span<const std::uint8_t> bytes);
bool sniffTiff(std::span<const std::uint8_t> bytes);
bool sniffGif(std::span<const std::uint8_t> bytes);
bool sniffBmp(std::span<const std::uint8_t> bytes);
bool sniffWebp(std::span<const std::uint8_t> bytes);
bool sniffAvif(std::span<const std::uint8_t> bytes);
bool sniffHeic(std::span<const std::uint8_t> bytes);
bool sniffHeif(std::span<const std::uint8_t> bytes);
std::unique_ptr<FormatDecoder> createJpegDecoder(const SharedBytes& bytes);
std::unique_ptr<FormatDecoder> createPngDecoder(const SharedBytes& bytes);
std::unique_ptr<FormatDecoder> createTiffDecoder(const SharedBytes& bytes);
std::unique_ptr<FormatDecoder> createGifDecoder(const SharedBytes& bytes);
std::unique_ptr<FormatDecoder> createBmpDecoder(const SharedBytes& bytes);
std::unique_ptr<FormatDecoder> createWebpDecoder(const SharedBytes& bytes);
std::unique_ptr<FormatDecoder> createAvifDecoder(const SharedBytes& bytes);
std::unique_ptr<FormatDecoder> createHeifDecoder(const SharedBytes& bytes);

// What an encoder unit gets: the image, the orientation to record, the lossy
// quality (0.6 to 1.0 in practice), and the metadata to carry, already cleared
// of the source's structural tags.
struct EncodeRequest {
  const DecodedImage& image;
  int orientation = 1;
  double quality = 0.9;
  const ImageMetadata* metadata = nullptr;
  // Lets go of `image` (and so of its pixels, when nothing else holds them)
  // for an encoder whose pixels are all encoded before further work on the
  // output; `image` is not touched again after the call. May be empty.
  std::function<void()> releaseImage;
};

std::optional<ImageBytes> encodeJpeg(const EncodeRequest& request);
std::optional<ImageBytes> encodePng(const EncodeRequest& request);
std::optional<ImageBytes> encodeTiff(const EncodeRequest& request);
std::optional<ImageBytes> encodeAvif(const EncodeRequest& request);
// The aom speed of AVIF encoding (0 slowest to 10 fastest, -1 the codec's
// default), and the same
// encoder at any speed for the benchmark that chose it.
inline constexpr int avifEncoderSpeed = 8;
std::optional<ImageBytes> encodeAvifAtSpeed(const EncodeRequest& request, int speed);
std::optional<ImageBytes> encodeGif(const EncodeRequest& request);
std::optional<ImageBytes> encodeBmp(const EncodeRequest& request);

// Limits every decoder applies before allocating pixels. Callers apply their
// own, stricter limits from the header properties; these keep the layer safe
// when it is used directly.
inline constexpr std::size_t maximumDecodeDimension = 1000000;
inline constexpr std::size_t maximumDecodePixels = 100000000;
bool withinDecodeLimits(std::size_t width, std::size_t height) noexcept;

// Allocates a pixel buffer, or none when it cannot be had.
std::shared_ptr<ImageBytes> allocatePixels(std::size_t size);

// Gives an encoder's output room for `rawBytes`, the pixels uncompressed,
// plus deflate's framing of incompressible data and the headers: the file
// then grows in place. Growing by doubling copied it at every step and left
// the freed steps in the heap beside the frame. Pages never written take no
// memory, and the room is capped at the largest output any operation keeps
// (512 MiB); past the room (an LZW-coded GIF of noise) the output still
// grows. False when even that cannot be had.
bool reserveOutputRoom(ImageBytes& output, std::size_t rawBytes) noexcept;

}  // namespace quorvantelmic::detail
