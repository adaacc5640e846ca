// Turns the bytes of one still image into what the later steps need: the image
// source and, when asked for, the decoded frame 0, together with the probe the
// parent sees and an assessment of the image's metadata. Every check that can
// be made from the header (emptiness, type, frame count, dimensions, pixel
// count, orientation) runs before any pixel is decoded, so an oversized image
// is refused without allocating its pixels.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "helper_core/image/platform/image_platform.hpp"
#include "helper_core/protocol/wire_records.hpp"

namespace quorvantelmic {

// The metadata the helper knows how to carry over, and whether anything else
// is present. Dictionaries are keyed by their property name ("{GPS}", "{Exif}",
// ...), tags by the lowercased "prefix:name" of the XMP property.
struct MetadataAssessment {
  std::map<std::string, PropertyDictionary, std::less<>> supportedDictionaries;
  std::map<std::string, PropertyValue, std::less<>> supportedTags;
  bool hasUnsupportedMetadata = false;

  bool hasMetadata() const noexcept {
    return !supportedDictionaries.empty() || !supportedTags.empty() || hasUnsupportedMetadata;
  }
};

struct InspectedImage {
  ImageSource source;
  ImageProbe probe;
  // Frame 0 as stored (perhaps at a reduced size, see `inspect`); none when
  // pixels were not requested.
  std::optional<DecodedImage> decodedImage;
  std::optional<std::string> profileName;
  // The ICC data of the decoded frame's colour space, present only when the
  // frame was decoded and the file itself embeds a profile.
  std::optional<ImageBytes> profileData;
  // False when the file embeds a profile of another colour model than its
  // pixels (an RGB profile on a grey JPEG): decoders ignore such a profile,
  // it never described the image, and a conversion treats it as absent.
  // Otherwise equal to the probe's `hasIccProfile`. Known only when pixels
  // were decoded; without them it follows the probe.
  bool embeddedProfileApplies = false;
  MetadataAssessment metadata;
  // The decoded frame's colour model, kept after the frame itself is let go;
  // none when pixels were not requested.
  std::optional<ColorSpaceModel> colorModel;
  // Whether that colour space has an HLG or PQ transfer: its profile then
  // describes a high dynamic range that no 8-bit output can stand for.
  bool hdrColorSpace = false;
  // What the proof decode of `inspectProvingDecode` decoded; none otherwise.
  std::optional<DecodedFrameShape> provenFrame;
};

class ImageInspector {
 public:
  // From the stored width, height and orientation: the longer side at which
  // the caller will draw the pixels, or 0 for the full size.
  using DrawnLongSide = std::function<std::size_t(std::int64_t width, std::int64_t height, std::int64_t orientation)>;

  // Throws HelperFault (decode-failed, resource-limit) with the fixed message
  // of the first check that fails. With `drawnLongSide`, a codec that can
  // decode at reduced sizes (JPEG) decodes a frame no smaller than that side
  // needs, so the frame may be smaller than the probe's size.
  InspectedImage inspect(std::span<const std::uint8_t> bytes, bool decodePixels,
                         const DrawnLongSide& drawnLongSide = {}) const;
  // The same for bytes the caller has no further use for: the image source
  // keeps them instead of a copy.
  InspectedImage inspect(ImageBytes&& bytes, bool decodePixels, const DrawnLongSide& drawnLongSide = {}) const;
  // As `inspect` with pixels, but frame 0 is decoded only to prove that it
  // decodes (ImageSource::proveImageAtIndex): no frame is kept, and what the
  // inspection learns from pixels (depth, alpha, the colour space) comes from
  // the proof's `provenFrame` instead. Fails as `inspect` fails. The result's
  // source reads `bytes` where they lie (a proof reads outputs of up to
  // 512 MiB), so it must not outlive them.
  InspectedImage inspectProvingDecode(std::span<const std::uint8_t> bytes) const;

 private:
  enum class PixelWork { none, decode, prove };
  InspectedImage inspectImage(std::optional<ImageSource> created, PixelWork work,
                              const DrawnLongSide& drawnLongSide) const;
};

// Property readers over the platform's property values.
namespace ImagePropertyReader {
// A non-Boolean finite integral number in 1 ..< 2^63.
std::optional<std::int64_t> positiveInteger(const PropertyValue* value);
// A non-Boolean finite number above 0.
std::optional<double> positiveDouble(const PropertyValue* value);
std::optional<bool> boolean(const PropertyValue* value);
// Absent: 1. A non-Boolean integral number from 1 to 8: that number.
// Anything else: none (the caller refuses the image).
std::optional<std::int64_t> orientation(const PropertyValue* value);
// The string trimmed of white space and line breaks; none when empty.
std::optional<std::string> profileName(const PropertyValue* value);
}  // namespace ImagePropertyReader

// The metadata assessment of frame 0 (properties and XMP tags of `source`).
MetadataAssessment assessMetadata(const PropertyDictionary& properties, const ImageSource& source);

// A system list of type identifiers, bounded: only identifiers of 3 to 160
// UTF-8 bytes, without duplicates, sorted, at most the first 512.
std::vector<std::string> boundedTypeIdentifiers(const std::vector<std::string>& identifiers);

}  // namespace quorvantelmic
