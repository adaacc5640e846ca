// A tag exiv2 has no name for keeps its number as the dictionary key, so the
// caller can tell that the key is not a string.
#include <gtest/gtest.h>

#include <exiv2/exiv2.hpp>

#include "tests/image/platform/fixture_support.hpp"

namespace quorvantelmic {
namespace {

TEST(UnnamedTags, KeepTheirNumberAsAKeyThatIsNotAString) {
  ImageBytes jpeg = testing::readFixture("orientation-1.jpg");
  {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    auto image = Exiv2::ImageFactory::open(jpeg.data(), static_cast<long>(jpeg.size()));
    ASSERT_NE(image.get(), nullptr);
    image->readMetadata();
    Exiv2::ExifData exif = image->exifData();
    exif["Exif.Photo.ExposureTime"] = Exiv2::Rational(1, 60);
    Exiv2::ExifKey unnamed("Exif.Photo.0xfe0b");
    Exiv2::Value::AutoPtr value = Exiv2::Value::create(Exiv2::unsignedShort);
    value->read("7");
    exif.add(unnamed, value.get());
    image->setExifData(exif);
    image->writeMetadata();
    Exiv2::BasicIo& io = image->io();
    ASSERT_EQ(io.open(), 0);
    Exiv2::DataBuf written = io.read(io.size());
    jpeg.assign(written.pData_, written.pData_ + written.size_);
  }
  std::optional<ImageSource> source = ImageSource::createWithData(jpeg);
  ASSERT_TRUE(source.has_value());
  const PropertyDictionary properties = *source->copyPropertiesAtIndex(0);
  const PropertyDictionary& exif = testing::dictionaryProperty(properties, ImagePropertyKey::exifDictionary);
  EXPECT_DOUBLE_EQ(testing::numberProperty(exif, "ExposureTime"), 1.0 / 60.0);
  bool sawNumericKey = false;
  for (const auto& [key, value] : exif.entries) {
    if (const auto* number = std::get_if<std::int64_t>(&key)) {
      EXPECT_EQ(*number, 0xfe0b);
      EXPECT_EQ(value, PropertyValue::number(7));
      sawNumericKey = true;
    }
  }
  EXPECT_TRUE(sawNumericKey);
}

}  // namespace
}  // namespace quorvantelmic
