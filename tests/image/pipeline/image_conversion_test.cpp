#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "helper_core/file_access/descriptor_digest.hpp"
#include "helper_core/image/image_operations.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "tests/image/pipeline/pipeline_test_support.hpp"

namespace quorvantelmic {
namespace {

using testing::ConversionRig;
using testing::fixtureBytes;
using testing::fixturePath;
using testing::optionsFor;
using Target = RasterTargetTypeIdentifier;

constexpr std::array<Target, 6> currentTargets = {Target::jpeg, Target::png, Target::tiff,
                                                  Target::avif, Target::gif, Target::bmp};
constexpr std::array<Target, 4> metadataTargets = {Target::jpeg, Target::png, Target::tiff, Target::avif};

std::string nameOf(Target target) { return std::string(formatName(target)); }

struct Converted {
  ConvertedImage result;
  std::string file;
  std::vector<std::uint8_t> bytes;
  ImageProbe probe;
  MetadataAssessment metadata;
  std::optional<std::string> profileName;
};

Converted convert(const std::string& fixture, const ConvertImageOptions& options) {
  ConversionRig rig(fixturePath(fixture));
  Converted converted;
  converted.result = rig.convert(options, &converted.file);
  converted.bytes = testing_support::bytesOf(testing_support::readFile(converted.file));
  InspectedImage inspected = testing::inspectBytes(converted.bytes);
  converted.probe = inspected.probe;
  converted.metadata = inspected.metadata;
  converted.profileName = inspected.profileName;
  // The staged file outlives the rig's directory only as a copy.
  converted.file.clear();
  return converted;
}

HelperFault conversionFault(ConversionRig& rig, const ConvertImageOptions& options,
                            std::optional<std::string> path = std::nullopt) {
  const std::string output = path ? *path : rig.stagedPath(rawValue(outputExtension(options.targetTypeIdentifier)));
  try {
    (void)rig.operations().convertImage("/dev/fd/3", output, options);
  } catch (const HelperFault& fault) {
    EXPECT_TRUE(rig.entries().empty()) << "an output was left behind for " << fault.message();
    return fault;
  }
  ADD_FAILURE() << "the conversion succeeded";
  return HelperFault(HelperErrorCode::internalError, "");
}

// The 8-bit RGBA value at (x, y) of an image file, from the top left as stored.
std::array<int, 4> rgbaAt(const std::vector<std::uint8_t>& bytes, std::size_t x, std::size_t y) {
  const std::optional<ImageSource> source = ImageSource::createWithData(bytes);
  if (!source) return {-1, -1, -1, -1};
  const std::optional<DecodedImage> plain = source->createThumbnailAtIndex(0, ThumbnailOptions{});
  if (!plain) return {-1, -1, -1, -1};
  const std::size_t components = plain->componentsPerPixel();
  const std::uint8_t* pixel = plain->pixels().data() + y * plain->bytesPerRow() + x * components;
  if (components <= 2) return {pixel[0], pixel[0], pixel[0], components == 2 ? pixel[1] : 255};
  return {pixel[0], pixel[1], pixel[2], components == 4 ? pixel[3] : 255};
}

bool near(const std::array<int, 4>& actual, const std::array<int, 4>& expected, int tolerance) {
  for (std::size_t i = 0; i < 4; ++i) {
    if (std::abs(actual[i] - expected[i]) > tolerance) return false;
  }
  return true;
}

std::string show(const std::array<int, 4>& v) {
  return std::to_string(v[0]) + "," + std::to_string(v[1]) + "," + std::to_string(v[2]) + "," + std::to_string(v[3]);
}

double exposureOf(const Converted& output);

// --- options, targets and output paths -------------------------------------

TEST(ImageConversionRefusal, OptionsOutOfRangeAreRefusedBeforeAnythingIsRead) {
  ConversionRig rig(fixturePath("pipeline/gps-exposure.jpg"));
  const HelperFault invalid(HelperErrorCode::invalidRequest, "The conversion options are invalid.");
  std::vector<ConvertImageOptions> bad(7, optionsFor(Target::jpeg));
  bad[0].quality = 0.59;
  bad[1].quality = 1.01;
  bad[2].quality = std::numeric_limits<double>::quiet_NaN();
  bad[3].orientationPolicy = "remove";
  bad[4].maximumWidth = 0;
  bad[5].maximumHeight = 1000001;
  bad[6].maximumWidth = -5;
  for (const ConvertImageOptions& options : bad) EXPECT_EQ(conversionFault(rig, options), invalid);
  for (const double quality : {0.6, 1.0}) {
    ConvertImageOptions edge = optionsFor(Target::jpeg);
    edge.quality = quality;
    edge.maximumWidth = 1000000;
    EXPECT_NO_THROW(rig.convert(edge)) << quality;
  }
}

TEST(ImageConversionRefusal, HeicIsOffByDefaultAndHasNoEncoderWhenTurnedOn) {
  ConversionRig jpegSource(fixturePath("pipeline/gps-exposure.jpg"));
  EXPECT_EQ(conversionFault(jpegSource, optionsFor(Target::heic)),
            HelperFault(HelperErrorCode::unsupportedSource,
                        "HEIC output is not part of the current static-raster operation."));
  ConversionRig heicSource(fixturePath("images/still.heic"));
  EXPECT_EQ(conversionFault(heicSource, optionsFor(Target::png)),
            HelperFault(HelperErrorCode::unsupportedSource,
                        "The image type is not accepted by this static-raster operation."));

  ConversionRig historical(fixturePath("images/still.heic"), true);
  EXPECT_EQ(conversionFault(historical, optionsFor(Target::heic)),
            HelperFault(HelperErrorCode::encodeFailed, "The runtime does not provide the required HEIC encoder."));
  const ConvertedImage jpeg =
      historical.operations().convertHEICToJPEG("/dev/fd/3", historical.stagedPath("jpg"), optionsFor(Target::png));
  EXPECT_GT(jpeg.byteLength, 0);
}

TEST(ImageConversionRefusal, ATargetMissingFromTheDestinationListIsRefused) {
  ConversionRig rig(fixturePath("pipeline/gps-exposure.jpg"), false, std::vector<std::string>{"public.png"});
  EXPECT_EQ(conversionFault(rig, optionsFor(Target::jpeg)),
            HelperFault(HelperErrorCode::encodeFailed, "The runtime does not provide the required JPEG encoder."));
  EXPECT_NO_THROW(rig.convert(optionsFor(Target::png)));
}

TEST(ImageConversionRefusal, StagedNamesMustCarryTheTargetsExtensionAndAreNeverReplaced) {
  ConversionRig rig(fixturePath("pipeline/gps-exposure.jpg"));
  const HelperFault mismatch(HelperErrorCode::invalidRequest,
                             "The staged output extension does not match the image target.");
  EXPECT_EQ(conversionFault(rig, optionsFor(Target::jpeg), rig.stagedPath("png")), mismatch);
  EXPECT_EQ(conversionFault(rig, optionsFor(Target::jpeg), rig.stagedPath("jpeg")), mismatch);
  EXPECT_EQ(conversionFault(rig, optionsFor(Target::tiff), std::string("/dev/fd/4/picture.tiff")), mismatch);

  const std::string path = rig.stagedPath("png");
  (void)rig.operations().convertImage("/dev/fd/3", path, optionsFor(Target::png));
  try {
    (void)rig.operations().convertImage("/dev/fd/3", path, optionsFor(Target::png));
    ADD_FAILURE() << "an existing output was replaced";
  } catch (const HelperFault& fault) {
    EXPECT_EQ(fault.code(), HelperErrorCode::outputExists);
  }
  EXPECT_EQ(rig.entries().size(), 1u);
}

TEST(ImageConversionRefusal, AnimatedOversizedAndUnrenderableSourcesWriteNothing) {
  ConversionRig animated(fixturePath("pipeline/two-frames.gif"));
  EXPECT_EQ(conversionFault(animated, optionsFor(Target::png)),
            HelperFault(HelperErrorCode::resourceLimit, "The source image exceeds the frame limit."));
  ConversionRig bomb(fixturePath("pipeline/bomb-10001x10000.png"));
  EXPECT_EQ(conversionFault(bomb, optionsFor(Target::jpeg)),
            HelperFault(HelperErrorCode::resourceLimit, "The source image exceeds the pixel limit."));
}

TEST(ImageConversionMetadata, TiffPictureTagsAndIptcSurviveFromATiffSource) {
  // ImageMagick's TIFF keeps white point, chromaticities and page number
  // among its own image tags, beside EXIF, GPS, IPTC and XMP.
  for (const Target target : {Target::tiff, Target::jpeg, Target::png}) {
    ConversionRig rig(fixturePath("images/photo-metadata.tiff"));
    std::string file;
    rig.convert(optionsFor(target), &file);
    EXPECT_EQ(testing::exiftoolTag(file, "WhitePoint"), "0.3127000034 0.3289999962") << nameOf(target);
    EXPECT_EQ(testing::exiftoolTag(file, "PageNumber"), "0 1") << nameOf(target);
    EXPECT_EQ(testing::exiftoolTag(file, "ObjectName"), "Tower") << nameOf(target);
    EXPECT_EQ(testing::exiftoolTag(file, "ExposureTime"), "0.008") << nameOf(target);
  }
}

TEST(ImageConversionRefusal, AnOutputThatFailsValidationIsNeverWritten) {
  // The AVIF writer has no place for IPTC records: keeping them cannot be
  // proven, so the conversion refuses instead of dropping them.
  ConversionRig rig(fixturePath("images/photo-metadata.tiff"));
  EXPECT_EQ(conversionFault(rig, optionsFor(Target::avif)),
            HelperFault(HelperErrorCode::encodeFailed,
                        "The encoded AVIF did not preserve supported metadata dictionaries."));
  // With the metadata removed the same source converts, and so does the
  // source without its IPTC: nothing else stands in the way.
  EXPECT_NO_THROW(rig.convert(optionsFor(Target::avif, MetadataPolicy::remove)));
  const std::string withoutIptc = (rig.directory().path() / "without-iptc.tiff").string();
  ASSERT_EQ(std::system(("cp '" + fixturePath("images/photo-metadata.tiff") + "' '" + withoutIptc +
                         "' && exiftool -q -q -overwrite_original -IPTC:all= '" + withoutIptc + "'")
                            .c_str()),
            0);
  ConversionRig plain(withoutIptc);
  EXPECT_NO_THROW(plain.convert(optionsFor(Target::avif)));
}

TEST(ImageConversionRefusal, MalformedSourceMetadataStillConvertsOrFailsCleanly) {
  for (const Target target : currentTargets) {
    ConversionRig rig(fixturePath("pipeline/broken-exif.jpg"));
    for (const MetadataPolicy policy : {MetadataPolicy::preserve, MetadataPolicy::remove}) {
      try {
        std::string file;
        rig.convert(optionsFor(target, policy), &file);
        EXPECT_EQ(testing_support::lstatOf(file).st_mode & 07777, 0400u);
      } catch (const HelperFault& fault) {
        EXPECT_NE(fault.code(), HelperErrorCode::internalError) << nameOf(target);
      }
    }
  }
}

// --- planning ----------------------------------------------------------------

InspectedImage header(const std::string& fixture) { return ImageInspector().inspect(fixtureBytes(fixture), false); }

TEST(ImageConversionPlan, SizesComeFromTheSmallerRatioRoundedHalfUp) {
  const InspectedImage landscape = header("pipeline/landscape.jpg");
  ConvertImageOptions options = optionsFor(Target::jpeg);
  options.maximumWidth = 1000;
  options.maximumHeight = 1000;
  EXPECT_EQ(ImageOperations::makeOutputPlan(landscape, options), (RasterOutputPlan{1000, 750, 1, true}));
  options.maximumWidth.reset();
  options.maximumHeight = 600;
  EXPECT_EQ(ImageOperations::makeOutputPlan(landscape, options), (RasterOutputPlan{800, 600, 1, true}));
  options.maximumWidth = 999;
  options.maximumHeight.reset();
  EXPECT_EQ(ImageOperations::makeOutputPlan(landscape, options), (RasterOutputPlan{999, 749, 1, true}));
  options.maximumWidth = 5000;
  options.maximumHeight = 3000;
  EXPECT_EQ(ImageOperations::makeOutputPlan(landscape, options), (RasterOutputPlan{4000, 3000, 1, false}));
  options.maximumWidth = 1;
  options.maximumHeight = 1;
  EXPECT_EQ(ImageOperations::makeOutputPlan(landscape, options), (RasterOutputPlan{1, 1, 1, true}));
}

TEST(ImageConversionPlan, OrientationIsKeptOnlyWhereTheTargetCarriesItAndMetadataIsKept) {
  const InspectedImage portrait = header("pipeline/portrait-6.jpg");
  for (const Target target : {Target::jpeg, Target::png, Target::tiff}) {
    EXPECT_EQ(ImageOperations::makeOutputPlan(portrait, optionsFor(target)), (RasterOutputPlan{4000, 3000, 6, false}))
        << nameOf(target);
  }
  for (const Target target : {Target::avif, Target::gif, Target::bmp}) {
    EXPECT_EQ(ImageOperations::makeOutputPlan(portrait, optionsFor(target)), (RasterOutputPlan{3000, 4000, 1, true}))
        << nameOf(target);
  }
  for (const Target target : currentTargets) {
    EXPECT_EQ(ImageOperations::makeOutputPlan(portrait, optionsFor(target, MetadataPolicy::remove)),
              (RasterOutputPlan{3000, 4000, 1, true}))
        << nameOf(target);
  }
  ConvertImageOptions bounded = optionsFor(Target::png);
  bounded.maximumHeight = 2000;  // of the upright 3000 x 4000
  EXPECT_EQ(ImageOperations::makeOutputPlan(portrait, bounded), (RasterOutputPlan{1500, 2000, 1, true}));
}

TEST(ImageConversionPlan, AlphaDepthAndHdrForceRendering) {
  EXPECT_TRUE(ImageOperations::makeOutputPlan(header("pipeline/alpha.png"), optionsFor(Target::jpeg)).requiresRendering);
  EXPECT_FALSE(ImageOperations::makeOutputPlan(header("pipeline/alpha.png"), optionsFor(Target::tiff)).requiresRendering);
  EXPECT_TRUE(ImageOperations::makeOutputPlan(header("images/rgb16.png"), optionsFor(Target::png)).requiresRendering);
  // A PQ transfer is known only from the decoded frame's colour space.
  EXPECT_TRUE(ImageOperations::makeOutputPlan(testing::inspectBytes(fixtureBytes("pipeline/hdr-pq8.avif")),
                                              optionsFor(Target::png))
                  .requiresRendering);
}

TEST(ImageConversionPlan, EncodingPropertiesCarryOrientationAndQualityOnlyForLossyTargets) {
  const PropertyDictionary jpeg = ImageOperations::encodingProperties(0.75, 6, Target::jpeg);
  EXPECT_EQ(jpeg.size(), 2u);
  EXPECT_EQ(*jpeg.find(ImagePropertyKey::orientation), PropertyValue::number(6));
  EXPECT_EQ(*jpeg.find(ImageDestinationOption::lossyCompressionQuality), PropertyValue::number(0.75));
  EXPECT_EQ(ImageOperations::encodingProperties(0.75, 1, Target::avif).size(), 2u);
  const PropertyDictionary png = ImageOperations::encodingProperties(0.75, 3, Target::png);
  EXPECT_EQ(png.size(), 1u);
  EXPECT_EQ(*png.find(ImagePropertyKey::orientation), PropertyValue::number(3));
}

// --- orientation, alpha and depth -------------------------------------------

TEST(ImageConversionPixels, APortraitIsKeptAsStoredForPngAndRenderedUprightForAvif) {
  const Converted png = convert("pipeline/portrait-6.jpg", optionsFor(Target::png));
  EXPECT_EQ(png.probe.width, 4000);
  EXPECT_EQ(png.probe.height, 3000);
  EXPECT_EQ(png.probe.orientation, 6);
  const Converted avif = convert("pipeline/portrait-6.jpg", optionsFor(Target::avif));
  EXPECT_EQ(avif.probe.width, 3000);
  EXPECT_EQ(avif.probe.height, 4000);
  EXPECT_EQ(avif.probe.orientation, 1);
}

TEST(ImageConversionPixels, RemoveRendersThePortraitUprightForEveryTarget) {
  for (const Target target : currentTargets) {
    const Converted output = convert("pipeline/portrait-6.jpg", optionsFor(target, MetadataPolicy::remove));
    EXPECT_EQ(output.probe.width, 3000) << nameOf(target);
    EXPECT_EQ(output.probe.height, 4000) << nameOf(target);
    EXPECT_EQ(output.probe.orientation, 1) << nameOf(target);
    EXPECT_FALSE(output.probe.hasMetadata) << nameOf(target);
  }
}

TEST(ImageConversionPixels, RenderedOrientationMovesTheQuadrantsUpright) {
  // The reference picture is red, lime / blue, white; orientation 6 stores
  // it turned, and the output must show it upright again.
  for (const Target target : currentTargets) {
    const Converted output = convert("images/orientation-6.jpg", optionsFor(target, MetadataPolicy::remove));
    ASSERT_EQ(output.probe.width, 32) << nameOf(target);
    ASSERT_EQ(output.probe.height, 24) << nameOf(target);
    EXPECT_TRUE(near(rgbaAt(output.bytes, 4, 4), {255, 0, 0, 255}, 40)) << nameOf(target) << show(rgbaAt(output.bytes, 4, 4));
    EXPECT_TRUE(near(rgbaAt(output.bytes, 27, 4), {0, 255, 0, 255}, 40)) << nameOf(target);
    EXPECT_TRUE(near(rgbaAt(output.bytes, 4, 19), {0, 0, 255, 255}, 40)) << nameOf(target);
    EXPECT_TRUE(near(rgbaAt(output.bytes, 27, 19), {255, 255, 255, 255}, 40)) << nameOf(target);
  }
}

TEST(ImageConversionPixels, ResizedOutputsHaveThePlannedSize) {
  ConvertImageOptions bounded = optionsFor(Target::jpeg);
  bounded.maximumWidth = 1000;
  bounded.maximumHeight = 1000;
  const Converted landscape = convert("pipeline/landscape.jpg", bounded);
  EXPECT_EQ(landscape.probe.width, 1000);
  EXPECT_EQ(landscape.probe.height, 750);
  // The resized photo keeps its metadata.
  EXPECT_DOUBLE_EQ(exposureOf(landscape), 1.0 / 250.0);
  ConvertImageOptions upright = optionsFor(Target::png);
  upright.maximumHeight = 2000;
  const Converted portrait = convert("pipeline/portrait-6.jpg", upright);
  EXPECT_EQ(portrait.probe.width, 1500);
  EXPECT_EQ(portrait.probe.height, 2000);
  EXPECT_EQ(portrait.probe.orientation, 1);
  // A size the rendering's own rounding does not reach is drawn exactly.
  ConvertImageOptions odd = optionsFor(Target::bmp);
  odd.maximumWidth = 7;
  const Converted small = convert("images/orientation-6.jpg", odd);
  EXPECT_EQ(small.probe.width, 7);
  EXPECT_EQ(small.probe.height, 5);
  ConvertImageOptions halfAlpha = optionsFor(Target::jpeg);
  halfAlpha.maximumWidth = 16;
  const Converted flattened = convert("pipeline/alpha.png", halfAlpha);
  EXPECT_EQ(flattened.probe.width, 16);
  EXPECT_TRUE(near(rgbaAt(flattened.bytes, 1, 6), {255, 255, 255, 255}, 8)) << show(rgbaAt(flattened.bytes, 1, 6));
}

TEST(ImageConversionPixels, TransparencyLandsOnWhiteWhereTheTargetHasNoAlpha) {
  for (const Target target : {Target::jpeg, Target::gif, Target::bmp}) {
    const Converted output = convert("pipeline/alpha.png", optionsFor(target));
    EXPECT_FALSE(output.probe.hasAlpha) << nameOf(target);
    EXPECT_TRUE(near(rgbaAt(output.bytes, 4, 12), {255, 255, 255, 255}, 8))
        << nameOf(target) << " " << show(rgbaAt(output.bytes, 4, 12));
    EXPECT_TRUE(near(rgbaAt(output.bytes, 27, 12), {0x33, 0x66, 0xcc, 255}, 24)) << nameOf(target);
  }
  for (const Target target : {Target::tiff, Target::png, Target::avif}) {
    const Converted output = convert("pipeline/alpha.png", optionsFor(target));
    EXPECT_TRUE(output.probe.hasAlpha) << nameOf(target);
    EXPECT_EQ(rgbaAt(output.bytes, 4, 12)[3], 0) << nameOf(target);
    EXPECT_EQ(rgbaAt(output.bytes, 27, 12)[3], 255) << nameOf(target);
  }
}

TEST(ImageConversionPixels, DeepAndHdrSourcesBecomeEightBitStandardRange) {
  for (const Target target : currentTargets) {
    const Converted output = convert("images/rgb16.png", optionsFor(target));
    EXPECT_EQ(output.probe.bitDepth, 8) << nameOf(target);
    EXPECT_FALSE(output.probe.hasHdr) << nameOf(target);
  }
  for (const char* hdr : {"pipeline/hdr-pq.avif", "pipeline/hdr-pq8.avif"}) {
    const Converted output = convert(hdr, optionsFor(Target::png));
    EXPECT_EQ(output.probe.bitDepth, 8) << hdr;
    EXPECT_FALSE(output.probe.hasHdr) << hdr;
  }
}

// --- metadata and colour profiles ------------------------------------------

double exposureOf(const Converted& output) {
  const auto dictionary = output.metadata.supportedDictionaries.find(std::string(ImagePropertyKey::exifDictionary));
  if (dictionary == output.metadata.supportedDictionaries.end()) return 0;
  const PropertyValue* value = dictionary->second.find("ExposureTime");
  return value != nullptr && value->asNumber() != nullptr ? value->asNumber()->value : 0;
}

TEST(ImageConversionMetadata, PreserveKeepsGpsAndExposureTimeAndRemoveKeepsNone) {
  for (const Target target : metadataTargets) {
    ConversionRig rig(fixturePath("pipeline/gps-exposure.jpg"));
    std::string kept;
    rig.convert(optionsFor(target), &kept);
    Converted preserved;
    preserved.metadata = testing::inspectBytes(testing_support::bytesOf(testing_support::readFile(kept))).metadata;
    EXPECT_DOUBLE_EQ(exposureOf(preserved), 1.0 / 125.0) << nameOf(target);
    EXPECT_TRUE(preserved.metadata.supportedDictionaries.contains(std::string(ImagePropertyKey::gpsDictionary)))
        << nameOf(target);
    EXPECT_EQ(testing::exiftoolTag(kept, "ExposureTime"), "0.008") << nameOf(target);
    EXPECT_EQ(testing::exiftoolTag(kept, "GPSLatitudeRef"), "N") << nameOf(target);
    EXPECT_NEAR(std::atof(testing::exiftoolTag(kept, "GPSLatitude").c_str()), 48.8583, 1e-4) << nameOf(target);

    std::string stripped;
    rig.convert(optionsFor(target, MetadataPolicy::remove), &stripped);
    EXPECT_FALSE(testing::inspectBytes(testing_support::bytesOf(testing_support::readFile(stripped))).probe.hasMetadata)
        << nameOf(target);
    EXPECT_EQ(testing::exiftoolTag(stripped, "ExposureTime"), "") << nameOf(target);
    EXPECT_EQ(testing::exiftoolTag(stripped, "GPSLatitude"), "") << nameOf(target);
  }
}

TEST(ImageConversionMetadata, XmpCreatorSurvivesPreserve) {
  for (const Target target : metadataTargets) {
    ConversionRig rig(fixturePath("pipeline/creator.jpg"));
    std::string file;
    rig.convert(optionsFor(target), &file);
    EXPECT_EQ(testing::exiftoolTag(file, "XMP-dc:Creator"), "Ada Lovelace") << nameOf(target);
  }
}

TEST(ImageConversionMetadata, UnsupportedMetadataMeansNoneOfItIsCarried) {
  for (const Target target : metadataTargets) {
    ConversionRig rig(fixturePath("pipeline/makernote.jpg"));
    std::string file;
    rig.convert(optionsFor(target), &file);
    const ImageProbe probe = testing::inspectBytes(testing_support::bytesOf(testing_support::readFile(file))).probe;
    EXPECT_FALSE(probe.hasMetadata) << nameOf(target);
    EXPECT_EQ(testing::exiftoolTag(file, "ExposureTime"), "") << nameOf(target);
    EXPECT_EQ(testing::exiftoolTag(file, "GPSLatitude"), "") << nameOf(target);
    EXPECT_EQ(testing::exiftoolTag(file, "MakerNoteUnknownText"), "") << nameOf(target);
  }
}

TEST(ImageConversionMetadata, GifAndBmpNeverCarryMetadataOrProfiles) {
  for (const Target target : {Target::gif, Target::bmp}) {
    for (const char* source : {"pipeline/gps-exposure.jpg", "pipeline/creator.jpg", "pipeline/display-p3.jpg"}) {
      const Converted output = convert(source, optionsFor(target));
      EXPECT_FALSE(output.probe.hasMetadata) << nameOf(target) << " " << source;
      EXPECT_FALSE(output.probe.hasIccProfile) << nameOf(target) << " " << source;
    }
  }
}

TEST(ImageConversionProfile, DisplayP3SurvivesIntoEveryTargetThatCarriesProfiles) {
  for (const char* source : {"pipeline/display-p3.jpg", "pipeline/display-p3.png", "pipeline/display-p3.tiff"}) {
    for (const Target target : metadataTargets) {
      for (const MetadataPolicy policy : {MetadataPolicy::preserve, MetadataPolicy::remove}) {
        ConversionRig rig(fixturePath(source));
        std::string file;
        rig.convert(optionsFor(target, policy), &file);
        const InspectedImage output = testing::inspectBytes(testing_support::bytesOf(testing_support::readFile(file)));
        EXPECT_TRUE(output.probe.hasIccProfile) << source << " " << nameOf(target);
        EXPECT_EQ(output.profileName, "Display P3") << source << " " << nameOf(target);
        EXPECT_EQ(testing::exiftoolTag(file, "ProfileDescription"), "Display P3") << source << " " << nameOf(target);
      }
    }
  }
}

TEST(ImageConversionProfile, CmykIsKeptWhereTheTargetHoldsItAndDrawnIntoSrgbElsewhere) {
  // The profiled source runs from red at the top to lime at the bottom.
  for (const Target target : {Target::jpeg, Target::tiff}) {
    ConversionRig rig(fixturePath("pipeline/cmyk-profiled.jpg"));
    std::string file;
    rig.convert(optionsFor(target), &file);
    const InspectedImage output = testing::inspectBytes(testing_support::bytesOf(testing_support::readFile(file)));
    EXPECT_EQ(output.colorModel, ColorSpaceModel::cmyk) << nameOf(target);
    EXPECT_EQ(output.profileName, "Artifex PS CMYK Profile") << nameOf(target);
  }
  for (const char* source : {"pipeline/cmyk-profiled.jpg", "images/cmyk.jpg"}) {
    for (const Target target : {Target::png, Target::avif, Target::gif, Target::bmp}) {
      for (const MetadataPolicy policy : {MetadataPolicy::preserve, MetadataPolicy::remove}) {
        const Converted output = convert(source, optionsFor(target, policy));
        // A CMYK profile never lands beside RGB pixels.
        EXPECT_FALSE(output.probe.hasIccProfile) << source << " " << nameOf(target);
        EXPECT_FALSE(output.profileName.has_value()) << source << " " << nameOf(target);
        const InspectedImage inspected = testing::inspectBytes(output.bytes);
        EXPECT_EQ(inspected.colorModel, ColorSpaceModel::rgb) << source << " " << nameOf(target);
        if (std::string(source) == "pipeline/cmyk-profiled.jpg") {
          const std::array<int, 4> top = rgbaAt(output.bytes, 24, 1);
          const std::array<int, 4> bottom = rgbaAt(output.bytes, 24, 30);
          EXPECT_GT(top[0], 150) << nameOf(target) << " " << show(top);
          EXPECT_LT(top[1], 100) << nameOf(target) << " " << show(top);
          EXPECT_GT(bottom[1], 150) << nameOf(target) << " " << show(bottom);
          EXPECT_LT(bottom[0], 100) << nameOf(target) << " " << show(bottom);
        }
      }
    }
  }
  // Resampling is done in grey or RGB only: resized, a CMYK source is drawn
  // into sRGB for every target alike, without its profile.
  for (const Target target : currentTargets) {
    ConvertImageOptions resized = optionsFor(target);
    resized.maximumWidth = 16;
    const Converted small = convert("pipeline/cmyk-profiled.jpg", resized);
    EXPECT_EQ(small.probe.width, 16) << nameOf(target);
    EXPECT_EQ(small.probe.height, 11) << nameOf(target);
    EXPECT_FALSE(small.probe.hasIccProfile) << nameOf(target);
    EXPECT_EQ(testing::inspectBytes(small.bytes).colorModel, ColorSpaceModel::rgb) << nameOf(target);
  }
}

// --- shapes of real photos, screenshots and charts ------------------------------

TEST(ImageConversionRealWorld, ProfilesLibpngDislikesAreCarriedByteForByte) {
  for (const char* source : {"pipeline/profile-intent-7.jpg", "pipeline/profile-illuminant-d65.jpg"}) {
    const std::optional<ImageBytes> profile = testing::inspectBytes(fixtureBytes(source)).profileData;
    ASSERT_TRUE(profile.has_value()) << source;
    for (const Target target : metadataTargets) {
      for (const MetadataPolicy policy : {MetadataPolicy::preserve, MetadataPolicy::remove}) {
        const Converted output = convert(source, optionsFor(target, policy));
        EXPECT_EQ(testing::inspectBytes(output.bytes).profileData, profile) << source << " " << nameOf(target);
      }
    }
  }
}

TEST(ImageConversionRealWorld, AnOpaqueAlphaIsLeftOutOfAvifAndKeptElsewhere) {
  EXPECT_FALSE(convert("pipeline/opaque-alpha.png", optionsFor(Target::avif)).probe.hasAlpha);
  EXPECT_TRUE(convert("pipeline/opaque-alpha.png", optionsFor(Target::png)).probe.hasAlpha);
  EXPECT_TRUE(convert("pipeline/alpha.png", optionsFor(Target::avif)).probe.hasAlpha);
}

TEST(ImageConversionRealWorld, ProfilesTravelOnlyWithThePixelsTheyDescribe) {
  // An RGB profile on a grey JPEG never described it: the conversion goes on
  // as if there were none.
  for (const Target target : metadataTargets) {
    for (const MetadataPolicy policy : {MetadataPolicy::preserve, MetadataPolicy::remove}) {
      EXPECT_FALSE(convert("pipeline/gray-rgb-profile.jpg", optionsFor(target, policy)).probe.hasIccProfile)
          << nameOf(target);
    }
  }
  // Grey with a grey profile stays grey in AVIF (monochrome AV1), so that its
  // profile applies, and the output converts again.
  ConversionRig rig(fixturePath("pipeline/gray-profiled.jpg"));
  std::string file;
  rig.convert(optionsFor(Target::avif), &file);
  const InspectedImage avif = testing::inspectBytes(testing_support::bytesOf(testing_support::readFile(file)));
  EXPECT_EQ(avif.colorModel, ColorSpaceModel::monochrome);
  EXPECT_EQ(avif.profileName, "Artifex Software sGray ICC Profile");
  ConversionRig again(file);
  EXPECT_NO_THROW(again.convert(optionsFor(Target::png)));
  // A GIF's profile rides in an application extension.
  for (const Target target : metadataTargets) {
    EXPECT_EQ(convert("pipeline/profiled.gif", optionsFor(target)).profileName, "Artifex Software sRGB ICC Profile")
        << nameOf(target);
  }
}

TEST(ImageConversionRealWorld, ExifShapesOfRealEditorsAreCarried) {
  // ResolutionUnit 0 (GIMP 2.8), chromaticities as exact fractions, and an
  // Interoperability directory beside an exposure time.
  for (const Target target : metadataTargets) {
    ConversionRig rig(fixturePath("pipeline/exif-shapes.jpg"));
    std::string file;
    rig.convert(optionsFor(target), &file);
    EXPECT_EQ(testing::exiftoolTag(file, "ExposureTime"), "0.01") << nameOf(target);
    EXPECT_EQ(testing::exiftoolTag(file, "WhitePoint"), "0.3127 0.329") << nameOf(target);
    EXPECT_EQ(testing::exiftoolTag(file, "PrimaryChromaticities"), "0.64 0.33 0.3 0.6 0.15 0.06") << nameOf(target);
  }
}

TEST(ImageConversionRealWorld, RationalsWithTheWidestDenominatorSurviveIntoTiff) {
  // Old libtiff versions wrote every rational over 2^32 - 1, which a signed
  // reading turns into -1.
  const std::string source = fixturePath("pipeline/wide-rationals.tiff");
  ConversionRig rig(source);
  std::string file;
  rig.convert(optionsFor(Target::tiff), &file);
  EXPECT_EQ(testing::exiftoolTag(file, "WhitePoint"), testing::exiftoolTag(source, "WhitePoint"));
  EXPECT_EQ(testing::exiftoolTag(file, "WhitePoint"), "0.3127000035 0.3289999963");
}

TEST(ImageConversionRealWorld, AnHlgSourceIsDrawnIntoSrgbWithoutItsProfile) {
  for (const Target target : metadataTargets) {
    const Converted output = convert("pipeline/hlg16.png", optionsFor(target));
    EXPECT_FALSE(output.probe.hasHdr) << nameOf(target);
    EXPECT_FALSE(output.probe.hasIccProfile) << nameOf(target);
    EXPECT_EQ(output.probe.bitDepth, 8) << nameOf(target);
  }
}

TEST(ImageOperationsInspection, InspectImageReadsThroughTheSourceDescriptor) {
  ConversionRig rig(fixturePath("pipeline/display-p3.jpg"));
  const ImageProbe probe = rig.operations().inspectImage("/dev/fd/3");
  EXPECT_EQ(probe, testing::inspectBytes(fixtureBytes("pipeline/display-p3.jpg")).probe);
  EXPECT_TRUE(probe.hasIccProfile);
  // Another path is read under the path policy, never as descriptor 3.
  try {
    (void)rig.operations().inspectImage("relative/picture.jpg");
    ADD_FAILURE() << "a relative path was read";
  } catch (const HelperFault& fault) {
    EXPECT_EQ(fault.code(), HelperErrorCode::filesystemPolicy);
  }
}

// --- the written file ----------------------------------------------------------

TEST(ImageConversionOutput, TheStagedFileIsReadOnlyAndMatchesTheReportedDigest) {
  ConversionRig rig(fixturePath("pipeline/gps-exposure.jpg"));
  for (const Target target : currentTargets) {
    std::string file;
    const ConvertedImage result = rig.convert(optionsFor(target), &file);
    const struct stat status = testing_support::lstatOf(file);
    EXPECT_EQ(status.st_mode & 07777, 0400u) << nameOf(target);
    EXPECT_EQ(status.st_size, result.byteLength) << nameOf(target);
    const std::vector<std::uint8_t> bytes = testing_support::bytesOf(testing_support::readFile(file));
    EXPECT_EQ(DescriptorDigest::sha256(bytes), result.sha256) << nameOf(target);
    EXPECT_EQ(result, ConvertedImage::fromBytes(bytes));
  }
  EXPECT_EQ(rig.entries().size(), currentTargets.size());
}

}  // namespace
}  // namespace quorvantelmic
