#include "helper_core/image/image_probing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "helper_core/image/image_operations.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "tests/image/pipeline/pipeline_test_support.hpp"

namespace quorvantelmic {
namespace {

using testing::fixtureBytes;

HelperFault inspectionFault(const std::vector<std::uint8_t>& bytes, bool decodePixels = true) {
  try {
    (void)ImageInspector().inspect(bytes, decodePixels);
  } catch (const HelperFault& fault) {
    return fault;
  }
  ADD_FAILURE() << "the inspection succeeded";
  return HelperFault(HelperErrorCode::internalError, "");
}

ImageProbe probeOf(const std::string& fixture) { return testing::inspectBytes(fixtureBytes(fixture)).probe; }

TEST(ImageInspectorRefusal, EmptyTextAndAnimatedSourcesAreRefusedWithTheirOwnMessages) {
  EXPECT_EQ(inspectionFault({}), HelperFault(HelperErrorCode::decodeFailed, "The source image is empty."));
  const std::string text = "This is a plain text file, not a picture.\n";
  EXPECT_EQ(inspectionFault(std::vector<std::uint8_t>(text.begin(), text.end())),
            HelperFault(HelperErrorCode::decodeFailed, "The source is not a readable image."));
  for (const char* animated : {"pipeline/two-frames.gif", "images/animated.gif", "images/multipage.tiff"}) {
    EXPECT_EQ(inspectionFault(fixtureBytes(animated)),
              HelperFault(HelperErrorCode::resourceLimit, "The source image exceeds the frame limit."))
        << animated;
  }
}

TEST(ImageInspectorRefusal, PixelLimitIsCheckedFromTheHeaderBeforeAnyPixelIsAllocated) {
  const HelperFault pixelLimit(HelperErrorCode::resourceLimit, "The source image exceeds the pixel limit.");
  // 10001 x 10000 declared by a 273-byte file: refused with or without decoding.
  EXPECT_EQ(inspectionFault(fixtureBytes("pipeline/bomb-10001x10000.png"), true), pixelLimit);
  EXPECT_EQ(inspectionFault(fixtureBytes("pipeline/bomb-10001x10000.png"), false), pixelLimit);
  EXPECT_EQ(inspectionFault(fixtureBytes("pipeline/too-wide.tiff")), pixelLimit);
  // One row of 1000001 columns is over the dimension limit, however few its
  // pixels: the header is read in full and the image refused by its size.
  EXPECT_EQ(inspectionFault(fixtureBytes("pipeline/bomb-1000001x1.png"), true), pixelLimit);
  EXPECT_EQ(inspectionFault(fixtureBytes("pipeline/bomb-1000001x1.png"), false), pixelLimit);
  // Exactly 100000000 pixels is within the limit: the header passes, and only
  // the missing pixel data fails the decode.
  const InspectedImage header = ImageInspector().inspect(fixtureBytes("pipeline/bomb-10000x10000.png"), false);
  EXPECT_EQ(header.probe.width, 10000);
  EXPECT_EQ(header.probe.height, 10000);
  EXPECT_FALSE(header.decodedImage.has_value());
  EXPECT_EQ(inspectionFault(fixtureBytes("pipeline/bomb-10000x10000.png")),
            HelperFault(HelperErrorCode::decodeFailed, "The source image pixels could not be decoded."));
}

TEST(ImageInspectorRefusal, OrientationsOutsideOneToEightAreInvalid) {
  const HelperFault invalid(HelperErrorCode::decodeFailed, "The source image orientation is invalid.");
  EXPECT_EQ(inspectionFault(fixtureBytes("pipeline/orientation-0.jpg")), invalid);
  EXPECT_EQ(inspectionFault(fixtureBytes("pipeline/orientation-9.jpg")), invalid);
  EXPECT_EQ(probeOf("images/orientation-6.jpg").orientation, 6);
  EXPECT_EQ(probeOf("images/orientation-8.png").orientation, 8);
  EXPECT_EQ(probeOf("bytes/plain.png").orientation, 1);  // no orientation at all
}

TEST(ImageInspectorRefusal, TruncatedFilesOfEveryFormatFailWithoutCrashing) {
  for (const char* name : {"images/orientation-1.jpg", "images/orientation-1.png", "images/photo-metadata.tiff",
                           "images/still.avif", "images/still.gif", "images/rgb24.bmp", "images/still.webp",
                           "images/still.heic"}) {
    const std::vector<std::uint8_t> whole = fixtureBytes(name);
    for (const std::size_t keep : {std::size_t{1}, std::size_t{16}, whole.size() / 2, whole.size() - 1}) {
      const std::vector<std::uint8_t> cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(keep));
      try {
        (void)ImageInspector().inspect(cut, true);
      } catch (const HelperFault& fault) {
        EXPECT_TRUE(fault.code() == HelperErrorCode::decodeFailed || fault.code() == HelperErrorCode::resourceLimit)
            << name << " cut to " << keep << ": " << fault.message();
      }
    }
  }
}

TEST(ImageInspectorRefusal, MalformedMetadataNeverBreaksTheInspection) {
  // An EXIF directory claiming 65535 entries with a GPS pointer past the end:
  // the picture is still described, and nothing of the broken EXIF is
  // reported as carried-over metadata it does not hold.
  const InspectedImage image = testing::inspectBytes(fixtureBytes("pipeline/broken-exif.jpg"));
  EXPECT_EQ(image.probe.width, 64);
  EXPECT_EQ(image.probe.height, 48);
  EXPECT_FALSE(image.metadata.supportedDictionaries.contains(std::string(ImagePropertyKey::gpsDictionary)));
}

struct ProbeCase {
  const char* fixture;
  const char* type;
  std::int64_t width;
  std::int64_t height;
  bool hasAlpha;
};

TEST(ImageInspectorProbe, EverySourceFormatIsDescribedAsStored) {
  const ProbeCase cases[] = {
      {"images/orientation-1.jpg", "public.jpeg", 32, 24, false},
      {"pipeline/alpha.png", "public.png", 32, 24, true},
      {"bytes/plain.tif", "public.tiff", 16, 16, false},
      {"images/still.avif", "public.avif", 32, 24, false},
      {"images/still.gif", "com.compuserve.gif", 32, 24, false},
      {"images/rgb24.bmp", "com.microsoft.bmp", 32, 24, false},
      {"images/argb32.bmp", "com.microsoft.bmp", 32, 24, true},
      {"images/still.webp", "org.webmproject.webp", 32, 24, false},
      {"images/alpha.webp", "org.webmproject.webp", 24, 16, true},
      {"images/still.heic", "public.heic", 32, 24, false},
  };
  for (const ProbeCase& c : cases) {
    const ImageProbe probe = probeOf(c.fixture);
    EXPECT_EQ(probe.family, "image") << c.fixture;
    EXPECT_EQ(probe.uniformTypeIdentifier, c.type) << c.fixture;
    EXPECT_EQ(probe.width, c.width) << c.fixture;
    EXPECT_EQ(probe.height, c.height) << c.fixture;
    EXPECT_EQ(probe.frameCount, 1) << c.fixture;
    EXPECT_EQ(probe.hasAlpha, c.hasAlpha) << c.fixture;
    EXPECT_EQ(probe.bitDepth, 8) << c.fixture;
    EXPECT_FALSE(probe.hasHdr) << c.fixture;
    EXPECT_FALSE(probe.hasAuxiliaryImages) << c.fixture;
  }
  // The stored size, not the displayed one.
  const ImageProbe portrait = probeOf("pipeline/portrait-6.jpg");
  EXPECT_EQ(portrait.width, 4000);
  EXPECT_EQ(portrait.height, 3000);
  EXPECT_EQ(portrait.orientation, 6);
}

TEST(ImageInspectorProbe, DeepAndHdrSourcesAreHdr) {
  const ImageProbe png16 = probeOf("images/rgb16.png");
  EXPECT_EQ(png16.bitDepth, 16);
  EXPECT_TRUE(png16.hasHdr);
  EXPECT_TRUE(probeOf("images/rgb16.tiff").hasHdr);
  EXPECT_TRUE(probeOf("pipeline/hdr-pq.avif").hasHdr);
  // Eight bits, but a PQ transfer: only the colour space tells.
  const ImageProbe pq8 = probeOf("pipeline/hdr-pq8.avif");
  EXPECT_EQ(pq8.bitDepth, 8);
  EXPECT_TRUE(pq8.hasHdr);
}

TEST(ImageInspectorProbe, WithoutPixelsNothingIsDecodedAndTheDepthComesFromTheHeader) {
  const InspectedImage header = ImageInspector().inspect(fixtureBytes("pipeline/display-p3.jpg"), false);
  EXPECT_FALSE(header.decodedImage.has_value());
  EXPECT_FALSE(header.profileData.has_value());
  EXPECT_TRUE(header.probe.hasIccProfile);
  EXPECT_EQ(header.probe.bitDepth, 8);
  const InspectedImage deep = ImageInspector().inspect(fixtureBytes("images/rgb16.png"), false);
  EXPECT_EQ(deep.probe.bitDepth, 16);
}

TEST(ImageInspectorProbe, EmbeddedProfilesAreFoundNamedAndTheirDataKept) {
  const std::vector<std::uint8_t> p3 = fixtureBytes("pipeline/display-p3.icc");
  for (const char* name : {"pipeline/display-p3.jpg", "pipeline/display-p3.png", "pipeline/display-p3.tiff"}) {
    const InspectedImage image = testing::inspectBytes(fixtureBytes(name));
    EXPECT_TRUE(image.probe.hasIccProfile) << name;
    EXPECT_EQ(image.profileName, "Display P3") << name;
    ASSERT_TRUE(image.profileData.has_value()) << name;
    EXPECT_EQ(*image.profileData, p3) << name;
  }
  const InspectedImage plain = testing::inspectBytes(fixtureBytes("bytes/plain.jpg"));
  EXPECT_FALSE(plain.probe.hasIccProfile);
  EXPECT_FALSE(plain.profileData.has_value());
}

TEST(ImageInspectorMetadata, StructuralExifAloneIsNoMetadata) {
  const ImageProbe probe = probeOf("pipeline/structural-exif.jpg");
  EXPECT_FALSE(probe.hasMetadata);
  EXPECT_FALSE(probe.hasUnsupportedMetadata);
}

TEST(ImageInspectorMetadata, ExposureTimeGpsAndCreatorAreSupported) {
  const InspectedImage image = testing::inspectBytes(fixtureBytes("pipeline/creator.jpg"));
  EXPECT_TRUE(image.probe.hasMetadata);
  EXPECT_FALSE(image.probe.hasUnsupportedMetadata);
  const auto& dictionaries = image.metadata.supportedDictionaries;
  ASSERT_TRUE(dictionaries.contains(std::string(ImagePropertyKey::exifDictionary)));
  const PropertyValue* exposure =
      dictionaries.at(std::string(ImagePropertyKey::exifDictionary)).find("ExposureTime");
  ASSERT_NE(exposure, nullptr);
  ASSERT_NE(exposure->asNumber(), nullptr);
  EXPECT_DOUBLE_EQ(exposure->asNumber()->value, 1.0 / 125.0);
  ASSERT_TRUE(dictionaries.contains(std::string(ImagePropertyKey::gpsDictionary)));
  EXPECT_NE(dictionaries.at(std::string(ImagePropertyKey::gpsDictionary)).find("GPSLatitude"), nullptr);
  // The structural keys never enter the filtered dictionary.
  EXPECT_EQ(dictionaries.at(std::string(ImagePropertyKey::exifDictionary)).find("ColorSpace"), nullptr);
  ASSERT_TRUE(image.metadata.supportedTags.contains("dc:creator"));
  EXPECT_EQ(image.metadata.supportedTags.size(), 1u);
}

TEST(ImageInspectorMetadata, MakerNotesAndUnknownXmpAreUnsupported) {
  const ImageProbe makerNote = probeOf("pipeline/makernote.jpg");
  EXPECT_TRUE(makerNote.hasMetadata);
  EXPECT_TRUE(makerNote.hasUnsupportedMetadata);
  const InspectedImage title = testing::inspectBytes(fixtureBytes("pipeline/title.jpg"));
  EXPECT_TRUE(title.probe.hasUnsupportedMetadata);
  EXPECT_TRUE(title.metadata.supportedTags.empty());
}

// --- capabilities and identifier bounding ----------------------------------

TEST(ImageCapabilities, DefaultListsStayInsideTheCurrentSets) {
  const ImageCapabilities capabilities = ImageOperations().capabilities();
  EXPECT_EQ(capabilities.sourceTypeIdentifiers,
            (std::vector<std::string>{"com.compuserve.gif", "com.microsoft.bmp", "org.webmproject.webp", "public.avif",
                                      "public.jpeg", "public.png", "public.tiff"}));
  EXPECT_EQ(capabilities.destinationTypeIdentifiers,
            (std::vector<std::string>{"com.compuserve.gif", "com.microsoft.bmp", "public.avif", "public.jpeg",
                                      "public.png", "public.tiff"}));
}

TEST(ImageCapabilities, HistoricalHeicReportsTheSystemListsUnfilteredAndTheOverrideReplacesDestinations) {
  ImageOperations historical;
  historical.historicalHeicFoundationEnabled = true;
  const ImageCapabilities unfiltered = historical.capabilities();
  EXPECT_NE(std::find(unfiltered.sourceTypeIdentifiers.begin(), unfiltered.sourceTypeIdentifiers.end(), "public.heic"),
            unfiltered.sourceTypeIdentifiers.end());
  EXPECT_NE(std::find(unfiltered.sourceTypeIdentifiers.begin(), unfiltered.sourceTypeIdentifiers.end(), "public.heif"),
            unfiltered.sourceTypeIdentifiers.end());
  EXPECT_TRUE(historical.acceptedSourceTypeIdentifiers().contains("public.heif"));
  EXPECT_FALSE(ImageOperations().acceptedSourceTypeIdentifiers().contains("public.heic"));

  ImageOperations overridden;
  overridden.destinationTypeIdentifiersOverride = std::vector<std::string>{"public.heic", "public.png", "x"};
  EXPECT_EQ(overridden.capabilities().destinationTypeIdentifiers, std::vector<std::string>{"public.png"});
  overridden.historicalHeicFoundationEnabled = true;
  // The override is taken as it is, not bounded.
  EXPECT_EQ(overridden.capabilities().destinationTypeIdentifiers,
            (std::vector<std::string>{"public.heic", "public.png", "x"}));
}

TEST(ImageCapabilities, BoundingDropsOutOfRangeLengthsDuplicatesAndCutsAt512) {
  const std::string longest(160, 'a');
  const std::string tooLong(161, 'b');
  EXPECT_EQ(boundedTypeIdentifiers({"zz", "public.png", tooLong, "abc", "public.png", longest}),
            (std::vector<std::string>{longest, "abc", "public.png"}));
  std::vector<std::string> many;
  for (int index = 599; index >= 0; --index) many.push_back("type." + std::to_string(1000 + index));
  const std::vector<std::string> bounded = boundedTypeIdentifiers(many);
  ASSERT_EQ(bounded.size(), 512u);
  EXPECT_EQ(bounded.front(), "type.1000");
  EXPECT_EQ(bounded.back(), "type.1511");
  EXPECT_TRUE(std::is_sorted(bounded.begin(), bounded.end()));
}

}  // namespace
}  // namespace quorvantelmic
