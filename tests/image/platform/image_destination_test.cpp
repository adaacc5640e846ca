// Encoding through the destination and reading the result back through the
// source: pixels, orientation, quality, colour profiles and metadata.
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
using testing::rgbaAt;

PropertyDictionary encodingProperties(int orientation, std::optional<double> quality = std::nullopt) {
  PropertyDictionary properties;
  properties.set(PropertyKey(std::string(ImagePropertyKey::orientation)), PropertyValue::number(orientation));
  if (quality) {
    properties.set(PropertyKey(std::string(ImageDestinationOption::lossyCompressionQuality)),
                   PropertyValue::number(*quality));
  }
  return properties;
}

ImageBytes encode(const std::string& type, const DecodedImage& image, const PropertyDictionary& properties,
                  const ImageMetadata* metadata = nullptr) {
  std::optional<ImageDestination> destination = ImageDestination::createWithData(type, 1);
  if (!destination) return {};
  if (metadata != nullptr) {
    destination->addImageAndMetadata(image, *metadata, properties);
  } else {
    destination->addImage(image, properties);
  }
  if (!destination->finalize()) return {};
  return destination->takeData();
}

class RoundTrip : public ::testing::TestWithParam<const char*> {};

TEST_P(RoundTrip, ReadsBackTheSamePictureAndOrientation) {
  const std::string type = GetParam();
  const DecodedImage reference = *openFixture("orientation-reference.png").createImageAtIndex(0);
  const bool lossy = type == "public.jpeg" || type == "public.avif";
  for (int orientation : {1, 6}) {
    SCOPED_TRACE(orientation);
    const ImageBytes bytes = encode(type, reference, encodingProperties(orientation, 0.9));
    ASSERT_FALSE(bytes.empty());
    std::optional<ImageSource> source = ImageSource::createWithData(bytes);
    ASSERT_TRUE(source.has_value());
    EXPECT_EQ(source->type(), type);
    EXPECT_EQ(source->count(), 1U);
    const PropertyDictionary properties = *source->copyPropertiesAtIndex(0);
    EXPECT_EQ(numberProperty(properties, ImagePropertyKey::pixelWidth), 32);
    EXPECT_EQ(numberProperty(properties, ImagePropertyKey::pixelHeight), 24);
    const PropertyValue* written = properties.find(ImagePropertyKey::orientation);
    if (type == "com.compuserve.gif" || type == "com.microsoft.bmp") {
      EXPECT_EQ(written, nullptr) << "GIF and BMP carry no orientation";
    } else if (orientation == 1) {
      EXPECT_TRUE(written == nullptr || written->asNumber()->value == 1) << "1 is also what no tag means";
    } else {
      ASSERT_NE(written, nullptr);
      EXPECT_EQ(written->asNumber()->value, orientation);
    }
    const DecodedImage decoded = *source->createImageAtIndex(0);
    for (auto [x, y] : {std::pair{8, 6}, std::pair{24, 6}, std::pair{8, 18}, std::pair{24, 18}}) {
      const auto expected = rgbaAt(reference, x, y);
      const auto actual = rgbaAt(decoded, x, y);
      for (std::size_t c = 0; c < 3; ++c) EXPECT_NEAR(actual[c], expected[c], lossy ? 40 : 0) << x << "," << y;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Writable, RoundTrip,
                         ::testing::Values("public.jpeg", "public.png", "public.tiff", "public.avif",
                                           "com.compuserve.gif", "com.microsoft.bmp"),
                         [](const auto& parameter) {
                           std::string name = parameter.param;
                           name = name.substr(name.rfind('.') + 1);
                           return name;
                         });

TEST(ImageDestination, RefusesUnknownTypesAndMoreThanOneImage) {
  EXPECT_FALSE(ImageDestination::createWithData("org.webmproject.webp", 1).has_value());
  EXPECT_FALSE(ImageDestination::createWithData("public.png", 2).has_value());
  std::optional<ImageDestination> empty = ImageDestination::createWithData("public.png", 1);
  ASSERT_TRUE(empty.has_value());
  EXPECT_FALSE(empty->finalize()) << "no image, no bytes";
  const DecodedImage image = *openFixture("orientation-reference.png").createImageAtIndex(0);
  EXPECT_TRUE(encode("public.png", image, encodingProperties(9)).empty()) << "orientation 9 is refused";
}

TEST(ImageDestination, JpegQualityChangesTheSize) {
  const DecodedImage photo = *openFixture("photo-metadata.jpg").createImageAtIndex(0);
  const ImageBytes low = encode("public.jpeg", photo, encodingProperties(1, 0.6));
  const ImageBytes high = encode("public.jpeg", photo, encodingProperties(1, 1.0));
  ASSERT_FALSE(low.empty());
  ASSERT_FALSE(high.empty());
  EXPECT_LT(low.size(), high.size());
}


// libjpeg-turbo reads four-byte rows as they lie, and 8-bit padding or alpha
// is dropped without arithmetic: the same colours in any 8-bit layout encode
// to the same bytes as three-byte RGB. A real photograph, with rows padded
// past their pixels, and an alpha that is not opaque (a JPEG drops it).
TEST(ImageDestination, EveryEightBitRgbLayoutEncodesAsItsPlainRgb) {
  const DecodedImage photo = *openFixture("photo-640x480.jpg").createImageAtIndex(0);
  ASSERT_EQ(photo.componentsPerPixel(), 3U);
  const std::size_t width = photo.width();
  const std::size_t height = photo.height();
  const std::size_t paddedRow = width * 4 + 12;
  auto fourByte = [&](std::size_t colorOffset, std::size_t otherIndex, ImageAlphaInfo layout) {
    auto pixels = std::make_shared<ImageBytes>(paddedRow * height, 0x5a);
    for (std::size_t y = 0; y < height; ++y) {
      for (std::size_t x = 0; x < width; ++x) {
        const std::uint8_t* from = photo.pixels().data() + y * photo.bytesPerRow() + x * 3;
        std::uint8_t* to = pixels->data() + y * paddedRow + x * 4;
        std::copy_n(from, 3, to + colorOffset);
        to[otherIndex] = static_cast<std::uint8_t>(x * 7 + y);
      }
    }
    return DecodedImage(width, height, 8, paddedRow, layout, photo.colorSpace(), std::move(pixels));
  };
  const struct {
    const char* name;
    DecodedImage image;
    bool carriesAlpha;
  } layouts[] = {
      {"RGBX", fourByte(0, 3, ImageAlphaInfo::noneSkipLast), false},
      {"XRGB", fourByte(1, 0, ImageAlphaInfo::noneSkipFirst), false},
      {"RGBA", fourByte(0, 3, ImageAlphaInfo::last), true},
      {"ARGB", fourByte(1, 0, ImageAlphaInfo::first), true},
  };
  for (const double quality : {0.85, 0.95}) {
    const ImageBytes expected = encode("public.jpeg", photo, encodingProperties(1, quality));
    ASSERT_FALSE(expected.empty());
    for (const auto& layout : layouts) {
      SCOPED_TRACE(layout.name);
      EXPECT_EQ(encode("public.jpeg", layout.image, encodingProperties(1, quality)), expected);
    }
  }
  // The lossless encoders take the same pixels through the plain conversion.
  for (const char* type : {"public.png", "com.microsoft.bmp"}) {
    SCOPED_TRACE(type);
    const ImageBytes expected = encode(type, photo, encodingProperties(1));
    ASSERT_FALSE(expected.empty());
    for (const auto& layout : layouts) {
      SCOPED_TRACE(layout.name);
      if (!layout.carriesAlpha) {
        EXPECT_EQ(encode(type, layout.image, encodingProperties(1)), expected);
      }
    }
  }
}
TEST(ImageDestination, KeepsSixteenBitsAndAlphaInPngAndTiff) {
  for (const char* type : {"public.png", "public.tiff"}) {
    SCOPED_TRACE(type);
    const DecodedImage deep = *openFixture("rgb16.png").createImageAtIndex(0);
    std::optional<ImageSource> back = ImageSource::createWithData(encode(type, deep, encodingProperties(1)));
    ASSERT_TRUE(back.has_value());
    const DecodedImage decoded = *back->createImageAtIndex(0);
    EXPECT_EQ(decoded.bitsPerComponent(), 16U);
    ASSERT_EQ(decoded.pixels().size(), deep.pixels().size());
    EXPECT_TRUE(std::equal(deep.pixels().begin(), deep.pixels().end(), decoded.pixels().begin()));

    const DecodedImage grayAlpha = *openFixture("gray-alpha.png").createImageAtIndex(0);
    back = ImageSource::createWithData(encode(type, grayAlpha, encodingProperties(1)));
    ASSERT_TRUE(back.has_value());
    EXPECT_TRUE(*back->copyPropertiesAtIndex(0)->find(ImagePropertyKey::hasAlpha)->asBoolean());
    const DecodedImage again = *back->createImageAtIndex(0);
    EXPECT_EQ(again.colorSpace()->model(), ColorSpaceModel::monochrome);
    EXPECT_EQ(rgbaAt(again, 3, 5), rgbaAt(grayAlpha, 3, 5));
  }
}

TEST(ImageDestination, CmykStaysCmykInJpegAndTiff) {
  const DecodedImage cmyk = *openFixture("cmyk.jpg").createImageAtIndex(0);
  for (const char* type : {"public.jpeg", "public.tiff"}) {
    SCOPED_TRACE(type);
    std::optional<ImageSource> back = ImageSource::createWithData(encode(type, cmyk, encodingProperties(1, 0.95)));
    ASSERT_TRUE(back.has_value());
    const DecodedImage decoded = *back->createImageAtIndex(0);
    EXPECT_EQ(decoded.colorSpace()->model(), ColorSpaceModel::cmyk);
    const std::uint8_t* before = cmyk.pixels().data() + cmyk.bytesPerRow() + 64;
    const std::uint8_t* after = decoded.pixels().data() + decoded.bytesPerRow() + 64;
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(before[c], after[c], 12);
  }
}

TEST(ImageDestination, EmbedsTheBitmapsProfile) {
  const DecodedImage adobe = *openFixture("adobe-rgb.png").createImageAtIndex(0);
  const ImageBytes icc = adobe.colorSpace()->iccData();
  ASSERT_FALSE(icc.empty());
  for (const char* type : {"public.jpeg", "public.png", "public.tiff", "public.avif"}) {
    SCOPED_TRACE(type);
    std::optional<ImageSource> back = ImageSource::createWithData(encode(type, adobe, encodingProperties(1, 0.9)));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->createImageAtIndex(0)->colorSpace()->iccData(), icc);
    EXPECT_THAT(*back->copyPropertiesAtIndex(0)->find(ImagePropertyKey::profileName)->asString(),
                ::testing::HasSubstr("Adobe RGB"));
  }
}

// The source's metadata written into an output reads back with equal values
// for every key, while the output's own structure describes the output.
class MetadataRoundTrip : public ::testing::TestWithParam<const char*> {};

TEST_P(MetadataRoundTrip, ReadsBackEveryWrittenValue) {
  const std::string type = GetParam();
  ImageSource source = openFixture("photo-metadata.jpg");
  const PropertyDictionary original = *source.copyPropertiesAtIndex(0);
  const DecodedImage image = *source.createImageAtIndex(0);
  const ImageMetadata metadata = *source.copyMetadataAtIndex(0);
  const ImageBytes bytes = encode(type, image, encodingProperties(3, 0.9), &metadata);
  ASSERT_FALSE(bytes.empty());
  std::optional<ImageSource> back = ImageSource::createWithData(bytes);
  ASSERT_TRUE(back.has_value());
  const PropertyDictionary written = *back->copyPropertiesAtIndex(0);
  EXPECT_EQ(numberProperty(written, ImagePropertyKey::orientation), 3);

  const PropertyDictionary& exif = dictionaryProperty(written, ImagePropertyKey::exifDictionary);
  EXPECT_DOUBLE_EQ(numberProperty(exif, "ExposureTime"), 1.0 / 125.0);
  EXPECT_EQ(numberProperty(exif, "PixelXDimension"), 64);
  for (std::string_view name : {ImagePropertyKey::gpsDictionary, ImagePropertyKey::iptcDictionary}) {
    if (type == "public.avif" && name == ImagePropertyKey::iptcDictionary) continue;
    const PropertyDictionary& before = dictionaryProperty(original, name);
    const PropertyDictionary& after = dictionaryProperty(written, name);
    for (const auto& [key, value] : before.entries) {
      const std::string* text = std::get_if<std::string>(&key);
      ASSERT_NE(text, nullptr);
      ASSERT_NE(after.find(*text), nullptr) << name << " " << *text;
      EXPECT_EQ(*after.find(*text), value) << name << " " << *text;
    }
  }
  const PropertyDictionary& tiff = dictionaryProperty(written, ImagePropertyKey::tiffDictionary);
  EXPECT_EQ(*tiff.find("Make")->asString(), "Quorvantelmic");
  // Writing the metadata left the pixels intact.
  const std::optional<DecodedImage> decoded = back->createImageAtIndex(0);
  ASSERT_TRUE(decoded.has_value());
  for (std::size_t c = 0; c < 3; ++c) EXPECT_NEAR(rgbaAt(*decoded, 30, 20)[c], rgbaAt(image, 30, 20)[c], 12);
  const auto tags = back->copyMetadataAtIndex(0)->copyTags();
  const auto creator = std::find_if(tags.begin(), tags.end(), [](const auto& tag) { return tag.name == "creator"; });
  ASSERT_NE(creator, tags.end());
  EXPECT_EQ(creator->value, PropertyValue(PropertyArray{PropertyValue("Ada Lovelace")}));
}

INSTANTIATE_TEST_SUITE_P(Carriers, MetadataRoundTrip,
                         ::testing::Values("public.jpeg", "public.png", "public.tiff", "public.avif"),
                         [](const auto& parameter) {
                           std::string name = parameter.param;
                           name = name.substr(name.rfind('.') + 1);
                           return name;
                         });

TEST(ImageDestination, GifAndBmpNeverCarryMetadata) {
  ImageSource source = openFixture("photo-metadata.jpg");
  const DecodedImage image = *source.createImageAtIndex(0);
  const ImageMetadata metadata = *source.copyMetadataAtIndex(0);
  for (const char* type : {"com.compuserve.gif", "com.microsoft.bmp"}) {
    SCOPED_TRACE(type);
    std::optional<ImageSource> back = ImageSource::createWithData(encode(type, image, encodingProperties(1), &metadata));
    ASSERT_TRUE(back.has_value());
    EXPECT_FALSE(back->copyMetadataAtIndex(0).has_value());
    EXPECT_EQ(back->copyPropertiesAtIndex(0)->find(ImagePropertyKey::exifDictionary), nullptr);
  }
}

TEST(ImageDestination, AvifWritesEveryOrientationAsIrotAndImir) {
  const DecodedImage reference = *openFixture("orientation-reference.png").createImageAtIndex(0);
  ImageSource source = openFixture("photo-metadata.jpg");
  const ImageMetadata metadata = *source.copyMetadataAtIndex(0);
  for (int orientation = 1; orientation <= 8; ++orientation) {
    SCOPED_TRACE(orientation);
    for (bool withMetadata : {false, true}) {
      std::optional<ImageSource> back = ImageSource::createWithData(
          encode("public.avif", reference, encodingProperties(orientation, 0.8), withMetadata ? &metadata : nullptr));
      ASSERT_TRUE(back.has_value());
      EXPECT_EQ(numberProperty(*back->copyPropertiesAtIndex(0), ImagePropertyKey::orientation), orientation);
    }
  }
}

TEST(ImageDestination, GifKeepsTransparencyThroughThePalette) {
  const DecodedImage palette = *openFixture("palette-trns.png").createImageAtIndex(0);
  std::optional<ImageSource> back = ImageSource::createWithData(encode("com.compuserve.gif", palette, encodingProperties(1)));
  ASSERT_TRUE(back.has_value());
  EXPECT_TRUE(*back->copyPropertiesAtIndex(0)->find(ImagePropertyKey::hasAlpha)->asBoolean());
  const DecodedImage decoded = *back->createImageAtIndex(0);
  EXPECT_EQ(rgbaAt(decoded, 10, 10)[3], 0);
  EXPECT_EQ(rgbaAt(decoded, 1, 1), (std::array<int, 4>{255, 0, 0, 255}));
}

TEST(ImageDestination, WritesNoMetadataWithoutBeingGivenAny) {
  const DecodedImage image = *openFixture("photo-metadata.jpg").createImageAtIndex(0);
  for (const char* type : {"public.jpeg", "public.png", "public.tiff"}) {
    SCOPED_TRACE(type);
    std::optional<ImageSource> back = ImageSource::createWithData(encode(type, image, encodingProperties(1, 0.9)));
    ASSERT_TRUE(back.has_value());
    const PropertyDictionary properties = *back->copyPropertiesAtIndex(0);
    EXPECT_EQ(properties.find(ImagePropertyKey::gpsDictionary), nullptr);
    EXPECT_EQ(properties.find(ImagePropertyKey::iptcDictionary), nullptr);
    EXPECT_FALSE(back->copyMetadataAtIndex(0).has_value() && !back->copyMetadataAtIndex(0)->copyTags().empty());
  }
}

}  // namespace
}  // namespace quorvantelmic
