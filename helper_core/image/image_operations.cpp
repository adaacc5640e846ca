#include "helper_core/image/image_operations.hpp"

#include "helper_core/file_access/descriptor_digest.hpp"
#include "helper_core/protocol/helper_limits.hpp"

namespace quorvantelmic {

ConvertedImage ConvertedImage::fromBytes(std::span<const std::uint8_t> bytes) {
  return ConvertedImage{static_cast<std::int64_t>(bytes.size()), DescriptorDigest::sha256(bytes)};
}

ImageProbe ImageOperations::inspectImage(std::string_view sourcePath) const {
  return inspector.inspect(reader.readRegularFile(sourcePath, HelperLimits::maximumSourceBytes), true).probe;
}

ImageCapabilities ImageOperations::capabilities() const {
  std::vector<std::string> sources = boundedTypeIdentifiers(imageSourceTypeIdentifiers());
  std::vector<std::string> destinations = destinationTypeIdentifiersOverride
                                              ? *destinationTypeIdentifiersOverride
                                              : boundedTypeIdentifiers(imageDestinationTypeIdentifiers());
  if (historicalHeicFoundationEnabled) return ImageCapabilities{std::move(sources), std::move(destinations)};
  ImageCapabilities filtered;
  for (std::string& identifier : sources) {
    if (currentRasterSourceTypeIdentifiers().contains(identifier)) {
      filtered.sourceTypeIdentifiers.push_back(std::move(identifier));
    }
  }
  for (std::string& identifier : destinations) {
    if (currentRasterDestinationTypeIdentifiers().contains(identifier)) {
      filtered.destinationTypeIdentifiers.push_back(std::move(identifier));
    }
  }
  return filtered;
}

TypeIdentifierSet ImageOperations::acceptedSourceTypeIdentifiers() const {
  TypeIdentifierSet accepted = currentRasterSourceTypeIdentifiers();
  if (historicalHeicFoundationEnabled) {
    accepted.insert(retainedHistoricalHeicTypeIdentifiers().begin(), retainedHistoricalHeicTypeIdentifiers().end());
  }
  return accepted;
}

MetadataPolicy effectiveMetadataPolicy(MetadataPolicy requested, RasterTargetTypeIdentifier target) {
  if (target == RasterTargetTypeIdentifier::gif || target == RasterTargetTypeIdentifier::bmp) {
    return MetadataPolicy::remove;
  }
  return requested;
}

HelperResponse inspection(std::string requestId, ImageProbe probe) {
  HelperResponse response = HelperResponse::success(std::move(requestId), HelperOperation::inspectImage);
  response.probe = std::move(probe);
  return response;
}

HelperResponse conversion(std::string requestId, const ConvertedImage& result) {
  HelperResponse response = HelperResponse::success(std::move(requestId), HelperOperation::convertImage);
  response.byteLength = result.byteLength;
  response.sha256 = result.sha256;
  return response;
}

}  // namespace quorvantelmic
