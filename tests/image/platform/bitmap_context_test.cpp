// The drawing context: fills, blend modes, scaled drawing with the library
// resampler, colour conversion into the context, and snapshots.
#include <gtest/gtest.h>

#include <link.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "tests/image/platform/fixture_support.hpp"

namespace quorvantelmic {
namespace {

using testing::openFixture;
using testing::rgbaAt;

TEST(BitmapContext, RefusesLayoutsItCannotHold) {
  EXPECT_FALSE(BitmapContext::create(10, 10, 16, 0, ColorSpace::deviceRgb(), ImageAlphaInfo::noneSkipLast));
  EXPECT_FALSE(BitmapContext::create(0, 10, 8, 0, ColorSpace::deviceRgb(), ImageAlphaInfo::noneSkipLast));
  EXPECT_FALSE(BitmapContext::create(10, 10, 8, 39, ColorSpace::deviceRgb(), ImageAlphaInfo::noneSkipLast));
  EXPECT_FALSE(BitmapContext::create(10, 10, 8, 0, ColorSpace::deviceGray(), ImageAlphaInfo::noneSkipLast));
  EXPECT_FALSE(BitmapContext::create(10, 10, 8, 0, ColorSpace::createGeneric(ColorSpaceModel::cmyk), ImageAlphaInfo::none));
  EXPECT_FALSE(BitmapContext::create(200000, 200000, 8, 0, ColorSpace::deviceRgb(), ImageAlphaInfo::noneSkipLast));
  std::optional<BitmapContext> context = BitmapContext::create(10, 10, 8, 0, ColorSpace::deviceRgb(), ImageAlphaInfo::noneSkipLast);
  ASSERT_TRUE(context.has_value());
  EXPECT_EQ(context->bytesPerRow(), 40U);
}

TEST(BitmapContext, FlattensTransparencyOntoWhite) {
  const DecodedImage palette = *openFixture("palette-trns.png").createImageAtIndex(0);
  std::optional<BitmapContext> context =
      BitmapContext::create(palette.width(), palette.height(), 8, 4 * palette.width(), ColorSpace::deviceRgb(),
                            ImageAlphaInfo::noneSkipLast);
  ASSERT_TRUE(context.has_value());
  context->setGrayFillColor(1, 1);
  context->fillRect({0, 0, 20, 20});
  context->setBlendMode(BlendMode::normal);
  context->setInterpolationQuality(InterpolationQuality::high);
  ASSERT_TRUE(context->drawImage({0, 0, 20, 20}, palette));
  const DecodedImage snapshot = *context->createImage();
  EXPECT_EQ(snapshot.alphaInfo(), ImageAlphaInfo::noneSkipLast);
  EXPECT_EQ(rgbaAt(snapshot, 10, 10), (std::array<int, 4>{255, 255, 255, 255})) << "transparent became white";
  EXPECT_EQ(rgbaAt(snapshot, 1, 1), (std::array<int, 4>{255, 0, 0, 255}));
}

TEST(BitmapContext, CopyKeepsAlphaAndNormalBlends) {
  const DecodedImage palette = *openFixture("palette-trns.png").createImageAtIndex(0);
  std::optional<BitmapContext> context =
      BitmapContext::create(20, 20, 8, 0, ColorSpace::deviceRgb(), ImageAlphaInfo::premultipliedLast);
  ASSERT_TRUE(context.has_value());
  context->setFillColor(0, 0, 1, 1);
  context->fillRect({0, 0, 20, 20});
  context->setBlendMode(BlendMode::copy);
  ASSERT_TRUE(context->drawImage({0, 0, 20, 20}, palette));
  const DecodedImage copied = *context->createImage();
  EXPECT_EQ(rgbaAt(copied, 10, 10)[3], 0) << "copy replaces, transparency included";

  context->setBlendMode(BlendMode::normal);
  context->setFillColor(0, 0, 1, 1);
  context->fillRect({0, 0, 20, 20});
  ASSERT_TRUE(context->drawImage({0, 0, 20, 20}, palette));
  const DecodedImage blended = *context->createImage();
  EXPECT_EQ(rgbaAt(blended, 10, 10), (std::array<int, 4>{0, 0, 255, 255})) << "blue shows through";
  EXPECT_EQ(rgbaAt(blended, 1, 1), (std::array<int, 4>{255, 0, 0, 255}));
}

TEST(BitmapContext, ScalesWithTheLibraryResamplerAndHonoursTheLowerLeftOrigin) {
  const DecodedImage reference = *openFixture("orientation-reference.png").createImageAtIndex(0);
  std::optional<BitmapContext> context = BitmapContext::create(64, 48, 8, 0, ColorSpace::deviceRgb(), ImageAlphaInfo::noneSkipLast);
  ASSERT_TRUE(context.has_value());
  context->setInterpolationQuality(InterpolationQuality::high);
  ASSERT_TRUE(context->drawImage({0, 0, 64, 48}, reference));
  const DecodedImage doubled = *context->createImage();
  EXPECT_EQ(rgbaAt(doubled, 16, 12), (std::array<int, 4>{255, 0, 0, 255}));
  EXPECT_EQ(rgbaAt(doubled, 48, 36), (std::array<int, 4>{255, 255, 255, 255}));

  // A rectangle in the lower half lands in the bottom rows of the buffer.
  std::optional<BitmapContext> half = BitmapContext::create(32, 48, 8, 0, ColorSpace::deviceRgb(), ImageAlphaInfo::noneSkipLast);
  ASSERT_TRUE(half.has_value());
  ASSERT_TRUE(half->drawImage({0, 0, 32, 24}, reference));
  const DecodedImage lower = *half->createImage();
  EXPECT_EQ(rgbaAt(lower, 8, 30), (std::array<int, 4>{255, 0, 0, 255}));
  EXPECT_EQ(rgbaAt(lower, 8, 6), (std::array<int, 4>{0, 0, 0, 255})) << "the top half stays undrawn";
}

TEST(BitmapContext, ConvertsColourIntoTheContextSpace) {
  // CMYK drawn into RGB, and Adobe RGB drawn into sRGB, both through lcms2.
  const DecodedImage cmyk = *openFixture("cmyk.jpg").createImageAtIndex(0);
  std::optional<BitmapContext> context = BitmapContext::create(32, 24, 8, 0, ColorSpace::deviceRgb(), ImageAlphaInfo::noneSkipLast);
  ASSERT_TRUE(context.has_value());
  ASSERT_TRUE(context->drawImage({0, 0, 32, 24}, cmyk));
  const auto top = rgbaAt(*context->createImage(), 16, 1);
  EXPECT_LT(top[0], 100) << "cyan has little red";
  EXPECT_GT(top[2], 150);

  const DecodedImage adobe = *openFixture("adobe-rgb.png").createImageAtIndex(0);
  ASSERT_TRUE(context->drawImage({0, 0, 32, 24}, adobe));
  const DecodedImage converted = *context->createImage();
  EXPECT_NE(rgbaAt(converted, 16, 1), rgbaAt(adobe, 16, 1)) << "the values changed with the space";

  std::optional<BitmapContext> gray = BitmapContext::create(32, 24, 8, 0, ColorSpace::deviceGray(), ImageAlphaInfo::none);
  ASSERT_TRUE(gray.has_value());
  ASSERT_TRUE(gray->drawImage({0, 0, 32, 24}, *openFixture("orientation-reference.png").createImageAtIndex(0)));
  const DecodedImage grayImage = *gray->createImage();
  EXPECT_EQ(grayImage.componentsPerPixel(), 1U);
  EXPECT_GT(rgbaAt(grayImage, 24, 18)[0], 240) << "white stays white";
}

TEST(BitmapContext, SnapshotsDoNotChangeWithLaterDrawing) {
  std::optional<BitmapContext> context = BitmapContext::create(4, 4, 8, 0, ColorSpace::deviceGray(), ImageAlphaInfo::none);
  ASSERT_TRUE(context.has_value());
  context->setGrayFillColor(1, 1);
  context->fillRect({0, 0, 4, 4});
  const DecodedImage first = *context->createImage();
  context->setGrayFillColor(0, 1);
  context->fillRect({0, 0, 4, 4});
  EXPECT_EQ(first.pixels()[0], 255);
  EXPECT_EQ(context->createImage()->pixels()[0], 0);
}

// Run by the test below in a re-executed copy of this program.
TEST(SingleThreadedRuntime, ReexecutedProcessHasTheLimit) {
  if (std::getenv("QV_REEXEC_PROBE") == nullptr) GTEST_SKIP() << "only meaningful in the re-executed child";
  ASSERT_NE(std::getenv("OMP_THREAD_LIMIT"), nullptr);
  EXPECT_STREQ(std::getenv("OMP_THREAD_LIMIT"), "1");
}

// Whether the OpenMP runtime is mapped into this process.
bool openMpRuntimeMapped() {
  return ::dl_iterate_phdr(
             [](dl_phdr_info* info, std::size_t, void*) {
               return info->dlpi_name != nullptr && std::strstr(info->dlpi_name, "/libgomp.") != nullptr ? 1 : 0;
             },
             nullptr) != 0;
}

// In a child with OMP_THREAD_LIMIT unset: `prepare`, then the call. Returns
// the child's exit status: 0 when it re-executed itself into the probe above,
// 7 when the call returned true with the limit set in place.
int singleThreadedRuntimeChild(void (*prepare)()) {
  const pid_t child = fork();
  if (child == 0) {
    ::unsetenv("OMP_THREAD_LIMIT");
    ::setenv("QV_REEXEC_PROBE", "1", 1);
    prepare();
    char program[] = "image_platform_tests";
    char filter[] = "--gtest_filter=SingleThreadedRuntime.ReexecutedProcessHasTheLimit";
    char* argv[] = {program, filter, nullptr};
    const bool inForce = ensureSingleThreadedLibraryRuntime(argv);
    const char* limit = std::getenv("OMP_THREAD_LIMIT");
    _exit(inForce && limit != nullptr && std::string_view(limit) == "1" ? 7 : 42);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Writing a GIF loads the palette quantiser and its OpenMP runtime.
void writeGif() {
  const DecodedImage image = *openFixture("orientation-reference.png").createImageAtIndex(0);
  std::optional<ImageDestination> destination = ImageDestination::createWithData("com.compuserve.gif", 1);
  if (!destination) _exit(43);
  destination->addImage(image, PropertyDictionary());
  if (!destination->finalize()) _exit(44);
}

TEST(SingleThreadedRuntime, SetsTheLimitBeforeTheRuntimeLoadsAndReexecutesAfter) {
  if (!openMpRuntimeMapped()) {
    EXPECT_EQ(singleThreadedRuntimeChild([] {}), 7) << "not loaded yet: the variable is enough, no exec";
  }
  EXPECT_EQ(singleThreadedRuntimeChild(writeGif), 0) << "loaded already: a fresh image of the program";
  char* noArguments[] = {nullptr};
  ::setenv("OMP_THREAD_LIMIT", "1", 1);
  EXPECT_TRUE(ensureSingleThreadedLibraryRuntime(noArguments)) << "already in force: returns without exec";
}

}  // namespace
}  // namespace quorvantelmic
