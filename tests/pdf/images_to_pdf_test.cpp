// images-to-pdf on real image files passed as inherited descriptors, writing
// into a real output directory; the PDFs it writes are inspected and drawn.
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "helper_core/file_access/descriptor_digest.hpp"
#include "helper_core/pdf/pdf_operations.hpp"
#include "helper_core/pdf/pdf_probing.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "tests/file_access/file_test_support.hpp"
#include "tests/pdf/pdf_test_support.hpp"

namespace quorvantelmic {
namespace {

using namespace pdf_testing;
using testing_support::entriesOf;
using testing_support::openOrThrow;
using testing_support::TemporaryDirectory;

struct RGB {
  int r, g, b;
  friend bool operator==(const RGB&, const RGB&) = default;
};

RGB pixelAt(const PDFBitmap& bitmap, std::int64_t x, std::int64_t y) {
  const std::uint8_t* p = bitmap.rgb.data() + (y * bitmap.width + x) * 3;
  return {p[0], p[1], p[2]};
}

bool isRed(RGB pixel) { return pixel.r > 200 && pixel.g < 60 && pixel.b < 60; }
bool isBlue(RGB pixel) { return pixel.r < 60 && pixel.g < 60 && pixel.b > 200; }
// JPEG leaves flat white a level or two below 255.
bool isWhite(RGB pixel) { return pixel.r > 250 && pixel.g > 250 && pixel.b > 250; }

const std::string outputName = "output-0123456789abcdef0123456789abcdef.pdf";
const std::string outputPath = "/dev/fd/4/" + outputName;

class ImagesToPDF : public ::testing::Test {
 protected:
  void SetUp() override {
    ::chmod(directory_.path().c_str(), 0700);
    output_ = openOrThrow(directory_.path().string(), O_RDONLY | O_DIRECTORY);
  }

  // The fixture opened read-only on a descriptor of its own, named the way
  // the parent names further inherited sources ("/dev/fd/N").
  std::string source(const std::string& image) {
    const UniqueFd opened = openOrThrow(fixturePath("images/" + image), O_RDONLY);
    UniqueFd moved(::fcntl(opened.get(), F_DUPFD_CLOEXEC, 700));
    if (!moved) throw std::runtime_error("cannot duplicate " + image);
    const std::string path = "/dev/fd/" + std::to_string(moved.get());
    sources_.push_back(std::move(moved));
    return path;
  }

  PDFOperations operations() const {
    return PDFOperations(SecureFileReader(-1), ExclusiveOutputWriter(output_.get()));
  }
  PDFOperationResult convert(const std::vector<std::string>& paths) const {
    return operations().imagesToPDF(paths, outputPath);
  }

  std::set<std::string> entries() const { return entriesOf(directory_.path().string()); }
  std::vector<std::uint8_t> written() const {
    return bytesOf(testing_support::readFile(directory_ / outputName));
  }
  InspectedPDF writtenPDF() const { return PDFInspector().inspect(written()); }

  TemporaryDirectory directory_;
  UniqueFd output_;
  std::vector<UniqueFd> sources_;
};

TEST_F(ImagesToPDF, OnePNGGivesOnePageOfItsPixelSize) {
  const PDFOperationResult result = convert({source("marker-800x600.png")});
  ASSERT_EQ(result.outputs.size(), 1u);
  EXPECT_EQ(result.outputs[0].index, 0);
  const std::vector<std::uint8_t> bytes = written();
  EXPECT_EQ(result.outputs[0].byteLength, static_cast<std::int64_t>(bytes.size()));
  EXPECT_EQ(result.outputs[0].sha256, DescriptorDigest::sha256(bytes));
  EXPECT_EQ(testing_support::lstatOf(directory_ / outputName).st_mode & 07777, 0400u);

  const InspectedPDF pdf = writtenPDF();
  EXPECT_EQ(pdf.probe.pages, (std::vector<PDFPageGeometry>{{800, 600, 0}}));
  EXPECT_FALSE(pdf.probe.hasText);
  EXPECT_FALSE(pdf.probe.hasAnnotations || pdf.probe.hasForms || pdf.probe.hasOutlines);
  // The image fills the page the right way up: the marker stays upper left.
  const std::optional<PDFBitmap> page = pdf.coreGraphicsDocument.page(1)->drawIntoBitmap(1.0, 800, 600);
  ASSERT_TRUE(page);
  EXPECT_TRUE(isRed(pixelAt(*page, 10, 10)));
  EXPECT_TRUE(isRed(pixelAt(*page, 95, 45)));
  EXPECT_EQ(pixelAt(*page, 110, 10), (RGB{255, 255, 255}));
  EXPECT_EQ(pixelAt(*page, 10, 590), (RGB{255, 255, 255}));
}

TEST_F(ImagesToPDF, TransparencyIsFlattenedOntoWhite) {
  const DecodedImage flattened = [&] {
    const std::vector<std::uint8_t> png = bytesOf(testing_support::readFile(fixturePath("images/half-transparent.png")));
    const std::optional<ImageSource> image = ImageSource::createWithData(png);
    return PDFOperations::renderPDFPageImage(*image->createImageAtIndex(0));
  }();
  EXPECT_EQ(flattened.alphaInfo(), ImageAlphaInfo::noneSkipLast);
  EXPECT_EQ(flattened.width(), 64u);
  EXPECT_EQ(flattened.height(), 48u);
  const std::uint8_t* left = flattened.pixels().data() + 20 * flattened.bytesPerRow() + 5 * 4;
  EXPECT_EQ((RGB{left[0], left[1], left[2]}), (RGB{255, 255, 255}));

  (void)convert({source("half-transparent.png")});
  const InspectedPDF pdf = writtenPDF();
  EXPECT_EQ(pdf.probe.pages, (std::vector<PDFPageGeometry>{{64, 48, 0}}));
  const std::optional<PDFBitmap> page = pdf.coreGraphicsDocument.page(1)->drawIntoBitmap(1.0, 64, 48);
  ASSERT_TRUE(page);
  EXPECT_EQ(pixelAt(*page, 5, 20), (RGB{255, 255, 255}));
  EXPECT_EQ(pixelAt(*page, 28, 40), (RGB{255, 255, 255}));
  EXPECT_TRUE(isBlue(pixelAt(*page, 40, 20)));
}

TEST_F(ImagesToPDF, StoredOrientationIsAppliedAndPagesKeepTheirOrder) {
  const PDFOperationResult result =
      convert({source("portrait-6.jpg"), source("marker-800x600.png"), source("half-transparent.png")});
  ASSERT_EQ(result.outputs.size(), 1u);
  const InspectedPDF pdf = writtenPDF();
  // Stored 4000 × 3000, displayed a quarter turn clockwise.
  EXPECT_EQ(pdf.probe.pages,
            (std::vector<PDFPageGeometry>{{3000, 4000, 0}, {800, 600, 0}, {64, 48, 0}}));
  // The marker of the stored upper left corner is now upper right.
  const std::optional<PDFBitmap> page = pdf.coreGraphicsDocument.page(1)->drawIntoBitmap(0.05, 150, 200);
  ASSERT_TRUE(page);
  EXPECT_TRUE(isRed(pixelAt(*page, 143, 8)));
  EXPECT_TRUE(isWhite(pixelAt(*page, 6, 8)));
  EXPECT_TRUE(isWhite(pixelAt(*page, 143, 190)));
}

TEST_F(ImagesToPDF, AnUprightOpaqueJpegIsEmbeddedAsItIsWithoutItsMetadata) {
  // A progressive photo with a GPS position, an XMP creator, an IPTC title
  // and a comment, then a photo that must be turned and so is drawn.
  (void)convert({source("photo-gps.jpg"), source("portrait-6.jpg")});
  const std::vector<std::uint8_t> bytes = written();
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_NE(text.find("/DCTDecode"), std::string::npos);
  EXPECT_NE(text.find("/FlateDecode"), std::string::npos);
  for (const char* leaked : {"Exif", "GPS", "Ada Lovelace", "Tower", "holiday comment"}) {
    EXPECT_EQ(text.find(leaked), std::string::npos) << leaked;
  }
  const InspectedPDF pdf = writtenPDF();
  EXPECT_EQ(pdf.probe.pages, (std::vector<PDFPageGeometry>{{320, 240, 0}, {3000, 4000, 0}}));
  // The page shows the photo: a white block upper left on a red-to-blue
  // gradient from top to bottom.
  const std::optional<PDFBitmap> page = pdf.coreGraphicsDocument.page(1)->drawIntoBitmap(1.0, 320, 240);
  ASSERT_TRUE(page);
  EXPECT_TRUE(isWhite(pixelAt(*page, 20, 20)));
  EXPECT_TRUE(isRed(pixelAt(*page, 200, 2)));
  EXPECT_TRUE(isBlue(pixelAt(*page, 200, 237)));
}

// A photo whose coded data happens to hold "/3D" and a line break (an action
// name, to a raw scan of the PDF) is coded anew from the same coefficients:
// it goes in at about its own size, where hex-encoding would double it, and
// shows exactly its own pixels.
TEST_F(ImagesToPDF, APhotoWhoseCodedDataReadsAsAnActionGoesInCodedAnew) {
  const std::vector<std::uint8_t> photo = readFixture("images/noise-coded-structure-run.jpg");
  ASSERT_TRUE(readsAsPDFStructure(photo));
  (void)convert({source("noise-coded-structure-run.jpg")});
  const std::vector<std::uint8_t> bytes = written();
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_EQ(text.find("/ASCIIHexDecode"), std::string::npos);
  EXPECT_LT(bytes.size(), photo.size() + 2048);
  EXPECT_FALSE(writtenPDF().probe.hasJavaScriptOrActions);
  // The embedded JPEG runs from its start to its only end marker (coded data
  // never holds 0xFF 0xD9).
  const std::size_t start = text.find("\xFF\xD8");
  const std::size_t end = text.find("\xFF\xD9", start);
  ASSERT_NE(end, std::string::npos);
  const std::vector<std::uint8_t> embedded(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                                           bytes.begin() + static_cast<std::ptrdiff_t>(end) + 2);
  EXPECT_NE(embedded, photo);
  ASSERT_EQ(decodedPixels(photo).size(), 96u * 64u * 3u);
  EXPECT_EQ(decodedPixels(embedded), decodedPixels(photo));
}

// An upright JPEG is decoded at 1/8 only to prove that it reads, a colour
// profile going with its data as the image's colour space; one that cannot go
// in as its own data (here: CMYK) is drawn from a full decode, and a damaged
// one is refused as at full size.
TEST_F(ImagesToPDF, AnUprightJpegThatMustBeDrawnIsDecodedWholeAndADamagedOneIsRefused) {
  (void)convert({source("../../images/adobe-rgb.jpg"), source("../../images/cmyk.jpg")});
  const std::vector<std::uint8_t> bytes = written();
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_NE(text.find("/DCTDecode"), std::string::npos);
  EXPECT_NE(text.find("/ICCBased"), std::string::npos);
  EXPECT_NE(text.find("/Alternate /DeviceRGB"), std::string::npos);
  EXPECT_NE(text.find("/N 3"), std::string::npos);
  EXPECT_NE(text.find("/FlateDecode"), std::string::npos);
  const InspectedPDF pdf = writtenPDF();
  EXPECT_EQ(pdf.probe.pages, (std::vector<PDFPageGeometry>{{32, 24, 0}, {32, 24, 0}}));
  // The page, drawn through its profile, shows what the photo drawn into sRGB
  // here shows. Poppler's colour transform is coarse on saturated colours (up
  // to 11 levels off here; Ghostscript draws these pixels within one level),
  // but the profile is applied: the corner's red is 23 in the stored pixels
  // and 0 once converted.
  const DecodedImage expected = [&] {
    const std::vector<std::uint8_t> jpeg = bytesOf(testing_support::readFile(fixturePath("../images/adobe-rgb.jpg")));
    return PDFOperations::renderPDFPageImage(*ImageSource::createWithData(jpeg)->createImageAtIndex(0));
  }();
  const std::optional<PDFBitmap> page = pdf.coreGraphicsDocument.page(1)->drawIntoBitmap(1.0, 32, 24);
  ASSERT_TRUE(page);
  for (const auto& [x, y] : {std::pair{2, 2}, std::pair{16, 12}, std::pair{29, 21}}) {
    const std::uint8_t* want = expected.pixels().data() + y * expected.bytesPerRow() + x * 4;
    const RGB got = pixelAt(*page, x, y);
    EXPECT_NEAR(got.r, want[0], 12) << x << "," << y;
    EXPECT_NEAR(got.g, want[1], 12) << x << "," << y;
    EXPECT_NEAR(got.b, want[2], 12) << x << "," << y;
  }
  EXPECT_LT(pixelAt(*page, 2, 2).r, 8);
  ::unlink((directory_ / outputName).c_str());

  TemporaryDirectory scratch;
  std::string damaged = testing_support::readFile(fixturePath("images/photo-gps.jpg"));
  damaged.resize(damaged.size() * 7 / 10);
  testing_support::writeFile(scratch / "damaged.jpg", damaged);
  const UniqueFd opened = openOrThrow(scratch / "damaged.jpg", O_RDONLY);
  UniqueFd moved(::fcntl(opened.get(), F_DUPFD_CLOEXEC, 700));
  ASSERT_TRUE(moved);
  EXPECT_EQ(faultOf([&] { convert({"/dev/fd/" + std::to_string(moved.get())}); }),
            HelperFault(HelperErrorCode::decodeFailed, "The source image pixels could not be decoded."));
  EXPECT_TRUE(entries().empty());
}

TEST_F(ImagesToPDF, PageSizeAndPixelLimits) {
  const HelperFault pdfPixels(HelperErrorCode::resourceLimit, "The image pages exceed the PDF pixel limit.");
  // 40000 × 10 passes the image inspection but not the page side limit; the
  // pixel limits are judged before the page size.
  EXPECT_EQ(faultOf([&] { convert({source("gray-40000x10.png")}); }), pdfPixels);
  EXPECT_EQ(faultOf([&] { convert({source("gray-14401x100.png")}); }),
            HelperFault(HelperErrorCode::resourceLimit, "An image page exceeds the PDF geometry limit."));
  // 100010000 pixels are already over the image inspection's own limit,
  // which answers first.
  EXPECT_EQ(faultOf([&] { convert({source("gray-10001x10000.png")}); }),
            HelperFault(HelperErrorCode::resourceLimit, "The source image exceeds the pixel limit."));
  EXPECT_TRUE(entries().empty());

  // 14400 × 6944 = 99993600 pixels: the largest page that fits both limits.
  (void)convert({source("gray-14400x6944.png")});
  EXPECT_EQ(writtenPDF().probe.pages, (std::vector<PDFPageGeometry>{{14400, 6944, 0}}));
}

TEST_F(ImagesToPDF, TheAggregatePixelLimitStopsTheThirdLargeImage) {
  // Two pages of 10000 × 10000 pass (200000000 pixels); the third would
  // bring the total over 250000000, although it is within the limit of a
  // single page. Three paths of one file, each its own descriptor.
  const HelperFault pdfPixels(HelperErrorCode::resourceLimit, "The image pages exceed the PDF pixel limit.");
  EXPECT_EQ(faultOf([&] {
              convert({source("gray-10000x10000.png"), source("gray-10000x10000.png"), source("gray-10000x10000.png")});
            }),
            pdfPixels);
  EXPECT_TRUE(entries().empty());
}

TEST_F(ImagesToPDF, RequestChecksComeBeforeAnySourceIsRead) {
  // "/dev/fd/3" stands for no descriptor here, so reading it would fail:
  // every answer below that is not that failure comes before reading.
  const HelperFault count(HelperErrorCode::resourceLimit, "The image source count is outside the allowed range.");
  EXPECT_EQ(faultOf([&] { convert({}); }), count);
  std::vector<std::string> many;
  for (int i = 0; i < 501; ++i) many.push_back("/dev/fd/" + std::to_string(i + 3));
  EXPECT_EQ(faultOf([&] { convert(many); }), count);
  EXPECT_EQ(faultOf([&] { convert({"/dev/fd/3", "/dev/fd/5", "/dev/fd/3"}); }),
            HelperFault(HelperErrorCode::invalidRequest, "The image source paths must be distinct."));
  const HelperFault output(HelperErrorCode::invalidRequest, "The staged PDF output path is invalid.");
  EXPECT_EQ(faultOf([&] {
              operations().imagesToPDF({"/dev/fd/3"}, "/dev/fd/4/output-0123456789abcdef0123456789abcdef.png");
            }),
            output);
  EXPECT_EQ(faultOf([&] { operations().imagesToPDF({"/dev/fd/3"}, "/dev/fd/4/Holiday.pdf"); }), output);
  // The same readable file listed twice is refused just the same.
  const std::string valid = source("marker-800x600.png");
  EXPECT_EQ(faultOf([&] { convert({valid, valid}); }).message(), "The image source paths must be distinct.");
  // With valid paths, the reader is reached.
  EXPECT_EQ(faultOf([&] { convert({"/dev/fd/3"}); }),
            HelperFault(HelperErrorCode::filesystemPolicy, "The inherited source descriptor is unavailable."));
  EXPECT_TRUE(entries().empty());
}

TEST_F(ImagesToPDF, RefusedSourcesAndOutputsLeaveNothingBehind) {
  EXPECT_EQ(faultOf([&] { convert({source("marker-800x600.png"), source("small.heic")}); }),
            HelperFault(HelperErrorCode::unsupportedSource,
                        "The image type is not accepted by the current image-to-PDF operation."));
  // The image inspection admits one frame only and answers first.
  EXPECT_EQ(faultOf([&] { convert({source("two-frames.gif")}); }),
            HelperFault(HelperErrorCode::resourceLimit, "The source image exceeds the frame limit."));
  // Faults of the image inspection pass through unchanged.
  EXPECT_EQ(faultOf([&] { convert({source("../plain-page.pdf")}); }),
            HelperFault(HelperErrorCode::decodeFailed, "The source is not a readable image."));
  EXPECT_TRUE(entries().empty());
}

TEST_F(ImagesToPDF, AnExistingOutputIsNeverReplaced) {
  testing_support::writeFile(directory_ / outputName, "somebody else's");
  EXPECT_EQ(faultOf([&] { convert({source("marker-800x600.png")}); }),
            HelperFault(HelperErrorCode::outputExists, "The output path already exists."));
  EXPECT_EQ(testing_support::readFile(directory_ / outputName), "somebody else's");
  EXPECT_EQ(entries(), (std::set<std::string>{outputName}));
}

TEST(ImagePDFWriting, PagesNeedAnImageEach) {
  EXPECT_EQ(faultOf([] { PDFOperations::createImagePDF({}); }),
            HelperFault(HelperErrorCode::encodeFailed, "The PDF writer could not be created."));
}

}  // namespace
}  // namespace quorvantelmic
