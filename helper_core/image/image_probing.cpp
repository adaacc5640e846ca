#include "helper_core/image/image_probing.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <set>
#include <string_view>

#include "helper_core/image/embedded_icc_profile.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"

namespace quorvantelmic {
namespace {

[[noreturn]] void fail(HelperErrorCode code, std::string message) { throw HelperFault(code, std::move(message)); }

std::string lowercased(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return result;
}

bool alphaFromLayout(ImageAlphaInfo info) {
  switch (info) {
    case ImageAlphaInfo::premultipliedLast:
    case ImageAlphaInfo::premultipliedFirst:
    case ImageAlphaInfo::last:
    case ImageAlphaInfo::first:
      return true;
    case ImageAlphaInfo::none:
    case ImageAlphaInfo::noneSkipLast:
    case ImageAlphaInfo::noneSkipFirst:
      return false;
    default:
      return rawValue(info) > 6;
  }
}

// Auxiliary kinds that count as auxiliary images, in the order they are asked
// for. The gain map is not one of them; it makes an image HDR instead.
constexpr std::array<AuxiliaryDataType, 8> auxiliaryImageKinds = {
    AuxiliaryDataType::depth,
    AuxiliaryDataType::disparity,
    AuxiliaryDataType::portraitEffectsMatte,
    AuxiliaryDataType::semanticSegmentationSkinMatte,
    AuxiliaryDataType::semanticSegmentationHairMatte,
    AuxiliaryDataType::semanticSegmentationTeethMatte,
    AuxiliaryDataType::semanticSegmentationGlassesMatte,
    AuxiliaryDataType::semanticSegmentationSkyMatte,
};

bool hasAuxiliaryImages(const ImageSource& source) {
  return std::any_of(auxiliaryImageKinds.begin(), auxiliaryImageKinds.end(), [&](AuxiliaryDataType kind) {
    return source.copyAuxiliaryDataInfoAtIndex(0, kind).has_value();
  });
}

const std::set<std::string, std::less<>>& excludedExifKeys() {
  static const std::set<std::string, std::less<>> keys = {
      std::string(ImagePropertyKey::exifColorSpace),      std::string(ImagePropertyKey::exifComponentsConfiguration),
      std::string(ImagePropertyKey::exifVersion),         std::string(ImagePropertyKey::exifFlashPixVersion),
      std::string(ImagePropertyKey::exifPixelXDimension), std::string(ImagePropertyKey::exifPixelYDimension),
      std::string(ImagePropertyKey::exifSceneCaptureType),
  };
  return keys;
}

const std::set<std::string, std::less<>>& excludedTiffKeys() {
  static const std::set<std::string, std::less<>> keys = {
      std::string(ImagePropertyKey::tiffCompression),  std::string(ImagePropertyKey::tiffOrientation),
      std::string(ImagePropertyKey::tiffPhotometricInterpretation),
      std::string(ImagePropertyKey::tiffXResolution),  std::string(ImagePropertyKey::tiffYResolution),
      std::string(ImagePropertyKey::tiffResolutionUnit), std::string(ImagePropertyKey::tiffTileWidth),
      std::string(ImagePropertyKey::tiffTileLength),
  };
  return keys;
}

// A dictionary copied whole when every key is a string; a numeric key means
// the dictionary cannot be carried over faithfully.
void assessWholeDictionary(const PropertyDictionary& properties, std::string_view name, MetadataAssessment& out) {
  const PropertyValue* value = properties.find(name);
  const PropertyDictionary* dictionary = value != nullptr ? value->asDictionary() : nullptr;
  if (dictionary == nullptr || dictionary->empty()) return;
  const bool allStringKeys = std::all_of(dictionary->entries.begin(), dictionary->entries.end(), [](const auto& entry) {
    return std::holds_alternative<std::string>(entry.first);
  });
  if (!allStringKeys) {
    out.hasUnsupportedMetadata = true;
    return;
  }
  out.supportedDictionaries.insert_or_assign(std::string(name), *dictionary);
}

// A dictionary without the keys that describe the container rather than the
// picture; those are rewritten by every encoder and never compared.
void assessFilteredDictionary(const PropertyDictionary& properties, std::string_view name,
                              const std::set<std::string, std::less<>>& excluded, MetadataAssessment& out) {
  const PropertyValue* value = properties.find(name);
  const PropertyDictionary* dictionary = value != nullptr ? value->asDictionary() : nullptr;
  if (dictionary == nullptr) return;
  PropertyDictionary filtered;
  for (const auto& [key, entry] : dictionary->entries) {
    const std::string* text = std::get_if<std::string>(&key);
    if (text == nullptr) {
      out.hasUnsupportedMetadata = true;
      continue;
    }
    if (excluded.contains(*text)) continue;
    filtered.entries.emplace_back(key, entry);
  }
  if (!filtered.empty()) out.supportedDictionaries.insert_or_assign(std::string(name), std::move(filtered));
}

void assessTags(const ImageSource& source, MetadataAssessment& out) {
  const std::optional<ImageMetadata> metadata = source.copyMetadataAtIndex(0);
  if (!metadata) return;
  static const std::set<std::string, std::less<>> ignoredPrefixes = {"exif", "tiff", "gps", "iptc", "jfif"};
  static const std::set<std::string, std::less<>> ignoredKeys = {"iio:hasiim", "iio:hasxmp"};
  static const std::set<std::string, std::less<>> supportedKeys = {
      "dc:creator", "dc:description", "photoshop:datecreated", "xmp:creatortool", "xmp:modifydate",
  };
  for (const ImageMetadataTag& tag : metadata->copyTags()) {
    if (!tag.prefix || !tag.name) {
      out.hasUnsupportedMetadata = true;
      continue;
    }
    const std::string prefix = lowercased(*tag.prefix);
    const std::string key = prefix + ":" + lowercased(*tag.name);
    if (ignoredPrefixes.contains(prefix) || ignoredKeys.contains(key)) continue;
    if (!supportedKeys.contains(key)) {
      out.hasUnsupportedMetadata = true;
      continue;
    }
    if (!tag.value) {
      out.hasUnsupportedMetadata = true;
      continue;
    }
    out.supportedTags.insert_or_assign(key, *tag.value);
  }
}

}  // namespace

namespace ImagePropertyReader {

std::optional<std::int64_t> positiveInteger(const PropertyValue* value) {
  const PropertyNumber* number = value != nullptr ? value->asNumber() : nullptr;
  if (number == nullptr) return std::nullopt;
  const double v = number->value;
  if (!std::isfinite(v) || v <= 0 || std::floor(v) != v || v >= 9223372036854775808.0) return std::nullopt;
  return static_cast<std::int64_t>(v);
}

std::optional<double> positiveDouble(const PropertyValue* value) {
  const PropertyNumber* number = value != nullptr ? value->asNumber() : nullptr;
  if (number == nullptr || !std::isfinite(number->value) || number->value <= 0) return std::nullopt;
  return number->value;
}

std::optional<bool> boolean(const PropertyValue* value) {
  const bool* flag = value != nullptr ? value->asBoolean() : nullptr;
  if (flag == nullptr) return std::nullopt;
  return *flag;
}

std::optional<std::int64_t> orientation(const PropertyValue* value) {
  if (value == nullptr) return 1;
  const PropertyNumber* number = value->asNumber();
  if (number == nullptr || !std::isfinite(number->value) || std::floor(number->value) != number->value) {
    return std::nullopt;
  }
  if (number->value < 1 || number->value > 8) return std::nullopt;
  return static_cast<std::int64_t>(number->value);
}

std::optional<std::string> profileName(const PropertyValue* value) {
  const std::string* text = value != nullptr ? value->asString() : nullptr;
  if (text == nullptr) return std::nullopt;
  auto isSpace = [](unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
  std::size_t begin = 0;
  std::size_t end = text->size();
  while (begin < end && isSpace(static_cast<unsigned char>((*text)[begin]))) ++begin;
  while (end > begin && isSpace(static_cast<unsigned char>((*text)[end - 1]))) --end;
  if (begin == end) return std::nullopt;
  return text->substr(begin, end - begin);
}

}  // namespace ImagePropertyReader

MetadataAssessment assessMetadata(const PropertyDictionary& properties, const ImageSource& source) {
  MetadataAssessment out;
  assessWholeDictionary(properties, ImagePropertyKey::gpsDictionary, out);
  assessWholeDictionary(properties, ImagePropertyKey::iptcDictionary, out);
  assessFilteredDictionary(properties, ImagePropertyKey::exifDictionary, excludedExifKeys(), out);
  assessFilteredDictionary(properties, ImagePropertyKey::tiffDictionary, excludedTiffKeys(), out);
  for (std::string_view name : unsupportedMetadataDictionaryNames()) {
    const PropertyValue* value = properties.find(name);
    const PropertyDictionary* dictionary = value != nullptr ? value->asDictionary() : nullptr;
    if (dictionary != nullptr && !dictionary->empty()) out.hasUnsupportedMetadata = true;
  }
  assessTags(source, out);
  return out;
}

std::vector<std::string> boundedTypeIdentifiers(const std::vector<std::string>& identifiers) {
  std::set<std::string> kept;
  for (const std::string& identifier : identifiers) {
    if (identifier.size() >= 3 && identifier.size() <= 160) kept.insert(identifier);
  }
  std::vector<std::string> result(kept.begin(), kept.end());
  if (result.size() > 512) result.resize(512);
  return result;
}

InspectedImage ImageInspector::inspect(std::span<const std::uint8_t> bytes, bool decodePixels,
                                       const DrawnLongSide& drawnLongSide) const {
  if (bytes.empty()) fail(HelperErrorCode::decodeFailed, "The source image is empty.");
  return inspectImage(ImageSource::createWithData(bytes), decodePixels ? PixelWork::decode : PixelWork::none,
                      drawnLongSide);
}

InspectedImage ImageInspector::inspect(ImageBytes&& bytes, bool decodePixels, const DrawnLongSide& drawnLongSide) const {
  if (bytes.empty()) fail(HelperErrorCode::decodeFailed, "The source image is empty.");
  return inspectImage(ImageSource::createWithData(std::move(bytes)),
                      decodePixels ? PixelWork::decode : PixelWork::none, drawnLongSide);
}

InspectedImage ImageInspector::inspectProvingDecode(std::span<const std::uint8_t> bytes) const {
  if (bytes.empty()) fail(HelperErrorCode::decodeFailed, "The source image is empty.");
  return inspectImage(ImageSource::createBorrowingData(bytes), PixelWork::prove, {});
}

InspectedImage ImageInspector::inspectImage(std::optional<ImageSource> created, PixelWork work,
                                            const DrawnLongSide& drawnLongSide) const {
  if (!created) fail(HelperErrorCode::decodeFailed, "The source is not a readable image.");
  ImageSource source = std::move(*created);
  const std::span<const std::uint8_t> bytes = source.data();
  const std::string typeIdentifier = source.type();
  if (typeIdentifier.empty()) fail(HelperErrorCode::decodeFailed, "The source image type could not be identified.");
  const std::size_t frameCount = source.count();
  if (frameCount < 1) fail(HelperErrorCode::decodeFailed, "The source image has no readable frames.");
  if (frameCount > static_cast<std::size_t>(HelperLimits::maximumFrames)) {
    fail(HelperErrorCode::resourceLimit, "The source image exceeds the frame limit.");
  }
  const std::optional<PropertyDictionary> properties = source.copyPropertiesAtIndex(0);
  if (!properties) fail(HelperErrorCode::decodeFailed, "The source image properties could not be read.");

  const std::optional<std::int64_t> width = ImagePropertyReader::positiveInteger(properties->find(ImagePropertyKey::pixelWidth));
  if (!width) fail(HelperErrorCode::decodeFailed, std::string("The source image ") + "width" + " is missing or invalid.");
  const std::optional<std::int64_t> height =
      ImagePropertyReader::positiveInteger(properties->find(ImagePropertyKey::pixelHeight));
  if (!height) fail(HelperErrorCode::decodeFailed, std::string("The source image ") + "height" + " is missing or invalid.");
  if (*width > HelperLimits::maximumResizeDimension || *height > HelperLimits::maximumResizeDimension ||
      *width > HelperLimits::maximumPixels / *height) {
    fail(HelperErrorCode::resourceLimit, "The source image exceeds the pixel limit.");
  }
  const std::optional<std::int64_t> orientation =
      ImagePropertyReader::orientation(properties->find(ImagePropertyKey::orientation));
  if (!orientation) fail(HelperErrorCode::decodeFailed, "The source image orientation is invalid.");
  const std::optional<std::int64_t> depthProperty =
      ImagePropertyReader::positiveInteger(properties->find(ImagePropertyKey::depth));
  const std::optional<bool> alphaProperty = ImagePropertyReader::boolean(properties->find(ImagePropertyKey::hasAlpha));
  const bool auxiliary = hasAuxiliaryImages(source);

  // Everything learnt from the pixels comes from the decoded frame's shape,
  // which a proof decode reports as a full decode does.
  std::optional<DecodedImage> decodedImage;
  std::optional<DecodedFrameShape> decoded;
  if (work == PixelWork::decode) {
    decodedImage = source.createImageAtIndex(0, drawnLongSide ? drawnLongSide(*width, *height, *orientation) : 0);
    if (decodedImage) decoded = DecodedFrameShape::of(*decodedImage);
  } else if (work == PixelWork::prove) {
    decoded = source.proveImageAtIndex(0);
  }
  if (work != PixelWork::none && !decoded) {
    fail(HelperErrorCode::decodeFailed, "The source image pixels could not be decoded.");
  }
  const std::int64_t bitsPerComponent = decoded ? static_cast<std::int64_t>(decoded->bitsPerComponent) : 0;
  const std::int64_t depth = std::max(depthProperty.value_or(0), bitsPerComponent);

  bool hasAlpha = false;
  if (alphaProperty.value_or(false)) {
    hasAlpha = true;
  } else if (decoded) {
    hasAlpha = alphaFromLayout(decoded->alphaInfo);
  }
  const std::optional<double> headroom = ImagePropertyReader::positiveDouble(properties->find(ImagePropertyKey::headroom));
  std::string colorSpaceName;
  if (decoded && decoded->colorSpace) colorSpaceName = lowercased(decoded->colorSpace->name());
  const bool hdrColorSpace =
      colorSpaceName.find("hlg") != std::string::npos || colorSpaceName.find("pq") != std::string::npos;
  const bool hasHdr = depth > 8 || (headroom && *headroom > 1.000001) || hdrColorSpace ||
                      source.copyAuxiliaryDataInfoAtIndex(0, AuxiliaryDataType::hdrGainMap).has_value();

  std::optional<std::string> profileName =
      ImagePropertyReader::profileName(properties->find(ImagePropertyKey::profileName));
  const bool hasIccProfile = embeddedIccProfileExists(bytes, typeIdentifier);
  std::optional<ImageBytes> profileData;
  if (decoded && hasIccProfile && decoded->colorSpace) profileData = decoded->colorSpace->copyIccData();
  bool embeddedProfileApplies = hasIccProfile;
  if (hasIccProfile && decoded && decoded->colorSpace && !profileData) {
    const std::optional<ColorSpaceModel> profileModel = source.embeddedProfileModel();
    embeddedProfileApplies = !profileModel || *profileModel == decoded->colorSpace->model();
  }

  MetadataAssessment metadata = assessMetadata(*properties, source);
  std::optional<ColorSpaceModel> colorModel;
  if (decoded && decoded->colorSpace) colorModel = decoded->colorSpace->model();

  ImageProbe probe;
  probe.family = "image";
  probe.uniformTypeIdentifier = typeIdentifier;
  probe.width = *width;
  probe.height = *height;
  probe.frameCount = 1;
  probe.orientation = *orientation;
  probe.hasAlpha = hasAlpha;
  probe.hasAuxiliaryImages = auxiliary;
  if (depth >= 1) probe.bitDepth = depth;
  probe.hasHdr = hasHdr;
  probe.hasIccProfile = hasIccProfile;
  probe.hasMetadata = metadata.hasMetadata();
  probe.hasUnsupportedMetadata = metadata.hasUnsupportedMetadata;
  return InspectedImage{std::move(source),      probe,           std::move(decodedImage), std::move(profileName),
                        std::move(profileData), embeddedProfileApplies, std::move(metadata), colorModel,
                        hdrColorSpace,          work == PixelWork::prove ? std::move(decoded) : std::nullopt};
}

}  // namespace quorvantelmic
