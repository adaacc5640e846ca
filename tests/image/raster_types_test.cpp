#include "helper_core/image/raster_types.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quorvantelmic {
namespace {

const std::string hex32 = "0123456789abcdef0123456789abcdef";

TEST(StagedOutputName, AcceptsExactlyPrefixHexDotExtension) {
  EXPECT_EQ(parseStagedOutputName("output-" + hex32 + ".jpg"), StagedOutputExtension::jpg);
  EXPECT_EQ(parseStagedOutputName("output-" + std::string(32, '0') + ".png"), StagedOutputExtension::png);
  EXPECT_EQ(parseStagedOutputName("output-" + hex32 + ".7z"), StagedOutputExtension::sevenZip);
  EXPECT_EQ(parseStagedOutputName("output-" + hex32 + ".pdf"), StagedOutputExtension::pdf);
  EXPECT_EQ(parseStagedOutputName("output-" + hex32 + ".tiff"), StagedOutputExtension::tiff);
}

TEST(StagedOutputName, RefusesNearMisses) {
  for (const std::string& name : std::vector<std::string>{
           "output-" + hex32 + ".jpeg",
           "output-" + hex32 + ".JPG",
           "output-0123456789ABCDEF0123456789abcdef.jpg",
           "output-" + hex32.substr(1) + ".tiff",
           "output-" + hex32 + ".tiffx",
           "output-" + hex32 + "x.tiff",
           "Output-" + hex32 + ".png",
           "output-" + hex32 + "png",
           "output-" + hex32.substr(0, 31) + "\n.png",
           "output-" + hex32.substr(0, 30) + "\xc3\xa9.png",
           std::string(),
           "output-",
       }) {
    EXPECT_FALSE(parseStagedOutputName(name).has_value()) << name;
  }
}

TEST(RasterTargets, RawValuesNamesAndExtensionsRoundTrip) {
  for (const auto target : allRasterTargetTypeIdentifiers) {
    EXPECT_EQ(rasterTargetTypeIdentifierFromRawValue(rawValue(target)), target);
    const auto extension = rasterOutputExtensionFromRawValue(rawValue(outputExtension(target)));
    ASSERT_TRUE(extension.has_value());
    EXPECT_EQ(*extension, outputExtension(target));
  }
  EXPECT_EQ(formatName(RasterTargetTypeIdentifier::jpeg), "JPEG");
  EXPECT_EQ(rawValue(outputExtension(RasterTargetTypeIdentifier::jpeg)), "jpg");
  EXPECT_FALSE(rasterTargetTypeIdentifierFromRawValue("public.jpg").has_value());
  EXPECT_FALSE(rasterTargetTypeIdentifierFromRawValue("public.heif").has_value());
  EXPECT_FALSE(rasterOutputExtensionFromRawValue("pdf").has_value());
}

TEST(RasterTargets, StagedNameFitsOnlyItsOwnTarget) {
  EXPECT_TRUE(stagedNameFitsTarget(StagedOutputExtension::jpg, RasterTargetTypeIdentifier::jpeg));
  EXPECT_FALSE(stagedNameFitsTarget(StagedOutputExtension::png, RasterTargetTypeIdentifier::jpeg));
  EXPECT_FALSE(stagedNameFitsTarget(StagedOutputExtension::pdf, RasterTargetTypeIdentifier::png));
}

TEST(RasterTypeSets, HoldTheFixedIdentifiers) {
  EXPECT_EQ(currentRasterSourceTypeIdentifiers().size(), 7u);
  EXPECT_TRUE(currentRasterSourceTypeIdentifiers().contains("org.webmproject.webp"));
  EXPECT_EQ(currentRasterDestinationTypeIdentifiers().size(), 6u);
  EXPECT_FALSE(currentRasterDestinationTypeIdentifiers().contains("public.heic"));
  EXPECT_FALSE(currentRasterDestinationTypeIdentifiers().contains("org.webmproject.webp"));
  EXPECT_EQ(retainedHistoricalHeicTypeIdentifiers(), (TypeIdentifierSet{"public.heic", "public.heif"}));
}

}  // namespace
}  // namespace quorvantelmic
