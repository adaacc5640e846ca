#include <algorithm>
#include <array>
#include <cmath>

#include "helper_core/image/platform/format_unit.hpp"
#include "helper_core/image/platform/image_platform.hpp"

namespace quorvantelmic {
namespace {

struct EncoderEntry {
  std::string_view typeIdentifier;
  std::optional<ImageBytes> (*encode)(const detail::EncodeRequest& request);
  bool carriesMetadata;
};

constexpr std::array<EncoderEntry, 6> encoderTable = {{
    {"public.jpeg", detail::encodeJpeg, true},
    {"public.png", detail::encodePng, true},
    {"public.tiff", detail::encodeTiff, true},
    {"public.avif", detail::encodeAvif, true},
    {"com.compuserve.gif", detail::encodeGif, false},
    {"com.microsoft.bmp", detail::encodeBmp, false},
}};

const EncoderEntry* encoderFor(std::string_view typeIdentifier) {
  for (const EncoderEntry& entry : encoderTable) {
    if (entry.typeIdentifier == typeIdentifier) return &entry;
  }
  return nullptr;
}

}  // namespace

std::vector<std::string> imageDestinationTypeIdentifiers() {
  std::vector<std::string> identifiers;
  for (const EncoderEntry& entry : encoderTable) identifiers.emplace_back(entry.typeIdentifier);
  return identifiers;
}

std::optional<ImageDestination> ImageDestination::createWithData(std::string_view typeIdentifier, std::size_t count) {
  if (count != 1 || encoderFor(typeIdentifier) == nullptr) return std::nullopt;
  return ImageDestination(std::string(typeIdentifier));
}

void ImageDestination::addImage(const DecodedImage& image, const PropertyDictionary& properties) {
  if (image_) return;
  image_ = image;
  properties_ = properties;
}

void ImageDestination::addImageAndMetadata(const DecodedImage& image, const ImageMetadata& metadata,
                                           const PropertyDictionary& properties) {
  if (image_) return;
  image_ = image;
  metadata_ = metadata;
  properties_ = properties;
}

bool ImageDestination::finalize() {
  if (finalized_ || !image_) return false;
  finalized_ = true;
  const EncoderEntry* entry = encoderFor(typeIdentifier_);
  if (entry == nullptr) return false;
  int orientation = 1;
  if (const PropertyValue* value = properties_.find(ImagePropertyKey::orientation)) {
    const PropertyNumber* number = value->asNumber();
    if (number == nullptr || !(number->value >= 1 && number->value <= 8) || std::floor(number->value) != number->value) {
      return false;
    }
    orientation = static_cast<int>(number->value);
  }
  double quality = 0.9;
  if (const PropertyValue* value = properties_.find(ImageDestinationOption::lossyCompressionQuality)) {
    const PropertyNumber* number = value->asNumber();
    if (number == nullptr || !std::isfinite(number->value)) return false;
    quality = std::clamp(number->value, 0.0, 1.0);
  }
  const ImageMetadata* metadata = entry->carriesMetadata && metadata_ ? &*metadata_ : nullptr;
  detail::EncodeRequest request{*image_, orientation, quality, metadata, [this] { image_.reset(); }};
  std::optional<ImageBytes> bytes;
  try {
    bytes = entry->encode(request);
  } catch (const std::exception&) {
    bytes.reset();
  }
  image_.reset();
  metadata_.reset();
  if (!bytes || bytes->empty()) return false;
  output_ = std::move(*bytes);
  return true;
}

}  // namespace quorvantelmic
