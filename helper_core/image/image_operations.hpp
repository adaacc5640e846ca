// The value that carries the image operations: inspect-image, capabilities and
// convert-image, plus the response constructors of the first and last.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "helper_core/file_access/exclusive_output_writer.hpp"
#include "helper_core/file_access/secure_file_reader.hpp"
#include "helper_core/image/image_probing.hpp"
#include "helper_core/image/raster_types.hpp"
#include "helper_core/protocol/helper_request.hpp"
#include "helper_core/protocol/helper_response.hpp"
#include "helper_core/protocol/wire_records.hpp"

namespace quorvantelmic {

struct ImageCapabilities {
  std::vector<std::string> sourceTypeIdentifiers;
  std::vector<std::string> destinationTypeIdentifiers;

  friend bool operator==(const ImageCapabilities&, const ImageCapabilities&) = default;
};

// What the planning step decided: the pixel size and orientation to encode,
// and whether new pixels must be drawn (false: the decoded frame is encoded
// unchanged).
struct RasterOutputPlan {
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::int64_t orientation = 1;
  bool requiresRendering = false;

  friend bool operator==(const RasterOutputPlan&, const RasterOutputPlan&) = default;
};

struct ConvertedImage {
  std::int64_t byteLength = 0;
  std::string sha256;

  static ConvertedImage fromBytes(std::span<const std::uint8_t> bytes);
  friend bool operator==(const ConvertedImage&, const ConvertedImage&) = default;
};

class ImageOperations {
 public:
  // The running helper's value: sources through descriptor 3, outputs into the
  // directory on descriptor 4, the system's destination list, no HEIC.
  ImageOperations() : reader(3), writer(4) {}
  ImageOperations(SecureFileReader sourceReader, ExclusiveOutputWriter outputWriter,
                  std::optional<std::vector<std::string>> destinationOverride = std::nullopt,
                  bool historicalHeic = false)
      : reader(std::move(sourceReader)),
        writer(outputWriter),
        destinationTypeIdentifiersOverride(std::move(destinationOverride)),
        historicalHeicFoundationEnabled(historicalHeic) {}

  // Reads the source (at most 536870912 bytes), inspects it with its pixels
  // decoded and returns the probe. Reader and inspector faults pass through.
  ImageProbe inspectImage(std::string_view sourcePath) const;

  // The readable and writable type identifiers of this system, bounded and,
  // unless historical HEIC support is on, filtered through the current sets.
  ImageCapabilities capabilities() const;

  // The type identifiers a conversion accepts as its source.
  TypeIdentifierSet acceptedSourceTypeIdentifiers() const;

  // convert-image: read, inspect, plan, encode, restore a dropped colour
  // profile, validate, write exclusively, validate the read-back bytes again.
  ConvertedImage convertImage(std::string_view sourcePath, std::string_view outputPath,
                              const ConvertImageOptions& options) const;
  // The same with the target replaced by JPEG.
  ConvertedImage convertHEICToJPEG(std::string_view sourcePath, std::string_view outputPath,
                                   const ConvertImageOptions& options) const;

  // The conversion's steps, callable on their own.
  void validateCandidateSource(const InspectedImage& source, RasterTargetTypeIdentifier target) const;
  static void validateInheritedOutputPath(std::string_view outputPath, RasterTargetTypeIdentifier target);
  static RasterOutputPlan makeOutputPlan(const InspectedImage& source, const ConvertImageOptions& options);
  static PropertyDictionary encodingProperties(double quality, std::int64_t orientation,
                                               RasterTargetTypeIdentifier target);
  // A rendered output is drawn from the inspection's decoded frame, which it
  // takes out of `inspected` and lets go once its pixels are copied.
  // `transparencyKept`, when given, is set to whether the output carries
  // alpha: the source's, unless the target drops alpha or (AVIF) the image
  // encoded is opaque everywhere.
  ImageBytes encodeImage(InspectedImage& inspected, const ConvertImageOptions& options, const RasterOutputPlan& plan,
                         bool* transparencyKept = nullptr) const;
  // Frame 0 with its orientation applied, at the given size, 8 bits per
  // component, on white unless alpha is kept; drawn into sRGB when
  // `rendersInSrgb` (a CMYK or Lab source for a target that cannot hold it).
  static DecodedImage createTransformedImage(InspectedImage& source, std::int64_t width, std::int64_t height,
                                             bool hasAlpha, bool rendersInSrgb = false);
  // Whether the target's container keeps pixels of the source's colour model
  // as they are, and so its colour profile with them.
  static bool targetHoldsSourceColorModel(const InspectedImage& source, RasterTargetTypeIdentifier target);
  // Whether the output holds the source's pixels in the source's own colour
  // space, and so can carry its embedded profile: the target holds the model,
  // a CMYK or Lab source keeps its size (resampling is done in grey or RGB
  // only, so a resized CMYK or Lab image is drawn in sRGB for every target
  // alike), and the space has no HLG or PQ transfer (an 8-bit output cannot
  // stand for that range, so it is drawn in sRGB).
  static bool keepsSourceColorSpace(const InspectedImage& source, RasterTargetTypeIdentifier target,
                                    const RasterOutputPlan& plan);

  SecureFileReader reader;
  ImageInspector inspector;
  ExclusiveOutputWriter writer;
  std::optional<std::vector<std::string>> destinationTypeIdentifiersOverride;
  bool historicalHeicFoundationEnabled = false;
};

// GIF and BMP never carry metadata, whatever the request asks.
MetadataPolicy effectiveMetadataPolicy(MetadataPolicy requested, RasterTargetTypeIdentifier target);

HelperResponse inspection(std::string requestId, ImageProbe probe);
HelperResponse conversion(std::string requestId, const ConvertedImage& result);

}  // namespace quorvantelmic
