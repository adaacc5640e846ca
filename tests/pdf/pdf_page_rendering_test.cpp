// Page rendering and raster encoding on real PDFs, and the two page export
// operations writing into a real output directory.
#include "helper_core/pdf/pdf_page_renderer.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "helper_core/file_access/descriptor_digest.hpp"
#include "helper_core/pdf/pdf_operations.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "tests/file_access/file_test_support.hpp"
#include "tests/pdf/pdf_test_support.hpp"

namespace quorvantelmic {
namespace {

using namespace pdf_testing;
using testing_support::entriesOf;
using testing_support::openOrThrow;
using testing_support::TemporaryDirectory;

InspectedPDF inspectedFixture(const std::string& name) { return PDFInspector().inspect(readFixture(name)); }

InspectedPDF inspectedBytes(const std::string& text) { return PDFInspector().inspect(bytesOf(text)); }

RenderedPDFPage renderPage(const InspectedPDF& pdf, std::size_t index, std::int64_t dpi) {
  return PDFPageRenderer().render(*pdf.coreGraphicsDocument.page(index + 1), pdf.probe.pages.at(index), dpi);
}

struct RGB {
  int r, g, b;
  friend bool operator==(const RGB&, const RGB&) = default;
};

RGB pixelAt(const DecodedImage& image, std::size_t x, std::size_t y) {
  const std::uint8_t* p = image.pixels().data() + y * image.bytesPerRow() + x * image.componentsPerPixel();
  return {p[0], p[1], p[2]};
}

bool isBlue(RGB pixel) { return pixel.r < 60 && pixel.g < 60 && pixel.b > 200; }

// The smallest rectangle of pixels holding every blue pixel, as
// [left, right) × [top, bottom) in rows counted from the top.
struct Box {
  std::size_t left = std::numeric_limits<std::size_t>::max(), top = std::numeric_limits<std::size_t>::max();
  std::size_t right = 0, bottom = 0;
};

Box blueBox(const DecodedImage& image) {
  Box box;
  for (std::size_t y = 0; y < image.height(); ++y) {
    for (std::size_t x = 0; x < image.width(); ++x) {
      if (!isBlue(pixelAt(image, x, y))) continue;
      box.left = std::min(box.left, x);
      box.top = std::min(box.top, y);
      box.right = std::max(box.right, x + 1);
      box.bottom = std::max(box.bottom, y + 1);
    }
  }
  return box;
}

// Allows the one pixel of smoothing either side of an edge.
void expectBox(const Box& actual, std::size_t left, std::size_t top, std::size_t right, std::size_t bottom) {
  EXPECT_NEAR(static_cast<double>(actual.left), static_cast<double>(left), 1.0);
  EXPECT_NEAR(static_cast<double>(actual.top), static_cast<double>(top), 1.0);
  EXPECT_NEAR(static_cast<double>(actual.right), static_cast<double>(right), 1.0);
  EXPECT_NEAR(static_cast<double>(actual.bottom), static_cast<double>(bottom), 1.0);
}

DecodedImage decode(const std::vector<std::uint8_t>& bytes) {
  std::optional<ImageSource> source = ImageSource::createWithData(bytes);
  if (!source) throw std::runtime_error("not an image");
  std::optional<DecodedImage> image = source->createImageAtIndex(0);
  if (!image) throw std::runtime_error("does not decode");
  return *image;
}

// ---------------------------------------------------------------------------
// Rendering

TEST(PDFPageRendering, PixelSizesFollowTheDisplayedPageRoundedUp) {
  const RenderedPDFPage letter = renderPage(inspectedFixture("mediabox-letter.pdf"), 0, 144);
  EXPECT_EQ(letter.pixelWidth, 1224);
  EXPECT_EQ(letter.pixelHeight, 1584);
  EXPECT_EQ(letter.image.width(), 1224u);
  EXPECT_EQ(letter.image.height(), 1584u);
  EXPECT_EQ(letter.widthPoints, 612);
  EXPECT_EQ(letter.heightPoints, 792);
  // The square at 10-110 points from the lower left, at two pixels per point.
  expectBox(blueBox(letter.image), 20, 1584 - 220, 220, 1584 - 20);

  // 595.2756 × 841.8898 points at 150 / 72 is 1240.16 × 1753.94 pixels.
  const RenderedPDFPage a4 = renderPage(inspectedFixture("mediabox-a4.pdf"), 0, 150);
  EXPECT_EQ(a4.pixelWidth, 1241);
  EXPECT_EQ(a4.pixelHeight, 1754);
  EXPECT_EQ(a4.image.width(), 1241u);
  EXPECT_EQ(a4.image.height(), 1754u);

  // The extreme resolutions; 36 DPI halves the page.
  const InspectedPDF text = inspectedFixture("text-pages.pdf");
  EXPECT_EQ(renderPage(text, 2, 36).pixelWidth, 306);
  // 300 / 72 and 150 / 72 are inexact; whole-point pages still give whole
  // pixel sizes without a spurious extra row or column.
  const RenderedPDFPage fine = renderPage(text, 2, 300);
  EXPECT_EQ(fine.pixelWidth, 2550);
  EXPECT_EQ(fine.pixelHeight, 3300);
  const RenderedPDFPage medium = renderPage(text, 2, 150);
  EXPECT_EQ(medium.pixelWidth, 1275);
  EXPECT_EQ(medium.pixelHeight, 1650);
}

TEST(PDFPageRendering, RotatedPagesAreDrawnUprightAsDisplayed) {
  // Every page draws a blue rectangle over x 72-272 and y 72-172 points of
  // the unrotated 612 × 792 page.
  const InspectedPDF rotations = inspectedFixture("rotations.pdf");

  const RenderedPDFPage quarter = renderPage(rotations, 0, 144);
  EXPECT_EQ(quarter.pixelWidth, 1584);
  EXPECT_EQ(quarter.pixelHeight, 1224);
  EXPECT_EQ(quarter.widthPoints, 792);
  EXPECT_EQ(quarter.heightPoints, 612);
  // Turned a quarter clockwise, the rectangle near the lower left corner
  // stands near the upper left, tall rather than wide.
  expectBox(blueBox(quarter.image), 144, 144, 344, 544);

  const RenderedPDFPage half = renderPage(rotations, 1, 144);
  EXPECT_EQ(half.pixelWidth, 1224);
  EXPECT_EQ(half.pixelHeight, 1584);
  expectBox(blueBox(half.image), 680, 144, 1080, 344);

  const RenderedPDFPage threeQuarters = renderPage(rotations, 2, 144);
  EXPECT_EQ(threeQuarters.pixelWidth, 1584);
  EXPECT_EQ(threeQuarters.pixelHeight, 1224);
  expectBox(blueBox(threeQuarters.image), 1240, 680, 1440, 1080);

  // -90 is displayed like 270; the rotation inherited from the page tree
  // turns the 300 × 400 box on its side.
  expectBox(blueBox(renderPage(rotations, 3, 144).image), 1240, 680, 1440, 1080);
  const RenderedPDFPage inherited = renderPage(rotations, 5, 72);
  EXPECT_EQ(inherited.pixelWidth, 400);
  EXPECT_EQ(inherited.pixelHeight, 300);
}

TEST(PDFPageRendering, ResolutionAndPixelLimits) {
  const InspectedPDF largest = inspectedFixture("mediabox-largest.pdf");
  EXPECT_EQ(faultOf([&] { renderPage(largest, 0, 300); }),
            HelperFault(HelperErrorCode::resourceLimit, "A rendered PDF page exceeds the pixel limit."));
  const RenderedPDFPage small = renderPage(largest, 0, 36);
  EXPECT_EQ(small.pixelWidth, 7200);
  EXPECT_EQ(small.pixelHeight, 7200);
  EXPECT_EQ(small.image.width(), 7200u);
  // The square at 10-110 points lies in the lower left corner.
  expectBox(blueBox(small.image), 5, 7200 - 55, 55, 7200 - 5);

  const HelperFault dpi(HelperErrorCode::invalidRequest, "The PDF render DPI is outside the allowed range.");
  EXPECT_EQ(faultOf([&] { renderPage(largest, 0, 35); }), dpi);
  EXPECT_EQ(faultOf([&] { renderPage(largest, 0, 301); }), dpi);
  EXPECT_EQ(faultOf([&] { renderPage(largest, 0, -72); }), dpi);

  // The size limits are judged on the geometry before anything is drawn: one
  // side over 32768 pixels, or 10000 × 10001 pixels in all, is refused; a
  // page of 32768 × 3 pixels would not be.
  const CGPDFPage page = *largest.coreGraphicsDocument.page(1);
  const HelperFault pixels(HelperErrorCode::resourceLimit, "A rendered PDF page exceeds the pixel limit.");
  EXPECT_EQ(faultOf([&] { PDFPageRenderer().render(page, {32769, 1, 0}, 72); }), pixels);
  EXPECT_EQ(faultOf([&] { PDFPageRenderer().render(page, {1, 32768.5, 0}, 72); }), pixels);
  EXPECT_EQ(faultOf([&] { PDFPageRenderer().render(page, {10000, 10001, 0}, 72); }), pixels);
  EXPECT_EQ(faultOf([&] { PDFPageRenderer().render(page, {10001, 10000, 90}, 72); }), pixels);
  EXPECT_EQ(faultOf([&] { PDFPageRenderer().render(page, {std::nan(""), 100, 0}, 72); }), pixels);
  EXPECT_EQ(faultOf([&] { PDFPageRenderer().render(page, {0, 100, 0}, 72); }), pixels);
  EXPECT_EQ(PDFPageRenderer().render(page, {32768, 3, 0}, 72).pixelWidth, 32768);
}

TEST(PDFPageRendering, TransparentContentLandsOnWhiteWithoutAlpha) {
  // A half-transparent blue square over nothing, and a fully transparent one.
  const InspectedPDF pdf = inspectedBytes(buildPDF({
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Count 1 /Kids [3 0 R] >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 100] /Contents 4 0 R"
      " /Resources << /ExtGState << /Half << /ca 0.5 >> /None << /ca 0 >> >> >> >>",
      streamObject("q /Half gs 0 0 1 rg 0 0 100 100 re f Q q /None gs 1 0 0 rg 100 0 100 100 re f Q"),
  }));
  const RenderedPDFPage page = renderPage(pdf, 0, 72);
  EXPECT_EQ(page.image.alphaInfo(), ImageAlphaInfo::none);
  EXPECT_EQ(page.image.componentsPerPixel(), 3u);
  const RGB half = pixelAt(page.image, 50, 50);
  EXPECT_NEAR(half.r, 127, 2);
  EXPECT_NEAR(half.g, 127, 2);
  EXPECT_EQ(half.b, 255);
  EXPECT_EQ(pixelAt(page.image, 150, 50), (RGB{255, 255, 255}));

  // The encoded file carries no alpha channel either.
  const std::vector<std::uint8_t> png = PDFRasterEncoder().encode(page, PDFRasterTarget::png());
  const std::optional<ImageSource> source = ImageSource::createWithData(png);
  ASSERT_TRUE(source);
  const std::optional<PropertyDictionary> properties = source->copyPropertiesAtIndex(0);
  ASSERT_TRUE(properties);
  const PropertyValue* hasAlpha = properties->find(ImagePropertyKey::hasAlpha);
  ASSERT_NE(hasAlpha, nullptr);
  EXPECT_EQ(*hasAlpha->asBoolean(), false);
  // PNG colour type 2 (truecolour without alpha) in the IHDR chunk.
  ASSERT_GT(png.size(), 26u);
  EXPECT_EQ(png[25], 2);
  EXPECT_EQ(pixelAt(decode(png), 150, 50), (RGB{255, 255, 255}));
}

// ---------------------------------------------------------------------------
// Encoding and validation

TEST(PDFRasterEncoding, EncodesPNGLosslesslyAndJPEGAtTheGivenQuality) {
  const RenderedPDFPage page = renderPage(inspectedFixture("rotations.pdf"), 0, 72);
  const PDFRasterEncoder encoder;

  const std::vector<std::uint8_t> png = encoder.encode(page, PDFRasterTarget::png());
  ASSERT_GT(png.size(), 8u);
  EXPECT_EQ(std::string(png.begin() + 1, png.begin() + 4), "PNG");
  const DecodedImage decoded = decode(png);
  ASSERT_EQ(decoded.width(), 792u);
  ASSERT_EQ(decoded.height(), 612u);
  for (std::size_t y = 0; y < decoded.height(); y += 7) {
    for (std::size_t x = 0; x < decoded.width(); x += 5) ASSERT_EQ(pixelAt(decoded, x, y), pixelAt(page.image, x, y));
  }

  const std::vector<std::uint8_t> low = encoder.encode(page, PDFRasterTarget::jpeg(0.6));
  const std::vector<std::uint8_t> high = encoder.encode(page, PDFRasterTarget::jpeg(0.95));
  ASSERT_GT(low.size(), 2u);
  EXPECT_EQ(low[0], 0xFF);
  EXPECT_EQ(low[1], 0xD8);
  EXPECT_LT(low.size(), high.size());
  EXPECT_TRUE(isBlue(pixelAt(decode(low), 120, 170)));
  EXPECT_EQ(pixelAt(decode(low), 400, 400), (RGB{255, 255, 255}));
  EXPECT_NO_THROW(encoder.encode(page, PDFRasterTarget::jpeg(0.35)));

  // Page flattening reaches lower than page export, but not this low.
  const HelperFault quality(HelperErrorCode::invalidRequest, "The PDF JPEG quality is outside the allowed range.");
  EXPECT_EQ(faultOf([&] { encoder.encode(page, PDFRasterTarget::jpeg(0.3)); }), quality);
  EXPECT_EQ(faultOf([&] { encoder.encode(page, PDFRasterTarget::jpeg(0.96)); }), quality);
  EXPECT_EQ(faultOf([&] { encoder.encode(page, PDFRasterTarget::jpeg(std::nan(""))); }), quality);
  EXPECT_EQ(faultOf([&] { encoder.encode(page, PDFRasterTarget::jpeg(std::numeric_limits<double>::infinity())); }),
            quality);
}

TEST(PDFRasterEncoding, ValidationAcceptsOnlyTheExpectedCompleteImage) {
  const RenderedPDFPage page = renderPage(inspectedFixture("text-pages.pdf"), 0, 72);
  const PDFRasterEncoder encoder;
  const std::vector<std::uint8_t> png = encoder.encode(page, PDFRasterTarget::png());
  const std::vector<std::uint8_t> jpeg = encoder.encode(page, PDFRasterTarget::jpeg(0.8));
  EXPECT_NO_THROW(encoder.validate(png, "public.png", 612, 792));
  EXPECT_NO_THROW(encoder.validate(jpeg, "public.jpeg", 612, 792));

  const HelperFault failed(HelperErrorCode::encodeFailed, "A PDF page image failed output validation.");
  EXPECT_EQ(faultOf([&] { encoder.validate(png, "public.jpeg", 612, 792); }), failed);
  EXPECT_EQ(faultOf([&] { encoder.validate(jpeg, "public.png", 612, 792); }), failed);
  EXPECT_EQ(faultOf([&] { encoder.validate(png, "public.png", 792, 612); }), failed);
  EXPECT_EQ(faultOf([&] { encoder.validate(png, "public.png", 612, 793); }), failed);
  EXPECT_EQ(faultOf([&] { encoder.validate({}, "public.png", 612, 792); }), failed);
  EXPECT_EQ(faultOf([&] { encoder.validate(bytesOf("not an image at all"), "public.png", 612, 792); }), failed);

  // Files cut short keep a valid header but do not decode.
  for (const std::vector<std::uint8_t>* file : {&png, &jpeg}) {
    const std::vector<std::uint8_t> cut(file->begin(), file->begin() + static_cast<std::ptrdiff_t>(file->size() / 2));
    const char* type = file == &png ? "public.png" : "public.jpeg";
    EXPECT_EQ(faultOf([&] { encoder.validate(cut, type, 612, 792); }), failed) << type;
  }
  // A PNG whose image data is damaged fails its checksums.
  std::vector<std::uint8_t> damaged = png;
  damaged[damaged.size() / 2] ^= 0xFF;
  damaged[damaged.size() / 2 + 1] ^= 0xFF;
  EXPECT_EQ(faultOf([&] { encoder.validate(damaged, "public.png", 612, 792); }), failed);
}

// ---------------------------------------------------------------------------
// The page export operations

std::string staged(int index, const std::string& extension) {
  char hex[33] = {};
  std::snprintf(hex, sizeof hex, "%032x", index);
  return std::string("output-") + hex + "." + extension;
}

std::vector<std::string> stagedPaths(int count, const std::string& extension) {
  std::vector<std::string> paths;
  for (int i = 1; i <= count; ++i) paths.push_back("/dev/fd/4/" + staged(i, extension));
  return paths;
}

class PageExport : public ::testing::Test {
 protected:
  void SetUp() override {
    ::chmod(directory_.path().c_str(), 0700);
    output_ = openOrThrow(directory_.path().string(), O_RDONLY | O_DIRECTORY);
  }
  PDFOperations operationsOn(const std::string& fixture) {
    source_ = openOrThrow(fixturePath(fixture), O_RDONLY);
    return PDFOperations(SecureFileReader(source_.get()), ExclusiveOutputWriter(output_.get()));
  }
  std::set<std::string> entries() const { return entriesOf(directory_.path().string()); }
  std::string path(const std::string& name) const { return directory_ / name; }
  std::vector<std::uint8_t> contents(const std::string& name) const {
    return bytesOf(testing_support::readFile(path(name)));
  }

  TemporaryDirectory directory_;
  UniqueFd output_;
  UniqueFd source_;
};

TEST_F(PageExport, RendersEveryPageToPNGInPageOrder) {
  const PDFOperations operations = operationsOn("rotations.pdf");
  const std::vector<std::string> paths = stagedPaths(6, "png");
  const PDFOperationResult result = operations.renderPDFPagesToPNG("/dev/fd/3", paths, {72, std::nullopt});
  ASSERT_EQ(result.outputs.size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) {
    const std::string name = staged(static_cast<int>(i) + 1, "png");
    const std::vector<std::uint8_t> written = contents(name);
    EXPECT_EQ(result.outputs[i].index, static_cast<std::int64_t>(i));
    EXPECT_EQ(result.outputs[i].byteLength, static_cast<std::int64_t>(written.size()));
    EXPECT_EQ(result.outputs[i].sha256, DescriptorDigest::sha256(written));
    EXPECT_EQ(testing_support::lstatOf(path(name)).st_mode & 07777, 0400u);
  }
  // Pages 1, 3, 4 and 6 are on their side.
  EXPECT_EQ(decode(contents(staged(1, "png"))).width(), 792u);
  EXPECT_EQ(decode(contents(staged(2, "png"))).width(), 612u);
  EXPECT_EQ(decode(contents(staged(6, "png"))).width(), 400u);
  EXPECT_EQ(decode(contents(staged(6, "png"))).height(), 300u);
}

TEST_F(PageExport, RendersJPEGAtQuality0Point6) {
  const PDFOperations operations = operationsOn("text-pages.pdf");
  const PDFOperationResult result = operations.renderPDFPagesToJPEG("/dev/fd/3", stagedPaths(3, "jpg"), {150, 0.6});
  ASSERT_EQ(result.outputs.size(), 3u);
  const std::vector<std::uint8_t> first = contents(staged(1, "jpg"));
  EXPECT_NO_THROW(PDFRasterEncoder().validate(first, "public.jpeg", 1275, 1650));
  EXPECT_EQ(result.outputs[2].sha256, DescriptorDigest::sha256(contents(staged(3, "jpg"))));
}

TEST_F(PageExport, RequestChecksComeBeforeAnyRendering) {
  // A resolution the renderer refuses shows that these checks run first.
  const PDFRenderOptions badDPI{20, std::nullopt};
  {
    const PDFOperations operations = operationsOn("text-pages.pdf");
    EXPECT_EQ(faultOf([&] { operations.renderPDFPagesToPNG("/dev/fd/3", stagedPaths(2, "png"), badDPI); }),
              HelperFault(HelperErrorCode::invalidRequest, "The image output inventory does not match the page count."));
    EXPECT_EQ(faultOf([&] { operations.renderPDFPagesToPNG("/dev/fd/3", stagedPaths(4, "png"), badDPI); }).message(),
              "The image output inventory does not match the page count.");
    EXPECT_EQ(faultOf([&] { operations.renderPDFPagesToPNG("/dev/fd/3", stagedPaths(3, "jpg"), badDPI); }),
              HelperFault(HelperErrorCode::invalidRequest, "A staged output path has the wrong extension."));
    std::vector<std::string> repeated = stagedPaths(3, "png");
    repeated[2] = repeated[0];
    EXPECT_EQ(faultOf([&] { operations.renderPDFPagesToPNG("/dev/fd/3", repeated, badDPI); }).message(),
              "The output paths must be distinct.");
    EXPECT_EQ(faultOf([&] { operations.renderPDFPagesToPNG("/dev/fd/3", stagedPaths(3, "png"), badDPI); }),
              HelperFault(HelperErrorCode::invalidRequest, "The PDF render DPI is outside the allowed range."));
  }
  // The option checks come before the source is even read.
  const PDFOperations unreadable(SecureFileReader(-1), ExclusiveOutputWriter(output_.get()));
  EXPECT_EQ(faultOf([&] { unreadable.renderPDFPagesToPNG("/dev/fd/3", stagedPaths(1, "png"), {72, 0.8}); }),
            HelperFault(HelperErrorCode::invalidRequest, "PNG page export does not accept JPEG quality."));
  EXPECT_EQ(faultOf([&] { unreadable.renderPDFPagesToJPEG("/dev/fd/3", stagedPaths(1, "jpg"), {72, std::nullopt}); }),
            HelperFault(HelperErrorCode::invalidRequest, "JPEG page export requires an explicit quality."));
  EXPECT_EQ(faultOf([&] { unreadable.renderPDFPagesToPNG("/dev/fd/3", stagedPaths(1, "png"), {72, std::nullopt}); })
                .code(),
            HelperErrorCode::filesystemPolicy);
  // A quality only a caller bypassing the request decoder could send.
  const PDFOperations operations = operationsOn("plain-page.pdf");
  EXPECT_EQ(faultOf([&] { operations.renderPDFPagesToJPEG("/dev/fd/3", stagedPaths(1, "jpg"), {72, 0.3}); }),
            HelperFault(HelperErrorCode::invalidRequest, "The PDF JPEG quality is outside the allowed range."));
  EXPECT_TRUE(entries().empty());
}

TEST_F(PageExport, OversizedPagesAndSourceFaultsWriteNothing) {
  EXPECT_EQ(faultOf([&] { operationsOn("mediabox-largest.pdf").renderPDFPagesToPNG("/dev/fd/3", stagedPaths(1, "png"),
                                                                                   {300, std::nullopt}); }),
            HelperFault(HelperErrorCode::resourceLimit, "A rendered PDF page exceeds the pixel limit."));
  EXPECT_EQ(faultOf([&] { operationsOn("encrypted-user-password.pdf").renderPDFPagesToPNG(
                              "/dev/fd/3", stagedPaths(1, "png"), {72, std::nullopt}); }),
            HelperFault(HelperErrorCode::unsupportedSource, "Encrypted or password-protected PDFs are not accepted."));
  EXPECT_TRUE(entries().empty());
}

TEST_F(PageExport, AFailingLaterOutputLeavesNoneBehind) {
  // Somebody else's file already holds the third name: the first two pages
  // are written, then removed again, and the file that was there stays.
  testing_support::writeFile(path(staged(3, "png")), "not ours");
  const PDFOperations operations = operationsOn("text-pages.pdf");
  EXPECT_EQ(faultOf([&] { operations.renderPDFPagesToPNG("/dev/fd/3", stagedPaths(3, "png"), {72, std::nullopt}); }),
            HelperFault(HelperErrorCode::outputExists, "The output path already exists."));
  EXPECT_EQ(entries(), (std::set<std::string>{staged(3, "png")}));
  EXPECT_EQ(testing_support::readFile(path(staged(3, "png"))), "not ours");
}

}  // namespace
}  // namespace quorvantelmic
