#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "helper_core/pdf/pdf_probing.hpp"
#include "helper_core/pdf/pdf_name_features.hpp"
#include "helper_core/pdf/platform/core_graphics_pdf.hpp"
#include "helper_core/pdf/platform/pdf_context.hpp"
#include "helper_core/pdf/platform/pdf_document.hpp"
#include "tests/pdf/pdf_test_support.hpp"

namespace quorvantelmic {
namespace {

using namespace pdf_testing;

CGPDFDocument structureOf(const std::string& fixture) {
  std::optional<CGPDFDocument> document = CGPDFDocument::createWithData(dataOf(readFixture(fixture)));
  if (!document) throw std::runtime_error("cannot open " + fixture);
  return *document;
}

PDFDocument modelOf(const std::string& fixture) {
  std::optional<PDFDocument> document = PDFDocument::initWithData(dataOf(readFixture(fixture)));
  if (!document) throw std::runtime_error("cannot open " + fixture);
  return *document;
}

struct RGB {
  int r, g, b;
  friend bool operator==(const RGB&, const RGB&) = default;
};

RGB pixelAt(const PDFBitmap& bitmap, std::int64_t x, std::int64_t y) {
  const std::uint8_t* p = bitmap.rgb.data() + (y * bitmap.width + x) * 3;
  return {p[0], p[1], p[2]};
}

bool isBlue(RGB pixel) { return pixel.r < 40 && pixel.g < 40 && pixel.b > 200; }

// ---------------------------------------------------------------------------
// Structural reading

TEST(CGPDFReading, OpensOnlyWhatParses) {
  EXPECT_FALSE(CGPDFDocument::createWithData(dataOf(bytesOf("%PDF-1.7\nno objects\n%%EOF"))));
  EXPECT_FALSE(CGPDFDocument::createWithData(nullptr));

  const CGPDFDocument locked = structureOf("encrypted-user-password.pdf");
  EXPECT_TRUE(locked.isEncrypted());
  EXPECT_EQ(locked.numberOfPages(), 0u);
  EXPECT_FALSE(locked.catalog());
  EXPECT_TRUE(structureOf("encrypted-owner-password.pdf").isEncrypted());
  EXPECT_FALSE(structureOf("plain-page.pdf").isEncrypted());
}

TEST(CGPDFReading, PagesCountFromOneAndInheritFromTheTree) {
  const CGPDFDocument document = structureOf("rotations.pdf");
  ASSERT_EQ(document.numberOfPages(), 6u);
  EXPECT_FALSE(document.page(0));
  EXPECT_FALSE(document.page(7));
  EXPECT_EQ(document.page(1)->rotationAngle(), 90);
  EXPECT_EQ(document.page(4)->rotationAngle(), -90);
  EXPECT_EQ(document.page(5)->rotationAngle(), 630);
  EXPECT_EQ(document.page(6)->rotationAngle(), 90);  // from its /Pages node
  EXPECT_EQ(document.page(6)->mediaBox(), (PDFRect{0, 0, 300, 400}));
  EXPECT_FALSE(document.page(6)->dictionary().hasKey("Rotate"));  // inherited, not stored
  EXPECT_EQ(structureOf("mediabox-reversed.pdf").page(1)->mediaBox(), (PDFRect{0, 0, 612, 792}));
}

TEST(CGPDFReading, DictionaryLookups) {
  const CGPDFDocument document = structureOf("javascript-openaction.pdf");
  ASSERT_TRUE(document.catalog());
  EXPECT_TRUE(document.catalog()->hasKey("OpenAction"));
  EXPECT_TRUE(document.catalog()->hasKey("Pages"));
  EXPECT_FALSE(document.catalog()->hasKey("AcroForm"));
  EXPECT_TRUE(PDFInspector::dictionaryHasAnyKey(document.catalog(), {"AcroForm", "OpenAction"}));
  EXPECT_FALSE(PDFInspector::dictionaryHasAnyKey(std::nullopt, {"OpenAction"}));
  EXPECT_TRUE(structureOf("link-annotation.pdf").page(1)->dictionary().hasKey("Annots"));
}

struct OperatorCounts {
  int text = 0;
  int paths = 0;
};

TEST(CGPDFReading, ScansReportEveryRegisteredOperatorOfThePagesOwnStream) {
  CGPDFOperatorTable table;
  for (const char* name : {"Tj", "TJ", "'", "\""}) {
    table.setCallback(name, [](CGPDFScanner*, void* info) { ++static_cast<OperatorCounts*>(info)->text; });
  }
  table.setCallback("re", [](CGPDFScanner*, void* info) { ++static_cast<OperatorCounts*>(info)->paths; });
  auto scan = [&](const std::string& content, OperatorCounts& counts) {
    const CGPDFDocument document =
        *CGPDFDocument::createWithData(dataOf(bytesOf(buildPagesPDF(1, "[0 0 612 792]", content))));
    const CGPDFContentStream stream = CGPDFContentStream::createWithPage(*document.page(1));
    return CGPDFScanner(stream, table, &counts).scan();
  };

  OperatorCounts counts;
  EXPECT_TRUE(scan("BT /F1 9 Tf (a) Tj [(b) 3 (c)] TJ (d) ' 1 2 (e) \" ET 0 0 5 5 re f", counts));
  EXPECT_EQ(counts.text, 4);
  EXPECT_EQ(counts.paths, 1);

  OperatorCounts unterminated;
  EXPECT_FALSE(scan("BT (a) Tj (never closed", unterminated));
  OperatorCounts garbage;
  EXPECT_FALSE(scan("0 0 m \x01\x02 l", garbage));
  OperatorCounts compatible;
  EXPECT_TRUE(scan("BX private-op EX (x) Tj", compatible));
  EXPECT_EQ(compatible.text, 1);

  // Text inside a form XObject is not part of the page's own stream.
  const CGPDFDocument form = structureOf("form-xobject-text.pdf");
  OperatorCounts formCounts;
  EXPECT_TRUE(CGPDFScanner(CGPDFContentStream::createWithPage(*form.page(1)), table, &formCounts).scan());
  EXPECT_EQ(formCounts.text, 0);
}

// ---------------------------------------------------------------------------
// Document model

TEST(PDFDocumentModel, ReadsPagesTextAnnotationsAndOutlines) {
  const PDFDocument text = modelOf("text-pages.pdf");
  ASSERT_EQ(text.pageCount(), 3u);
  EXPECT_FALSE(text.pageAtIndex(3));
  EXPECT_NE(text.pageAtIndex(1)->string()->find("Plain text page 2"), std::string::npos);
  EXPECT_TRUE(text.pageAtIndex(0)->annotations().empty());
  EXPECT_FALSE(text.hasOutlineRoot());
  EXPECT_NE(modelOf("form-xobject-text.pdf").pageAtIndex(0)->string()->find("Words inside a form"),
            std::string::npos);
  EXPECT_EQ(modelOf("link-annotation.pdf").pageAtIndex(0)->annotations(), (std::vector<std::string>{"Link"}));
  EXPECT_TRUE(modelOf("outlines.pdf").hasOutlineRoot());

  const PDFDocument locked = modelOf("encrypted-user-password.pdf");
  EXPECT_TRUE(locked.isLocked());
  EXPECT_TRUE(locked.isEncrypted());
  EXPECT_TRUE(modelOf("encrypted-owner-password.pdf").isEncrypted());
}

TEST(PDFDocumentModel, CopiesRotatesInsertsAndSerialises) {
  const PDFDocument text = modelOf("text-pages.pdf");
  const PDFDocument rotations = modelOf("rotations.pdf");
  PDFDocument merged;
  EXPECT_EQ(merged.pageCount(), 0u);
  for (std::size_t i = 0; i < text.pageCount(); ++i) ASSERT_TRUE(merged.insertPage(text.pageAtIndex(i)->copy(), i));
  PDFPage inherited = rotations.pageAtIndex(5)->copy();  // 300 x 400, rotation 90 from its tree node
  ASSERT_TRUE(merged.insertPage(inherited, 0));
  PDFPage turned = rotations.pageAtIndex(0)->copy();
  turned.setRotation(180);
  ASSERT_TRUE(merged.insertPage(turned, merged.pageCount()));
  EXPECT_EQ(rotations.pageAtIndex(0)->rotation(), 90);  // the source page is unchanged
  EXPECT_EQ(modelOf("rotation-real.pdf").pageAtIndex(0)->rotation(), 90);  // read as the inspection reads it
  EXPECT_FALSE(merged.insertPage(text.pageAtIndex(0)->copy(), 99));
  EXPECT_EQ(merged.pageCount(), 5u);

  const std::optional<std::vector<std::uint8_t>> bytes = merged.dataRepresentation();
  ASSERT_TRUE(bytes);
  const InspectedPDF reopened = PDFInspector().inspect(*bytes);
  EXPECT_EQ(reopened.probe.pages, (std::vector<PDFPageGeometry>{
                                      {300, 400, 90}, {612, 792, 0}, {612, 792, 0}, {612, 792, 0}, {612, 792, 180}}));
  EXPECT_TRUE(reopened.probe.hasText);
  EXPECT_NE(reopened.pdfKitDocument.pageAtIndex(3)->string()->find("Plain text page 3"), std::string::npos);
}

TEST(PDFDocumentModel, AnEmptyDocumentSerialisesWithoutPages) {
  const std::optional<std::vector<std::uint8_t>> bytes = PDFDocument().dataRepresentation();
  ASSERT_TRUE(bytes);
  EXPECT_EQ(PDFInspector::countMarker(*bytes, "%%EOF"), 1);
  EXPECT_EQ(PDFDocument::initWithData(dataOf(*bytes))->pageCount(), 0u);
}

// ---------------------------------------------------------------------------
// Drawing

TEST(PDFPageDrawing, DrawsTheMediaBoxOnWhiteAtTheRequestedSize) {
  const CGPDFDocument text = structureOf("text-pages.pdf");
  const std::optional<PDFBitmap> page = text.page(1)->drawIntoBitmap(2.0, 1224, 1584);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->width, 1224);
  EXPECT_EQ(page->height, 1584);
  ASSERT_EQ(page->rgb.size(), 1224u * 1584u * 3u);
  EXPECT_EQ(pixelAt(*page, 0, 0), (RGB{255, 255, 255}));
  EXPECT_EQ(pixelAt(*page, 1223, 1583), (RGB{255, 255, 255}));
  // The standard font rendered: the text line near y = 700 points has ink.
  int dark = 0;
  for (std::int64_t y = 2 * (792 - 720); y < 2 * (792 - 690); ++y) {
    for (std::int64_t x = 144; x < 700; ++x) dark += pixelAt(*page, x, y).r < 128 ? 1 : 0;
  }
  EXPECT_GT(dark, 500);

  // A canvas one pixel larger than the page stays white at the edge.
  const std::optional<PDFBitmap> larger = text.page(1)->drawIntoBitmap(1.0, 613, 793);
  ASSERT_TRUE(larger);
  EXPECT_EQ(pixelAt(*larger, 612, 792), (RGB{255, 255, 255}));
  EXPECT_FALSE(text.page(1)->drawIntoBitmap(0.0, 10, 10));
  EXPECT_FALSE(text.page(1)->drawIntoBitmap(1.0, 0, 10));
}

TEST(PDFPageDrawing, AppliesThePagesRotation) {
  // The blue rectangle spans x 72-272 and y 72-172 points of the unrotated page.
  const CGPDFDocument rotations = structureOf("rotations.pdf");
  const std::optional<PDFBitmap> quarter = rotations.page(1)->drawIntoBitmap(2.0, 1584, 1224);
  ASSERT_TRUE(quarter);
  // Turned a quarter clockwise, the lower left corner moves to the upper left.
  EXPECT_TRUE(isBlue(pixelAt(*quarter, 2 * 120, 2 * 250)));
  EXPECT_FALSE(isBlue(pixelAt(*quarter, 2 * 250, 2 * 120)));
  const std::optional<PDFBitmap> half = rotations.page(2)->drawIntoBitmap(1.0, 612, 792);
  ASSERT_TRUE(half);
  EXPECT_TRUE(isBlue(pixelAt(*half, 612 - 170, 120)));
}

TEST(PDFPageDrawing, IgnoresASmallerCropBox) {
  // The rectangle at 10-110 points lies outside the crop box [100 100 300 300].
  const CGPDFDocument cropped = structureOf("mediabox-crop-smaller.pdf");
  const std::optional<PDFBitmap> page = cropped.page(1)->drawIntoBitmap(1.0, 612, 792);
  ASSERT_TRUE(page);
  EXPECT_TRUE(isBlue(pixelAt(*page, 50, 792 - 50)));
  EXPECT_EQ(pixelAt(*page, 400, 400), (RGB{255, 255, 255}));
}

// ---------------------------------------------------------------------------
// Writing

// Four blocks of flat colour, so that drawing (which smooths across pixel
// edges) gives back exact colours inside each block.
const std::vector<RGB> blockColours = {{255, 0, 0}, {0, 128, 0}, {17, 34, 204}, {250, 250, 10}};

std::vector<std::uint8_t> gradient(std::int64_t width, std::int64_t height, std::int64_t bytesPerPixel) {
  std::vector<std::uint8_t> pixels;
  for (std::int64_t y = 0; y < height; ++y) {
    for (std::int64_t x = 0; x < width; ++x) {
      const RGB colour = blockColours[static_cast<std::size_t>((y * 2 / height) * 2 + x * 2 / width)];
      pixels.push_back(static_cast<std::uint8_t>(colour.r));
      pixels.push_back(static_cast<std::uint8_t>(colour.g));
      pixels.push_back(static_cast<std::uint8_t>(colour.b));
      if (bytesPerPixel == 4) pixels.push_back(0x11);
    }
  }
  return pixels;
}

TEST(CGPDFWriting, WritesImagePagesThatPassInspectionLosslessly) {
  const std::vector<std::uint8_t> first = gradient(40, 30, 4);
  const std::vector<std::uint8_t> second = gradient(20, 50, 3);
  CGPDFContext context(containsFeatureNameEvidence);
  ASSERT_TRUE(context.beginPage({0, 0, 40, 30}));
  ASSERT_TRUE(context.drawImage({40, 30, 4, 160, first}, {0, 0, 40, 30}));
  ASSERT_TRUE(context.endPage());
  ASSERT_TRUE(context.beginPage({0, 0, 20.5, 50}));
  ASSERT_TRUE(context.drawImage({20, 50, 3, 60, second}, {0, 0, 20.5, 50}));
  ASSERT_TRUE(context.endPage());
  const std::optional<std::vector<std::uint8_t>> bytes = context.close();
  ASSERT_TRUE(bytes);
  EXPECT_FALSE(context.beginPage({0, 0, 1, 1}));  // closed

  const InspectedPDF inspected = PDFInspector().inspect(*bytes);
  EXPECT_EQ(inspected.probe.pages, (std::vector<PDFPageGeometry>{{40, 30, 0}, {20.5, 50, 0}}));
  EXPECT_FALSE(inspected.probe.hasText);
  EXPECT_FALSE(PDFNameFeatures(*bytes).any());
  const std::string text(bytes->begin(), bytes->end());
  EXPECT_EQ(text.find("/ObjStm"), std::string::npos);
  EXPECT_NE(text.find("/FlateDecode"), std::string::npos);

  // At one pixel per point the drawn page gives back the image's colours.
  const std::optional<PDFBitmap> drawn = inspected.coreGraphicsDocument.page(1)->drawIntoBitmap(1.0, 40, 30);
  ASSERT_TRUE(drawn);
  EXPECT_EQ(pixelAt(*drawn, 10, 7), blockColours[0]);
  EXPECT_EQ(pixelAt(*drawn, 30, 7), blockColours[1]);
  EXPECT_EQ(pixelAt(*drawn, 10, 22), blockColours[2]);
  EXPECT_EQ(pixelAt(*drawn, 30, 22), blockColours[3]);
}

// A screen that stops only the first stream it sees stands for deflated
// pixels that happen to read as structure: zlib at another setting gives
// other bytes, stored as they are. A screen that stops everything leaves only
// hex-encoding. Either way the page shows the image.
TEST(CGPDFWriting, DeflatesARejectedStreamAnewOrElseHexEncodesIt) {
  const std::vector<std::uint8_t> pixels = gradient(16, 16, 3);
  for (const bool rejectsEverything : {false, true}) {
    int screened = 0;
    CGPDFContext context([&](std::span<const std::uint8_t>) { return rejectsEverything || screened++ == 0; });
    ASSERT_TRUE(context.beginPage({0, 0, 16, 16}));
    ASSERT_TRUE(context.drawImage({16, 16, 3, 48, pixels}, {0, 0, 16, 16}));
    ASSERT_TRUE(context.endPage());
    const std::vector<std::uint8_t> bytes = *context.close();
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(text.find("/ASCIIHexDecode") != std::string::npos, rejectsEverything);
    EXPECT_NE(text.find("/FlateDecode"), std::string::npos);
    const InspectedPDF inspected = PDFInspector().inspect(bytes);
    const std::optional<PDFBitmap> drawn = inspected.coreGraphicsDocument.page(1)->drawIntoBitmap(1.0, 16, 16);
    ASSERT_TRUE(drawn);
    EXPECT_EQ(pixelAt(*drawn, 4, 4), blockColours[0]);
    EXPECT_EQ(pixelAt(*drawn, 12, 12), blockColours[3]);
  }
}

TEST(CGPDFWriting, RefusesCallsOutOfOrderOrWithUnusableArguments) {
  const std::vector<std::uint8_t> pixels = gradient(4, 4, 3);
  CGPDFContext context;
  EXPECT_FALSE(context.drawImage({4, 4, 3, 12, pixels}, {0, 0, 4, 4}));  // no page begun
  EXPECT_FALSE(context.endPage());
  EXPECT_FALSE(context.beginPage({0, 0, 0, 10}));
  EXPECT_FALSE(context.beginPage({0, 0, std::numeric_limits<double>::infinity(), 10}));
  ASSERT_TRUE(context.beginPage({0, 0, 4, 4}));
  EXPECT_FALSE(context.beginPage({0, 0, 4, 4}));
  EXPECT_FALSE(context.drawImage({4, 5, 3, 12, pixels}, {0, 0, 4, 4}));  // buffer too short
  EXPECT_FALSE(context.drawImage({4, 4, 2, 8, pixels}, {0, 0, 4, 4}));
  EXPECT_FALSE(context.drawImage({4, 4, 3, 11, pixels}, {0, 0, 4, 4}));
  EXPECT_FALSE(context.close());  // a page is still open
}

}  // namespace
}  // namespace quorvantelmic
