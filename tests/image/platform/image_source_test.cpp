// The image source over the committed fixtures: identification, frame counts,
// header properties and metadata, decoding and the oriented rendering.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "tests/image/platform/fixture_support.hpp"

namespace quorvantelmic {
namespace {

using testing::dictionaryProperty;
using testing::numberProperty;
using testing::openFixture;
using testing::readFixture;
using testing::rgbaAt;

struct Identification {
  const char* fixture;
  const char* type;
  std::size_t frames;
};

class SourceIdentification : public ::testing::TestWithParam<Identification> {};

TEST_P(SourceIdentification, NamesTheContainerAndCountsItsFrames) {
  const Identification& expected = GetParam();
  ImageSource source = openFixture(expected.fixture);
  EXPECT_EQ(source.type(), expected.type);
  EXPECT_EQ(source.count(), expected.frames);
  std::optional<PropertyDictionary> properties = source.copyPropertiesAtIndex(0);
  ASSERT_TRUE(properties.has_value());
  EXPECT_GT(numberProperty(*properties, ImagePropertyKey::pixelWidth), 0);
  std::optional<DecodedImage> image = source.createImageAtIndex(0);
  ASSERT_TRUE(image.has_value()) << expected.fixture;
  EXPECT_EQ(static_cast<double>(image->width()), numberProperty(*properties, ImagePropertyKey::pixelWidth));
  EXPECT_EQ(static_cast<double>(image->height()), numberProperty(*properties, ImagePropertyKey::pixelHeight));
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, SourceIdentification,
    ::testing::Values(Identification{"orientation-1.jpg", "public.jpeg", 1},
                      Identification{"orientation-1.png", "public.png", 1},
                      Identification{"photo-metadata.tiff", "public.tiff", 1},
                      Identification{"animated.png", "public.png", 3},
                      Identification{"multipage.tiff", "public.tiff", 3},
                      Identification{"rgb16.tiff", "public.tiff", 1},
                      Identification{"still.gif", "com.compuserve.gif", 1},
                      Identification{"animated.gif", "com.compuserve.gif", 3},
                      Identification{"rgb24.bmp", "com.microsoft.bmp", 1},
                      Identification{"palette-rle8.bmp", "com.microsoft.bmp", 1},
                      Identification{"argb32.bmp", "com.microsoft.bmp", 1},
                      Identification{"still.webp", "org.webmproject.webp", 1},
                      Identification{"alpha.webp", "org.webmproject.webp", 1},
                      Identification{"animated.webp", "org.webmproject.webp", 3},
                      Identification{"still.avif", "public.avif", 1},
                      Identification{"rotated.avif", "public.avif", 1},
                      Identification{"still.heic", "public.heic", 1}),
    [](const auto& parameter) {
      std::string name = parameter.param.fixture;
      std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
      return name;
    });

TEST(ImageSource, RefusesBytesThatAreNoImage) {
  EXPECT_FALSE(ImageSource::createWithData(ImageBytes{}).has_value());
  const std::string text = "This is a plain text file, not an image.\n";
  EXPECT_FALSE(ImageSource::createWithData(ImageBytes(text.begin(), text.end())).has_value());
  EXPECT_THAT(imageSourceTypeIdentifiers(), ::testing::IsSupersetOf({"public.jpeg", "public.png", "public.tiff"}));
}

TEST(ImageSource, ReadsExifGpsIptcAndXmpOfAJpeg) {
  ImageSource source = openFixture("photo-metadata.jpg");
  const PropertyDictionary properties = *source.copyPropertiesAtIndex(0);
  EXPECT_EQ(numberProperty(properties, ImagePropertyKey::pixelWidth), 64);
  EXPECT_EQ(numberProperty(properties, ImagePropertyKey::pixelHeight), 48);
  EXPECT_EQ(numberProperty(properties, ImagePropertyKey::depth), 8);
  const PropertyValue* alpha = properties.find(ImagePropertyKey::hasAlpha);
  ASSERT_NE(alpha, nullptr);
  ASSERT_NE(alpha->asBoolean(), nullptr) << "a Boolean, not a number";
  EXPECT_FALSE(*alpha->asBoolean());

  const PropertyDictionary& exif = dictionaryProperty(properties, ImagePropertyKey::exifDictionary);
  EXPECT_DOUBLE_EQ(numberProperty(exif, "ExposureTime"), 1.0 / 125.0);
  EXPECT_DOUBLE_EQ(numberProperty(exif, "FNumber"), 2.8);
  const PropertyDictionary& tiff = dictionaryProperty(properties, ImagePropertyKey::tiffDictionary);
  ASSERT_NE(tiff.find("Make"), nullptr);
  EXPECT_EQ(*tiff.find("Make")->asString(), "Quorvantelmic");
  const PropertyDictionary& gps = dictionaryProperty(properties, ImagePropertyKey::gpsDictionary);
  const PropertyArray* latitude = gps.find("GPSLatitude")->asArray();
  ASSERT_NE(latitude, nullptr);
  ASSERT_EQ(latitude->size(), 3U);
  EXPECT_DOUBLE_EQ((*latitude)[0].asNumber()->value, 48);
  EXPECT_EQ(*gps.find("GPSLatitudeRef")->asString(), "N");
  const PropertyDictionary& iptc = dictionaryProperty(properties, ImagePropertyKey::iptcDictionary);
  EXPECT_EQ(*iptc.find("ObjectName")->asString(), "Tower");
  const PropertyArray* keywords = iptc.find("Keywords")->asArray();
  ASSERT_NE(keywords, nullptr);
  EXPECT_EQ(keywords->size(), 2U);

  std::optional<ImageMetadata> metadata = source.copyMetadataAtIndex(0);
  ASSERT_TRUE(metadata.has_value());
  const std::vector<ImageMetadataTag> tags = metadata->copyTags();
  const auto creator = std::find_if(tags.begin(), tags.end(), [](const ImageMetadataTag& tag) {
    return tag.prefix == "dc" && tag.name == "creator";
  });
  ASSERT_NE(creator, tags.end());
  EXPECT_EQ(creator->namespaceUri, "http://purl.org/dc/elements/1.1/");
  EXPECT_EQ(creator->type, ImageMetadataType::arrayOrdered);
  EXPECT_EQ(creator->value, PropertyValue(PropertyArray{PropertyValue("Ada Lovelace")}));
}

TEST(ImageSource, ShowsMetadataItCannotCarryInItsOwnDictionaries) {
  ImageSource source = openFixture("photoshop-resources.jpg");
  const PropertyDictionary properties = *source.copyPropertiesAtIndex(0);
  // The copyright-flag resource is not IPTC: it shows under {8BIM} ...
  const PropertyDictionary& photoshop = dictionaryProperty(properties, ImagePropertyKey::photoshopDictionary);
  const PropertyArray* ids = photoshop.find("ResourceIDs")->asArray();
  ASSERT_NE(ids, nullptr);
  EXPECT_NE(std::find(ids->begin(), ids->end(), PropertyValue::number(0x040A)), ids->end());
  EXPECT_EQ(std::find(ids->begin(), ids->end(), PropertyValue::number(0x0404)), ids->end());
  // ... while the IPTC inside the same segment is read as IPTC.
  EXPECT_EQ(*dictionaryProperty(properties, ImagePropertyKey::iptcDictionary).find("ObjectName")->asString(), "Kept");
  const PropertyDictionary& aux = dictionaryProperty(properties, ImagePropertyKey::exifAuxDictionary);
  EXPECT_EQ(*aux.find("SerialNumber")->asString(), "1234");
  const auto names = unsupportedMetadataDictionaryNames();
  EXPECT_NE(std::find(names.begin(), names.end(), ImagePropertyKey::photoshopDictionary), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), ImagePropertyKey::makerOtherDictionary), names.end());
  // A plain photo has none of them.
  const PropertyDictionary plain = *openFixture("photo-metadata.jpg").copyPropertiesAtIndex(0);
  for (std::string_view name : names) EXPECT_EQ(plain.find(name), nullptr) << name;
}

TEST(ImageSource, ReadsMetadataFromPngEXifAndTiffTags) {
  for (const char* name : {"photo-metadata.png", "photo-metadata.tiff"}) {
    SCOPED_TRACE(name);
    ImageSource source = openFixture(name);
    const PropertyDictionary properties = *source.copyPropertiesAtIndex(0);
    EXPECT_DOUBLE_EQ(numberProperty(dictionaryProperty(properties, ImagePropertyKey::exifDictionary), "ExposureTime"),
                     1.0 / 125.0);
    EXPECT_NE(dictionaryProperty(properties, ImagePropertyKey::gpsDictionary).find("GPSLatitude"), nullptr);
    ASSERT_TRUE(source.copyMetadataAtIndex(0).has_value());
    const auto tags = source.copyMetadataAtIndex(0)->copyTags();
    EXPECT_TRUE(std::any_of(tags.begin(), tags.end(), [](const auto& tag) { return tag.name == "creator"; }));
  }
  // The structural tags of a TIFF (strips, sizes) are not picture metadata.
  const PropertyDictionary tiffProperties = *openFixture("photo-metadata.tiff").copyPropertiesAtIndex(0);
  const PropertyDictionary& tiff = dictionaryProperty(tiffProperties, ImagePropertyKey::tiffDictionary);
  EXPECT_EQ(tiff.find("StripOffsets"), nullptr);
  EXPECT_EQ(tiff.find("ImageWidth"), nullptr);
  EXPECT_EQ(tiff.find("BitsPerSample"), nullptr);
}

TEST(ImageSource, DecodesDepthsPalettesAlphaAndColourModels) {
  {
    const DecodedImage image = *openFixture("rgb16.png").createImageAtIndex(0);
    EXPECT_EQ(image.bitsPerComponent(), 16U);
    EXPECT_EQ(image.colorSpace()->model(), ColorSpaceModel::rgb);
    EXPECT_EQ(numberProperty(*openFixture("rgb16.png").copyPropertiesAtIndex(0), ImagePropertyKey::depth), 16);
  }
  {
    const DecodedImage image = *openFixture("rgb16.tiff").createImageAtIndex(0);
    EXPECT_EQ(image.bitsPerComponent(), 16U);
  }
  {
    ImageSource source = openFixture("palette-trns.png");
    EXPECT_TRUE(*source.copyPropertiesAtIndex(0)->find(ImagePropertyKey::hasAlpha)->asBoolean());
    const DecodedImage image = *source.createImageAtIndex(0);
    EXPECT_TRUE(alphaInfoCarriesAlpha(image.alphaInfo()));
    EXPECT_EQ(image.colorSpace()->model(), ColorSpaceModel::rgb);
    EXPECT_EQ(rgbaAt(image, 0, 0), (std::array<int, 4>{255, 0, 0, 255}));
    EXPECT_EQ(rgbaAt(image, 10, 10)[3], 0);
  }
  {
    const DecodedImage image = *openFixture("gray-alpha.png").createImageAtIndex(0);
    EXPECT_EQ(image.colorSpace()->model(), ColorSpaceModel::monochrome);
    EXPECT_EQ(image.alphaInfo(), ImageAlphaInfo::last);
    EXPECT_EQ(image.componentsPerPixel(), 2U);
  }
  {
    const DecodedImage image = *openFixture("cmyk.jpg").createImageAtIndex(0);
    EXPECT_EQ(image.colorSpace()->model(), ColorSpaceModel::cmyk);
    EXPECT_EQ(image.componentsPerPixel(), 4U);
    // Cyan at the top: much cyan ink, little magenta, after Adobe's inversion.
    const std::uint8_t* top = image.pixels().data() + image.bytesPerRow() + 4 * 16;
    EXPECT_GT(top[0], 150);
    EXPECT_LT(top[1], 100);
    // The rendering keeps the CMYK model.
    EXPECT_EQ(openFixture("cmyk.jpg").createThumbnailAtIndex(0, {})->colorSpace()->model(), ColorSpaceModel::cmyk);
  }
}

TEST(ImageSource, ReportsTheEmbeddedProfileAndItsName) {
  for (const char* name : {"adobe-rgb.jpg", "adobe-rgb.png"}) {
    SCOPED_TRACE(name);
    ImageSource source = openFixture(name);
    const PropertyDictionary properties = *source.copyPropertiesAtIndex(0);
    const PropertyValue* profileName = properties.find(ImagePropertyKey::profileName);
    ASSERT_NE(profileName, nullptr);
    EXPECT_THAT(*profileName->asString(), ::testing::HasSubstr("Adobe RGB"));
    const DecodedImage image = *source.createImageAtIndex(0);
    ASSERT_TRUE(image.colorSpace()->copyIccData().has_value());
    EXPECT_EQ(image.colorSpace()->iccData().size(), readFixture("adobe-rgb.png").size() > 0 ? 18604U : 0U);
    EXPECT_THAT(image.colorSpace()->name(), ::testing::Not(::testing::HasSubstr("pq")));
    EXPECT_THAT(image.colorSpace()->name(), ::testing::Not(::testing::HasSubstr("hlg")));
  }
  const DecodedImage plain = *openFixture("orientation-1.png").createImageAtIndex(0);
  EXPECT_FALSE(plain.colorSpace()->copyIccData().has_value());
}

TEST(ColorSpaceNames, AvifTransfersReachTheName) {
  EXPECT_THAT(openFixture("hdr-pq.avif").createImageAtIndex(0)->colorSpace()->name(), ::testing::HasSubstr("pq"));
  EXPECT_THAT(openFixture("hdr-hlg.avif").createImageAtIndex(0)->colorSpace()->name(), ::testing::HasSubstr("hlg"));
  const std::string plain = openFixture("still.avif").createImageAtIndex(0)->colorSpace()->name();
  EXPECT_EQ(plain.find("pq"), std::string::npos) << plain;
  EXPECT_EQ(plain.find("hlg"), std::string::npos) << plain;
}

TEST(ImageSource, ReadsTheProfileEmbeddedInAV5Bitmap) {
  ImageSource source = openFixture("profile-v5.bmp");
  const DecodedImage image = *source.createImageAtIndex(0);
  EXPECT_EQ(image.colorSpace()->iccData(), openFixture("adobe-rgb.png").createImageAtIndex(0)->colorSpace()->iccData());
  const PropertyDictionary properties = *source.copyPropertiesAtIndex(0);
  EXPECT_THAT(*properties.find(ImagePropertyKey::profileName)->asString(), ::testing::HasSubstr("Adobe RGB"));
}

TEST(ImageSource, DecodesRunLengthEncodedFourBitBitmaps) {
  // 4 x 2 pixels, RLE4: bottom row "0 1 0 1" as one encoded run, top row as an
  // absolute run of "1 1 0 0"; palette 0 black, 1 red.
  ImageBytes bmp = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 62, 0, 0, 0, 40, 0, 0, 0, 4, 0, 0, 0, 2, 0, 0, 0, 1, 0, 4, 0,
                    2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0,
                    0, 0, 0, 0, 0, 0, 255, 0,  // palette: black, red (BGRA)
                    4, 0x01, 0, 0,              // bottom row: 4 pixels alternating 0 and 1, end of line
                    0, 4, 0x11, 0x00, 0, 0,     // top row: absolute 4 pixels "1 1 0 0", end of line
                    0, 1};                      // end of bitmap
  bmp[2] = static_cast<std::uint8_t>(bmp.size());
  std::optional<ImageSource> source = ImageSource::createWithData(bmp);
  ASSERT_TRUE(source.has_value());
  const DecodedImage image = *source->createImageAtIndex(0);
  EXPECT_EQ(rgbaAt(image, 0, 0), (std::array<int, 4>{255, 0, 0, 255}));
  EXPECT_EQ(rgbaAt(image, 2, 0), (std::array<int, 4>{0, 0, 0, 255}));
  EXPECT_EQ(rgbaAt(image, 0, 1), (std::array<int, 4>{0, 0, 0, 255}));
  EXPECT_EQ(rgbaAt(image, 1, 1), (std::array<int, 4>{255, 0, 0, 255}));
}

TEST(ColorSpaceNames, OnlyARealPqOrHlgTransferNamesPqOrHlg) {
  for (int transfer = 0; transfer < 20; ++transfer) {
    const auto space = ColorSpace::createGeneric(ColorSpaceModel::rgb, Cicp{9, transfer, 9, true});
    const bool namesPq = space->name().find("pq") != std::string::npos;
    const bool namesHlg = space->name().find("hlg") != std::string::npos;
    EXPECT_EQ(namesPq, transfer == 16) << space->name();
    EXPECT_EQ(namesHlg, transfer == 18) << space->name();
  }
}

// Every orientation renders upright: the quadrant colours of the reference
// (red, green over blue, white) must appear at the quadrant centres.
class OrientationRendering : public ::testing::TestWithParam<std::tuple<int, const char*>> {};

TEST_P(OrientationRendering, RendersTheReferenceUpright) {
  const auto [orientation, extension] = GetParam();
  ImageSource source = openFixture("orientation-" + std::to_string(orientation) + extension);
  EXPECT_EQ(numberProperty(*source.copyPropertiesAtIndex(0), ImagePropertyKey::orientation), orientation);
  ThumbnailOptions options;
  options.createThumbnailWithTransform = true;
  const std::optional<DecodedImage> upright = source.createThumbnailAtIndex(0, options);
  ASSERT_TRUE(upright.has_value());
  ASSERT_EQ(upright->width(), 32U);
  ASSERT_EQ(upright->height(), 24U);
  EXPECT_EQ(upright->bitsPerComponent(), 8U);
  const std::array<std::array<int, 3>, 4> expected = {{{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}}};
  const std::array<std::pair<std::size_t, std::size_t>, 4> centres = {{{8, 6}, {24, 6}, {8, 18}, {24, 18}}};
  for (std::size_t q = 0; q < 4; ++q) {
    const auto rgba = rgbaAt(*upright, centres[q].first, centres[q].second);
    for (std::size_t c = 0; c < 3; ++c) EXPECT_NEAR(rgba[c], expected[q][c], 40) << "quadrant " << q;
  }
  // Without the transform the stored size stays.
  const DecodedImage stored = *source.createThumbnailAtIndex(0, ThumbnailOptions{});
  EXPECT_EQ(stored.width(), orientation >= 5 ? 24U : 32U);
}

INSTANTIATE_TEST_SUITE_P(AllEight, OrientationRendering,
                         ::testing::Combine(::testing::Range(1, 9), ::testing::Values(".jpg", ".png")),
                         [](const auto& parameter) {
                           return "orientation" + std::to_string(std::get<0>(parameter.param)) +
                                  (std::string(std::get<1>(parameter.param)) == ".jpg" ? "_jpeg" : "_png");
                         });

// Containers other than JPEG and PNG decode to the same reference picture.
class ReferenceDecoding : public ::testing::TestWithParam<std::tuple<const char*, int>> {};

TEST_P(ReferenceDecoding, DecodesTheQuadrants) {
  const auto [name, tolerance] = GetParam();
  ImageSource source = openFixture(name);
  const DecodedImage image = *source.createImageAtIndex(0);
  ASSERT_EQ(image.width(), 32U);
  ASSERT_EQ(image.height(), 24U);
  const std::array<std::array<int, 3>, 4> expected = {{{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}}};
  const std::array<std::pair<std::size_t, std::size_t>, 4> centres = {{{8, 6}, {24, 6}, {8, 18}, {24, 18}}};
  for (std::size_t q = 0; q < 4; ++q) {
    const auto rgba = rgbaAt(image, centres[q].first, centres[q].second);
    for (std::size_t c = 0; c < 3; ++c) EXPECT_NEAR(rgba[c], expected[q][c], tolerance) << name << " quadrant " << q;
    EXPECT_EQ(rgba[3], 255);
  }
}

INSTANTIATE_TEST_SUITE_P(Containers, ReferenceDecoding,
                         ::testing::Values(std::tuple{"still.gif", 0}, std::tuple{"rgb24.bmp", 0},
                                           std::tuple{"palette-rle8.bmp", 0}, std::tuple{"argb32.bmp", 0},
                                           std::tuple{"still.webp", 30}, std::tuple{"still.avif", 30},
                                           std::tuple{"still.heic", 40}),
                         [](const auto& parameter) {
                           std::string name = std::get<0>(parameter.param);
                           for (char& c : name) if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

TEST(ImageSource, ReadsAvifOrientationFromIrot) {
  ImageSource source = openFixture("rotated.avif");
  // One anticlockwise quarter turn is EXIF orientation 8.
  EXPECT_EQ(numberProperty(*source.copyPropertiesAtIndex(0), ImagePropertyKey::orientation), 8);
  ThumbnailOptions options;
  options.createThumbnailWithTransform = true;
  const DecodedImage upright = *source.createThumbnailAtIndex(0, options);
  EXPECT_EQ(upright.width(), 24U);
  EXPECT_EQ(upright.height(), 32U);
  // The stored top-right quadrant (green) turns to the top left.
  EXPECT_NEAR(rgbaAt(upright, 6, 8)[1], 255, 40);
  EXPECT_NEAR(rgbaAt(upright, 6, 8)[0], 0, 40);
}

TEST(ImageSource, ReportsAlphaOfWebpAndBmp) {
  ImageSource webp = openFixture("alpha.webp");
  EXPECT_TRUE(*webp.copyPropertiesAtIndex(0)->find(ImagePropertyKey::hasAlpha)->asBoolean());
  EXPECT_TRUE(alphaInfoCarriesAlpha(webp.createImageAtIndex(0)->alphaInfo()));
  ImageSource bmp = openFixture("argb32.bmp");
  EXPECT_TRUE(*bmp.copyPropertiesAtIndex(0)->find(ImagePropertyKey::hasAlpha)->asBoolean());
  ImageSource gif = openFixture("still.gif");
  EXPECT_FALSE(*gif.copyPropertiesAtIndex(0)->find(ImagePropertyKey::hasAlpha)->asBoolean());
}

TEST(ImageSource, ThumbnailsScaleDownToTheMaximumPixelSize) {
  ImageSource source = openFixture("orientation-6.png");
  ThumbnailOptions options;
  options.createThumbnailWithTransform = true;
  options.thumbnailMaxPixelSize = 16;
  const DecodedImage small = *source.createThumbnailAtIndex(0, options);
  EXPECT_EQ(small.width(), 16U);
  EXPECT_EQ(small.height(), 12U);
  EXPECT_NEAR(rgbaAt(small, 4, 3)[0], 255, 40);
  options.thumbnailMaxPixelSize = 1000;
  EXPECT_EQ(source.createThumbnailAtIndex(0, options)->width(), 32U) << "never enlarges";
}

}  // namespace
}  // namespace quorvantelmic
