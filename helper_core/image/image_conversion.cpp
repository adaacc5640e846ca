// convert-image: from one inherited source to one staged output that has been
// validated twice (in memory and read back from disk).
#include <algorithm>
#include <cmath>

#include "helper_core/image/encoded_output_validation.hpp"
#include "helper_core/image/icc_profile_embedding.hpp"
#include "helper_core/image/image_operations.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"
#include "helper_core/protocol/inherited_descriptors.hpp"

namespace quorvantelmic {
namespace {

using Target = RasterTargetTypeIdentifier;

[[noreturn]] void fail(HelperErrorCode code, std::string message) { throw HelperFault(code, std::move(message)); }

std::string named(std::string_view before, Target target, std::string_view after) {
  return std::string(before) + std::string(formatName(target)) + std::string(after);
}

bool isOneOf(Target target, std::initializer_list<Target> targets) {
  return std::find(targets.begin(), targets.end(), target) != targets.end();
}

// Targets whose containers cannot carry alpha.
bool dropsAlpha(Target target) { return isOneOf(target, {Target::jpeg, Target::gif, Target::bmp}); }
// Targets that never carry metadata or a colour profile.
bool isBareTarget(Target target) { return isOneOf(target, {Target::gif, Target::bmp}); }

bool optionsAreValid(const ConvertImageOptions& options) {
  auto dimensionValid = [](const std::optional<std::int64_t>& value) {
    return !value || (*value >= 1 && *value <= HelperLimits::maximumResizeDimension);
  };
  return std::isfinite(options.quality) && options.quality >= HelperLimits::minimumImageQuality &&
         options.quality <= HelperLimits::maximumImageQuality && options.orientationPolicy == "preserve" &&
         dimensionValid(options.maximumWidth) && dimensionValid(options.maximumHeight);
}

bool layoutMatches(ImageAlphaInfo info, bool wantsAlpha) {
  if (wantsAlpha) return alphaInfoCarriesAlpha(info);
  return info == ImageAlphaInfo::none || info == ImageAlphaInfo::noneSkipLast || info == ImageAlphaInfo::noneSkipFirst;
}

void requireDrawableColorSpace(const std::shared_ptr<const ColorSpace>& colorSpace) {
  if (!colorSpace) fail(HelperErrorCode::decodeFailed, "The source color space could not be preserved while resizing.");
  if (colorSpace->model() != ColorSpaceModel::monochrome && colorSpace->model() != ColorSpaceModel::rgb) {
    fail(HelperErrorCode::unsupportedSource, "The source color model cannot be preserved while resizing.");
  }
}

}  // namespace

void ImageOperations::validateCandidateSource(const InspectedImage& source, Target target) const {
  if (!acceptedSourceTypeIdentifiers().contains(source.probe.uniformTypeIdentifier)) {
    fail(HelperErrorCode::unsupportedSource, "The image type is not accepted by this static-raster operation.");
  }
  if (source.probe.frameCount != 1) {
    fail(HelperErrorCode::unsupportedSource, "Multi-image or animated input is not accepted by this operation.");
  }
  const std::vector<std::string> destinations = capabilities().destinationTypeIdentifiers;
  if (std::find(destinations.begin(), destinations.end(), rawValue(target)) == destinations.end()) {
    fail(HelperErrorCode::encodeFailed, named("The runtime does not provide the required ", target, " encoder."));
  }
}

void ImageOperations::validateInheritedOutputPath(std::string_view outputPath, Target target) {
  if (!outputPath.starts_with(inheritedStagingPrefix)) return;
  const std::optional<StagedOutputExtension> extension = parseStagedOutputName(outputPath.substr(inheritedStagingPrefix.size()));
  if (!extension || !stagedNameFitsTarget(*extension, target)) {
    fail(HelperErrorCode::invalidRequest, "The staged output extension does not match the image target.");
  }
}

namespace {

struct FittedSize {
  std::int64_t width = 0;
  std::int64_t height = 0;
};

// The output's size: the oriented source scaled down, keeping its aspect, to
// fit the requested maximums.
FittedSize fittedSize(std::int64_t orientedWidth, std::int64_t orientedHeight, const ConvertImageOptions& options) {
  // The scale is kept as a fraction so that the sizes come out exactly.
  std::int64_t numerator = 1;
  std::int64_t denominator = 1;
  if (options.maximumWidth && *options.maximumWidth < orientedWidth) {
    numerator = *options.maximumWidth;
    denominator = orientedWidth;
  }
  if (options.maximumHeight && *options.maximumHeight < orientedHeight &&
      *options.maximumHeight * denominator < numerator * orientedHeight) {
    numerator = *options.maximumHeight;
    denominator = orientedHeight;
  }
  auto scaled = [&](std::int64_t extent, const std::optional<std::int64_t>& maximum) {
    const std::int64_t bound = maximum ? std::min(*maximum, extent) : extent;
    const std::int64_t size = (extent * numerator + denominator / 2) / denominator;
    return std::clamp<std::int64_t>(size, 1, std::max<std::int64_t>(bound, 1));
  };
  return FittedSize{scaled(orientedWidth, options.maximumWidth), scaled(orientedHeight, options.maximumHeight)};
}

// The longer side the conversion will draw a source of this stored size at,
// when that is at most half the source's own (below that a reduced decode
// saves nothing); otherwise 0, the full size.
std::size_t drawnLongSide(std::int64_t width, std::int64_t height, std::int64_t orientation,
                          const ConvertImageOptions& options) {
  const bool transposes = orientation >= 5 && orientation <= 8;
  const FittedSize fitted = fittedSize(transposes ? height : width, transposes ? width : height, options);
  const std::int64_t drawn = std::max(fitted.width, fitted.height);
  return drawn * 2 <= std::max(width, height) ? static_cast<std::size_t>(drawn) : 0;
}

}  // namespace

RasterOutputPlan ImageOperations::makeOutputPlan(const InspectedImage& source, const ConvertImageOptions& options) {
  const ImageProbe& probe = source.probe;
  const bool transposes = probe.orientation >= 5 && probe.orientation <= 8;
  const std::int64_t orientedWidth = transposes ? probe.height : probe.width;
  const std::int64_t orientedHeight = transposes ? probe.width : probe.height;
  const auto [width, height] = fittedSize(orientedWidth, orientedHeight, options);
  if (width > HelperLimits::maximumResizeDimension || height > HelperLimits::maximumResizeDimension ||
      HelperLimits::maximumPixels / height < width) {
    fail(HelperErrorCode::resourceLimit, "The resized image exceeds the output pixel limit.");
  }

  const Target target = options.targetTypeIdentifier;
  const bool passThrough =
      options.metadataPolicy == MetadataPolicy::preserve && width == orientedWidth && height == orientedHeight &&
      (probe.orientation == 1 || isOneOf(target, {Target::jpeg, Target::png, Target::tiff, Target::heic})) &&
      (!probe.hasAlpha || !dropsAlpha(target)) && !probe.hasAuxiliaryImages && !probe.hasHdr &&
      probe.bitDepth.has_value() && *probe.bitDepth <= 8 && targetHoldsSourceColorModel(source, target);
  if (passThrough) return RasterOutputPlan{probe.width, probe.height, probe.orientation, false};
  return RasterOutputPlan{width, height, 1, true};
}

PropertyDictionary ImageOperations::encodingProperties(double quality, std::int64_t orientation, Target target) {
  PropertyDictionary properties;
  properties.set(PropertyKey(std::string(ImagePropertyKey::orientation)),
                 PropertyValue::number(static_cast<double>(orientation)));
  if (isOneOf(target, {Target::jpeg, Target::avif, Target::heic})) {
    properties.set(PropertyKey(std::string(ImageDestinationOption::lossyCompressionQuality)),
                   PropertyValue::number(quality));
  }
  return properties;
}

bool ImageOperations::targetHoldsSourceColorModel(const InspectedImage& source, Target target) {
  if (!source.colorModel) return true;
  switch (*source.colorModel) {
    case ColorSpaceModel::monochrome:
    case ColorSpaceModel::rgb: return true;
    case ColorSpaceModel::cmyk: return isOneOf(target, {Target::jpeg, Target::tiff});
    case ColorSpaceModel::lab: return target == Target::tiff;
    default: return false;
  }
}

bool ImageOperations::keepsSourceColorSpace(const InspectedImage& source, Target target, const RasterOutputPlan& plan) {
  if (source.hdrColorSpace || !targetHoldsSourceColorModel(source, target)) return false;
  if (!source.colorModel || *source.colorModel == ColorSpaceModel::monochrome || *source.colorModel == ColorSpaceModel::rgb) {
    return true;
  }
  const bool transposes = source.probe.orientation >= 5 && source.probe.orientation <= 8;
  return plan.width == (transposes ? source.probe.height : source.probe.width) &&
         plan.height == (transposes ? source.probe.width : source.probe.height);
}

DecodedImage ImageOperations::createTransformedImage(InspectedImage& source, std::int64_t width,
                                                     std::int64_t height, bool hasAlpha, bool rendersInSrgb) {
  ThumbnailOptions thumbnailOptions;
  thumbnailOptions.createThumbnailFromImageAlways = true;
  thumbnailOptions.createThumbnailWithTransform = true;
  // The rendering is asked for at the output's longer side rather than at
  // full size: a downscale then needs no full-size oriented copy and no second
  // resampling pass, and when its rounding gives exactly the planned size the
  // rendering is encoded as it is. Any other size is drawn below.
  thumbnailOptions.thumbnailMaxPixelSize = static_cast<std::size_t>(
      std::min(std::max(width, height), std::max(source.probe.width, source.probe.height)));
  std::optional<DecodedImage> thumbnail;
  if (source.decodedImage) {
    DecodedImage frame = std::move(*source.decodedImage);
    source.decodedImage.reset();
    thumbnail = source.source.createThumbnailFromFrame(std::move(frame), thumbnailOptions);
  } else {
    thumbnail = source.source.createThumbnailAtIndex(0, thumbnailOptions);
  }
  if (!thumbnail) fail(HelperErrorCode::decodeFailed, "The source orientation could not be applied safely.");
  const auto requestedWidth = static_cast<std::size_t>(width);
  const auto requestedHeight = static_cast<std::size_t>(height);
  // A resize must be drawn in the source's own colour space, and only grey
  // and RGB can be drawn; the smaller rendering above does not change that.
  const bool transposes = source.probe.orientation >= 5 && source.probe.orientation <= 8;
  const bool resizes = width != (transposes ? source.probe.height : source.probe.width) ||
                       height != (transposes ? source.probe.width : source.probe.height);
  if (resizes && !rendersInSrgb) requireDrawableColorSpace(thumbnail->colorSpace());
  const bool drawable = thumbnail->colorSpace() && (thumbnail->colorSpace()->model() == ColorSpaceModel::monochrome ||
                                                    thumbnail->colorSpace()->model() == ColorSpaceModel::rgb);
  // A space the output cannot keep (CMYK, Lab, an HLG or PQ transfer) is
  // converted through its own profile (or the device formula) into sRGB, the
  // space an untagged output stands for.
  const bool toSrgb = rendersInSrgb && (!drawable || source.hdrColorSpace);
  if (thumbnail->width() == requestedWidth && thumbnail->height() == requestedHeight &&
      thumbnail->bitsPerComponent() <= 8 && layoutMatches(thumbnail->alphaInfo(), hasAlpha) && !toSrgb) {
    return std::move(*thumbnail);
  }
  const std::shared_ptr<const ColorSpace> colorSpace = toSrgb ? ColorSpace::srgb() : thumbnail->colorSpace();
  requireDrawableColorSpace(colorSpace);
  std::size_t bytesPerRow = 0;
  ImageAlphaInfo layout = ImageAlphaInfo::none;
  switch (colorSpace->model()) {
    case ColorSpaceModel::monochrome:
      bytesPerRow = hasAlpha ? 2 * requestedWidth : requestedWidth;
      layout = hasAlpha ? ImageAlphaInfo::premultipliedLast : ImageAlphaInfo::none;
      break;
    case ColorSpaceModel::rgb:
      bytesPerRow = 4 * requestedWidth;
      layout = hasAlpha ? ImageAlphaInfo::premultipliedLast : ImageAlphaInfo::noneSkipLast;
      break;
    default:
      break;
  }
  std::optional<BitmapContext> context =
      BitmapContext::create(requestedWidth, requestedHeight, 8, bytesPerRow, colorSpace, layout);
  if (!context) fail(HelperErrorCode::decodeFailed, "The resized source pixels could not be rendered safely.");
  context->setInterpolationQuality(InterpolationQuality::high);
  const ImageRect bounds{0, 0, static_cast<double>(requestedWidth), static_cast<double>(requestedHeight)};
  if (hasAlpha) {
    context->setBlendMode(BlendMode::copy);
  } else {
    // Transparent pixels land on opaque white, never on black.
    context->setGrayFillColor(1, 1);
    context->fillRect(bounds);
    context->setBlendMode(BlendMode::normal);
  }
  if (!context->drawImage(bounds, *thumbnail)) {
    fail(HelperErrorCode::decodeFailed, "The resized source pixels could not be rendered safely.");
  }
  thumbnail.reset();
  std::optional<DecodedImage> rendered = std::move(*context).createImage();
  if (!rendered) fail(HelperErrorCode::decodeFailed, "The resized source pixels could not be finalized safely.");
  return std::move(*rendered);
}

ImageBytes ImageOperations::encodeImage(InspectedImage& inspected, const ConvertImageOptions& options,
                                        const RasterOutputPlan& plan, bool* transparencyKept) const {
  const Target target = options.targetTypeIdentifier;
  const bool keepsColorSpace = keepsSourceColorSpace(inspected, target, plan);
  std::optional<ImageDestination> destination = ImageDestination::createWithData(rawValue(target), 1);
  if (!destination) fail(HelperErrorCode::encodeFailed, named("The ", target, " encoder could not be created."));

  std::optional<DecodedImage> rendered;
  if (plan.requiresRendering) {
    rendered = createTransformedImage(inspected, plan.width, plan.height,
                                      !dropsAlpha(target) && inspected.probe.hasAlpha, !keepsColorSpace);
  } else if (!inspected.decodedImage) {
    fail(HelperErrorCode::decodeFailed, "The source pixels were unavailable for conversion.");
  }
  const DecodedImage& image = rendered ? *rendered : *inspected.decodedImage;
  if (transparencyKept != nullptr) {
    *transparencyKept = !dropsAlpha(target) && inspected.probe.hasAlpha &&
                        (target != Target::avif || hasTransparentPixels(image));
  }

  const PropertyDictionary properties = encodingProperties(options.quality, plan.orientation, target);
  std::optional<ImageMetadata> metadata;
  if (!isBareTarget(target) && options.metadataPolicy == MetadataPolicy::preserve &&
      !inspected.metadata.hasUnsupportedMetadata) {
    metadata = inspected.source.copyMetadataAtIndex(0);
  }
  if (metadata) {
    destination->addImageAndMetadata(image, *metadata, properties);
  } else {
    destination->addImage(image, properties);
  }
  // The destination holds the frame now, and lets it go as soon as its
  // encoder has no more use for it: before a TIFF's metadata is written into
  // a copy of the file, and before a profile is embedded into a copy of the
  // output below.
  rendered.reset();
  inspected.decodedImage.reset();
  if (!destination->finalize()) fail(HelperErrorCode::encodeFailed, named("The ", target, " encoder did not produce an output."));
  ImageBytes output = destination->takeData();
  if (output.empty()) fail(HelperErrorCode::resourceLimit, "The encoded output exceeds the byte limit.");

  if (!isBareTarget(target) && inspected.embeddedProfileApplies && keepsColorSpace) {
    if (!inspected.profileData || inspected.profileData->empty()) {
      fail(HelperErrorCode::unsupportedSource, "The embedded color profile could not be preserved safely.");
    }
    if (target == Target::png) {
      output = pngByEmbeddingIccProfile(*inspected.profileData, output);
    } else if (target == Target::jpeg) {
      if (!inspector.inspect(output, false).probe.hasIccProfile) {
        output = jpegByEmbeddingIccProfile(*inspected.profileData, output);
      }
    }
  }
  if (output.size() > static_cast<std::size_t>(HelperLimits::maximumOutputBytes)) {
    fail(HelperErrorCode::resourceLimit, "The encoded output exceeds the byte limit.");
  }
  return output;
}

ConvertedImage ImageOperations::convertImage(std::string_view sourcePath, std::string_view outputPath,
                                             const ConvertImageOptions& options) const {
  if (!optionsAreValid(options)) fail(HelperErrorCode::invalidRequest, "The conversion options are invalid.");
  const Target target = options.targetTypeIdentifier;
  if (target == Target::heic && !historicalHeicFoundationEnabled) {
    fail(HelperErrorCode::unsupportedSource, "HEIC output is not part of the current static-raster operation.");
  }
  // Everything the two validations need of the source is copied out, so that
  // the source, its decoder and its decoded frame are gone before the output
  // is checked, written and read back.
  struct Encoded {
    ImageBytes output;
    ImageProbe expected;
    MetadataAssessment required;
    std::optional<std::string> requiredProfileName;
    bool allowsSanitized = false;
  };
  const Encoded encoded = [&] {
    // The image source keeps the bytes read, without a copy. A large
    // downscale decodes at a reduced size where the codec can.
    InspectedImage source = inspector.inspect(
        reader.readRegularFile(sourcePath, HelperLimits::maximumSourceBytes), true,
        [&](std::int64_t width, std::int64_t height, std::int64_t orientation) {
          return drawnLongSide(width, height, orientation, options);
        });
    Encoded result;
    if (!source.metadata.hasUnsupportedMetadata) {
      result.required.supportedDictionaries = source.metadata.supportedDictionaries;
      result.required.supportedTags = source.metadata.supportedTags;
    }
    validateCandidateSource(source, target);
    validateInheritedOutputPath(outputPath, target);
    const RasterOutputPlan plan = makeOutputPlan(source, options);
    // Both decided before the encoding lets the decoded frame go.
    const bool keepsProfile =
        !isBareTarget(target) && source.embeddedProfileApplies && keepsSourceColorSpace(source, target, plan);
    bool transparencyKept = false;
    result.output = encodeImage(source, options, plan, &transparencyKept);

    ImageProbe& expected = result.expected;
    expected.family = "image";
    expected.uniformTypeIdentifier = std::string(rawValue(target));
    expected.width = plan.width;
    expected.height = plan.height;
    expected.orientation = plan.orientation;
    expected.frameCount = 1;
    expected.hasAlpha = transparencyKept;
    expected.hasAuxiliaryImages = false;
    expected.bitDepth = 8;
    expected.hasHdr = false;
    // A profile survives only with the pixels it describes: a space drawn
    // into sRGB leaves its profile behind, and a profile of another colour
    // model than the pixels never described them.
    expected.hasIccProfile = keepsProfile;
    if (keepsProfile) result.requiredProfileName = source.profileName;
    result.allowsSanitized = source.metadata.hasUnsupportedMetadata;
    return result;
  }();
  const MetadataPolicy policy = effectiveMetadataPolicy(options.metadataPolicy, target);
  const ImageBytes& output = encoded.output;

  auto validate = [&](std::span<const std::uint8_t> bytes) {
    validateEncodedImage(bytes, target, encoded.expected, policy, encoded.required, encoded.allowsSanitized,
                         encoded.requiredProfileName);
  };
  validate(output);
  writer.write(output, outputPath, validate);
  return ConvertedImage::fromBytes(output);
}

ConvertedImage ImageOperations::convertHEICToJPEG(std::string_view sourcePath, std::string_view outputPath,
                                                  const ConvertImageOptions& options) const {
  ConvertImageOptions jpegOptions = options;
  jpegOptions.targetTypeIdentifier = Target::jpeg;
  return convertImage(sourcePath, outputPath, jpegOptions);
}

}  // namespace quorvantelmic
