#include "helper_core/image/encoded_output_validation.hpp"

#include <algorithm>

#include "helper_core/image/container_structure.hpp"
#include "helper_core/protocol/helper_error.hpp"

namespace quorvantelmic {
namespace {

constexpr int maximumComparisonDepth = 16;
constexpr std::size_t maximumComparedEntries = 4096;
constexpr std::size_t maximumComparedQualifiers = 256;

[[noreturn]] void refuse(RasterTargetTypeIdentifier target, std::string_view what) {
  throw HelperFault(HelperErrorCode::encodeFailed,
                    std::string("The encoded ") + std::string(formatName(target)) + " " + std::string(what));
}

template <typename T>
bool optionalsEqual(const std::optional<T>& a, const std::optional<T>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a.has_value() || *a == *b;
}

const PropertyValue* findKey(const PropertyDictionary& dictionary, const PropertyKey& key) {
  for (const auto& [entryKey, value] : dictionary.entries) {
    if (entryKey == key) return &value;
  }
  return nullptr;
}

}  // namespace

bool metadataValuesEqual(const PropertyValue& a, const PropertyValue& b, int depth) {
  if (depth > maximumComparisonDepth) return false;
  if (a.storage().index() != b.storage().index()) return false;
  if (const PropertyArray* left = a.asArray()) {
    const PropertyArray& right = *b.asArray();
    if (left->size() != right.size() || left->size() > maximumComparedEntries) return false;
    for (std::size_t index = 0; index < left->size(); ++index) {
      if (!metadataValuesEqual((*left)[index], right[index], depth + 1)) return false;
    }
    return true;
  }
  if (const PropertyDictionary* left = a.asDictionary()) {
    const PropertyDictionary& right = *b.asDictionary();
    if (left->size() != right.size() || left->size() > maximumComparedEntries) return false;
    for (const auto& [key, rightValue] : right.entries) {
      const PropertyValue* leftValue = findKey(*left, key);
      if (leftValue == nullptr || !metadataValuesEqual(*leftValue, rightValue, depth + 1)) return false;
    }
    return true;
  }
  return a == b;
}

bool metadataTagsEqual(const ImageMetadataTag& a, const ImageMetadataTag& b, int depth) {
  if (depth > maximumComparisonDepth) return false;
  if (!optionalsEqual(a.namespaceUri, b.namespaceUri) || !optionalsEqual(a.prefix, b.prefix) ||
      !optionalsEqual(a.name, b.name)) {
    return false;
  }
  if (a.type != b.type) return false;
  if (!a.value || !b.value || !metadataValuesEqual(*a.value, *b.value, depth + 1)) return false;
  if (a.qualifiers.size() != b.qualifiers.size() || a.qualifiers.size() > maximumComparedQualifiers) return false;
  for (std::size_t index = 0; index < a.qualifiers.size(); ++index) {
    if (!metadataTagsEqual(a.qualifiers[index], b.qualifiers[index], depth + 1)) return false;
  }
  return true;
}

void validateEncodedImage(std::span<const std::uint8_t> bytes, RasterTargetTypeIdentifier target,
                          const ImageProbe& expected, MetadataPolicy metadataPolicy,
                          const MetadataAssessment& requiredMetadata, bool allowsSanitizedMetadata,
                          const std::optional<std::string>& requiredProfileName) {
  if (!hasCompleteContainerSignature(bytes, target)) {
    throw HelperFault(HelperErrorCode::encodeFailed,
                      std::string("The encoded output is not a complete ") + std::string(formatName(target)) + " file.");
  }
  // The output is decoded at the least cost that still decodes all of its
  // compressed data, and no decoded frame is kept: each container's proof
  // decode (proveFrame0 in its unit, with its own reasons why it proves as
  // much as a full decode) refuses exactly what a full decode refuses and
  // reports the size it decoded. A JPEG is decoded at 1/8: libjpeg still
  // Huffman-decodes every coefficient of every block and scan, so a corrupt
  // code, a missing scan or a truncated stream raises the same warning or
  // error as a full decode; only the inverse transform shrinks to the DC
  // term. Its decoded size, the header's rounded up to whole eighths, is
  // checked against the header as a full decode's is.
  const InspectedImage output = ImageInspector().inspectProvingDecode(bytes);
  const ImageProbe& probe = output.probe;
  const std::int64_t reduction = target == RasterTargetTypeIdentifier::jpeg ? 8 : 1;
  const bool decodedSizeHolds =
      output.provenFrame.has_value() &&
      static_cast<std::int64_t>(output.provenFrame->width) == (probe.width + reduction - 1) / reduction &&
      static_cast<std::int64_t>(output.provenFrame->height) == (probe.height + reduction - 1) / reduction;
  const bool structureHolds = probe.uniformTypeIdentifier == rawValue(target) && probe.width == expected.width &&
                              probe.height == expected.height && probe.orientation == expected.orientation &&
                              probe.frameCount == 1 && probe.hasAlpha == expected.hasAlpha &&
                              !probe.hasAuxiliaryImages && !probe.hasHdr && probe.bitDepth.has_value() &&
                              *probe.bitDepth <= 8 && decodedSizeHolds;
  if (!structureHolds) refuse(target, "failed structural validation.");
  if (expected.hasIccProfile && !probe.hasIccProfile) refuse(target, "did not preserve its embedded color profile.");
  if (requiredProfileName && (!output.profileName || *output.profileName != *requiredProfileName)) {
    refuse(target, "did not preserve its color profile.");
  }
  const MetadataAssessment& found = output.metadata;
  if (metadataPolicy == MetadataPolicy::remove) {
    if (!found.supportedDictionaries.empty() || !found.supportedTags.empty() || found.hasUnsupportedMetadata) {
      refuse(target, "still contains removable metadata.");
    }
    return;
  }
  if (!allowsSanitizedMetadata && found.hasUnsupportedMetadata) refuse(target, "introduced unsupported metadata.");
  for (const auto& [name, required] : requiredMetadata.supportedDictionaries) {
    const auto match = found.supportedDictionaries.find(name);
    if (match == found.supportedDictionaries.end()) refuse(target, "did not preserve supported metadata dictionaries.");
    for (const auto& [key, value] : required.entries) {
      const PropertyValue* kept = findKey(match->second, key);
      if (kept == nullptr || !(*kept == value)) refuse(target, "did not preserve supported metadata dictionaries.");
    }
  }
  for (const auto& [key, value] : requiredMetadata.supportedTags) {
    const auto match = found.supportedTags.find(key);
    if (match == found.supportedTags.end() || !metadataValuesEqual(match->second, value, 0)) {
      refuse(target, "did not preserve supported metadata tags.");
    }
  }
}

}  // namespace quorvantelmic
