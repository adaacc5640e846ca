// Decodes at a reduced size for large downscales: JPEG frames come out at
// 1/2, 1/4 or 1/8 (never below the side asked for), look like the full decode
// scaled down, and a damaged stream still fails as it does at full size.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <utility>

#include "tests/image/platform/fixture_support.hpp"

namespace quorvantelmic {
namespace {

using testing::openFixture;
using testing::readFixture;
using testing::rgbaAt;

TEST(ReducedDecode, PicksTheSmallestJpegScaleThatKeepsTheSideAskedFor) {
  const ImageSource source = openFixture("photo-640x480.jpg");
  const std::pair<std::size_t, std::size_t> cases[] = {
      {0, 640},    // no reduction asked for
      {641, 640},  // more than the frame holds: as stored
      {321, 640},  // half would be too small
      {320, 320}, {161, 320}, {160, 160}, {80, 80}, {10, 80},  // 1/8 is the smallest scale
  };
  for (const auto& [asked, width] : cases) {
    const std::optional<DecodedImage> frame = source.createImageAtIndex(0, asked);
    ASSERT_TRUE(frame) << asked;
    EXPECT_EQ(frame->width(), width) << asked;
    EXPECT_EQ(frame->height(), width * 3 / 4) << asked;
  }
  // Codecs without reduced decoding give the frame as stored.
  const std::optional<DecodedImage> png = openFixture("photo-metadata.png").createImageAtIndex(0, 8);
  ASSERT_TRUE(png);
  EXPECT_EQ(png->width(), 64u);
}

TEST(ReducedDecode, LooksLikeTheFullDecodeScaledDown) {
  const ImageSource source = openFixture("photo-640x480.jpg");
  const std::optional<DecodedImage> reduced = source.createImageAtIndex(0, 160);
  ThumbnailOptions options;
  options.createThumbnailFromImageAlways = true;
  options.thumbnailMaxPixelSize = 160;
  const std::optional<DecodedImage> resampled = source.createThumbnailAtIndex(0, options);
  ASSERT_TRUE(reduced && resampled);
  ASSERT_EQ(resampled->width(), 160u);
  ASSERT_EQ(resampled->height(), 120u);
  long total = 0;
  int largest = 0;
  for (std::size_t y = 0; y < 120; ++y) {
    for (std::size_t x = 0; x < 160; ++x) {
      const auto a = rgbaAt(*reduced, x, y);
      const auto b = rgbaAt(*resampled, x, y);
      for (int c = 0; c < 3; ++c) {
        const int difference = std::abs(a[static_cast<std::size_t>(c)] - b[static_cast<std::size_t>(c)]);
        total += difference;
        largest = std::max(largest, difference);
      }
    }
  }
  EXPECT_LT(static_cast<double>(total) / (160.0 * 120.0 * 3.0), 3.0);
  EXPECT_LT(largest, 48);
}

TEST(ReducedDecode, StillReadsAndChecksTheWholeStream) {
  ImageBytes bytes = readFixture("photo-640x480.jpg");
  bytes.resize(bytes.size() * 7 / 10);
  const std::optional<ImageSource> source = ImageSource::createWithData(bytes);
  ASSERT_TRUE(source);
  EXPECT_FALSE(source->createImageAtIndex(0, 80));
  EXPECT_FALSE(source->createImageAtIndex(0));
}

}  // namespace
}  // namespace quorvantelmic
