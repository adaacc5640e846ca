// Truncated, corrupted and oversized inputs give none or a decode failure,
// never a crash, and a declared pixel bomb is refused before any pixel buffer.
#include <gtest/gtest.h>

#include <zlib.h>

#include <sys/resource.h>

#include "tests/image/platform/fixture_support.hpp"

namespace quorvantelmic {
namespace {

using testing::readFixture;

void exercise(const ImageBytes& bytes) {
  std::optional<ImageSource> source = ImageSource::createWithData(bytes);
  if (!source) return;
  (void)source->count();
  (void)source->copyPropertiesAtIndex(0);
  (void)source->copyMetadataAtIndex(0);
  (void)source->createImageAtIndex(0);
  ThumbnailOptions options;
  options.createThumbnailWithTransform = true;
  (void)source->createThumbnailAtIndex(0, options);
}

class MalformedInput : public ::testing::TestWithParam<const char*> {};

TEST_P(MalformedInput, TruncationNeverDecodesAndNeverCrashes) {
  const ImageBytes whole = readFixture(GetParam());
  for (std::size_t length : {std::size_t{1}, std::size_t{8}, std::size_t{16}, std::size_t{40}, whole.size() / 3,
                             whole.size() / 2, whole.size() * 3 / 4, whole.size() - 16}) {
    if (length >= whole.size()) continue;
    SCOPED_TRACE(length);
    const ImageBytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
    exercise(cut);
    // A multi-page file cut after its first page still holds that page.
    const std::string name = GetParam();
    if (length <= whole.size() / 2 && name != "multipage.tiff" && name != "animated.gif") {
      std::optional<ImageSource> source = ImageSource::createWithData(cut);
      EXPECT_FALSE(source && source->createImageAtIndex(0).has_value()) << "half a file does not decode";
    }
  }
}

TEST_P(MalformedInput, CorruptedBytesNeverCrash) {
  const ImageBytes whole = readFixture(GetParam());
  std::uint32_t state = 12345;
  for (int round = 0; round < 40; ++round) {
    ImageBytes damaged = whole;
    for (int flips = 0; flips < 6; ++flips) {
      state = state * 1103515245U + 12345U;
      const std::size_t at = (state >> 8) % damaged.size();
      damaged[at] = static_cast<std::uint8_t>(damaged[at] ^ (1U << ((state >> 4) & 7U)));
    }
    exercise(damaged);
  }
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, MalformedInput,
                         ::testing::Values("photo-metadata.jpg", "photo-metadata.png", "photo-metadata.tiff",
                                           "animated.png", "multipage.tiff", "cmyk.jpg", "still.gif",
                                           "animated.gif", "rgb24.bmp", "palette-rle8.bmp", "argb32.bmp",
                                           "still.webp", "animated.webp", "still.avif", "still.heic"),
                         [](const auto& parameter) {
                           std::string name = parameter.param;
                           for (char& c : name) if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

void putBigEndian32(ImageBytes& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

TEST(PixelBombs, PngHeaderSizeIsReadWithoutDecoding) {
  ImageBytes png = readFixture("orientation-1.png");
  putBigEndian32(png, 16, 100000);
  putBigEndian32(png, 20, 100000);
  putBigEndian32(png, 29, static_cast<std::uint32_t>(crc32(0, png.data() + 12, 17)));
  std::optional<ImageSource> source = ImageSource::createWithData(png);
  ASSERT_TRUE(source.has_value());
  const PropertyDictionary properties = *source->copyPropertiesAtIndex(0);
  EXPECT_EQ(testing::numberProperty(properties, ImagePropertyKey::pixelWidth), 100000);
  EXPECT_EQ(testing::numberProperty(properties, ImagePropertyKey::pixelHeight), 100000);
  EXPECT_FALSE(source->createImageAtIndex(0).has_value());
}

// The peak resident size of this process in bytes.
std::int64_t peakResidentBytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<std::int64_t>(usage.ru_maxrss) * 1024;
}

// A chunk that declares more bytes than the file holds can never be read, but
// libpng allocates and clears a text chunk's declared length before reading
// it. chunk-length-2gib.png, found by fuzzing, is 429 bytes with a tEXt chunk
// before the image data that declares 2046820389 bytes; it used to make the
// header reading write 2 GiB of memory. The same lie after the image data hit
// the pixel decoding in the same way.
TEST(PixelBombs, PngChunkLengthsPastTheEndAreRefusedWithoutAllocating) {
  const std::int64_t before = peakResidentBytes();
  EXPECT_FALSE(ImageSource::createWithData(readFixture("chunk-length-2gib.png")).has_value());

  ImageBytes png = readFixture("orientation-1.png");
  const std::size_t end = png.size() - 12;  // the IEND chunk
  const ImageBytes text = {0x00, 0x00, 0x00, 0x04, 't', 'E', 'X', 't', 'a', 0x00, 'b', 'c', 0x00, 0x00, 0x00, 0x00};
  png.insert(png.begin() + static_cast<std::ptrdiff_t>(end), text.begin(), text.end());
  putBigEndian32(png, end, 2046820389);
  std::optional<ImageSource> source = ImageSource::createWithData(png);
  ASSERT_TRUE(source.has_value());
  EXPECT_FALSE(source->createImageAtIndex(0).has_value());
  EXPECT_LT(peakResidentBytes() - before, std::int64_t{512} << 20);
}

TEST(PixelBombs, GifBmpAndWebpHeadersAreReadWithoutDecoding) {
  ImageBytes gif = readFixture("still.gif");
  gif[6] = gif[7] = gif[8] = gif[9] = 0xFF;  // logical screen 65535 x 65535
  std::optional<ImageSource> gifSource = ImageSource::createWithData(gif);
  if (gifSource) {
    EXPECT_FALSE(gifSource->createImageAtIndex(0).has_value());
  }

  ImageBytes bmp = readFixture("rgb24.bmp");
  for (std::size_t at : {18U, 22U}) {
    bmp[at] = 0xA0;  // 100000
    bmp[at + 1] = 0x86;
    bmp[at + 2] = 0x01;
    bmp[at + 3] = 0x00;
  }
  std::optional<ImageSource> bmpSource = ImageSource::createWithData(bmp);
  ASSERT_TRUE(bmpSource.has_value());
  EXPECT_EQ(testing::numberProperty(*bmpSource->copyPropertiesAtIndex(0), ImagePropertyKey::pixelWidth), 100000);
  EXPECT_FALSE(bmpSource->createImageAtIndex(0).has_value());
}

TEST(PixelBombs, JpegFrameHeaderSizeIsReadWithoutDecoding) {
  ImageBytes jpeg = readFixture("orientation-1.jpg");
  std::size_t at = 2;
  while (at + 9 < jpeg.size() && !(jpeg[at] == 0xFF && jpeg[at + 1] == 0xC0)) {
    at += 2 + ((std::size_t{jpeg[at + 2]} << 8) | jpeg[at + 3]);
  }
  ASSERT_LT(at + 9, jpeg.size());
  jpeg[at + 5] = 0xEA;  // height 60000
  jpeg[at + 6] = 0x60;
  jpeg[at + 7] = 0xEA;  // width 60000
  jpeg[at + 8] = 0x60;
  std::optional<ImageSource> source = ImageSource::createWithData(jpeg);
  ASSERT_TRUE(source.has_value());
  EXPECT_EQ(testing::numberProperty(*source->copyPropertiesAtIndex(0), ImagePropertyKey::pixelWidth), 60000);
  EXPECT_FALSE(source->createImageAtIndex(0).has_value()) << "3.6 gigapixels exceed the decode limit";
}

}  // namespace
}  // namespace quorvantelmic
