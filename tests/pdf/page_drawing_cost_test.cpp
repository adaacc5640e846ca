// The per-page drawing-cost walk on its own: what it counts for the shadings
// and JPEG 2000 images of pages written as producers write them (object
// streams, compressed content), and which pages it keeps away from the
// renderer. tests/fixtures/pdf/drawing-cost/make-fixtures.sh makes the files.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "helper_core/pdf/platform/library_support.hpp"
#include "helper_core/pdf/platform/page_drawing_bounds.hpp"
#include "tests/pdf/pdf_test_support.hpp"

namespace quorvantelmic {
namespace {

using detail::PageDrawingCost;

// qpdf reads the bytes in place: they live as long as the walk.
std::optional<PageDrawingCost> costOfFirstPage(const std::string& name) {
  const PDFData data = pdf_testing::dataOf(pdf_testing::readFixture(name));
  std::shared_ptr<QPDF> qpdf;
  if (detail::openQPDF(data, qpdf) != detail::QPDFOpening::opened) throw std::runtime_error("cannot open " + name);
  return detail::pageDrawingCost(qpdf->getAllPages().at(0));
}

// Everyday gradients (an axial one behind the page, a radial one through a
// shading pattern, exponential and stitching functions) and a function-based
// shading with a small PostScript function are admitted; their cost is what
// their functions do where they are evaluated: a table along the axis for
// the first two, every point of the page for the last.
TEST(PageDrawingCost, EverydayShadingsAreCostedAndAdmitted) {
  const std::optional<PageDrawingCost> everyday = costOfFirstPage("drawing-cost/shadings-everyday.pdf");
  ASSERT_TRUE(everyday);
  // Exponential: 1 + 3 outputs; stitching: 1 + the costlier of its parts.
  EXPECT_DOUBLE_EQ(everyday->shadingWork, (4.0 + 5.0) * 2048);
  EXPECT_EQ(everyday->meshBytes, 0);

  const std::optional<PageDrawingCost> small = costOfFirstPage("drawing-cost/shading-function-20-operators.pdf");
  ASSERT_TRUE(small);
  // 5 x "0.5 mul 0.25 add" and "dup dup" in braces: 24 tokens, over the
  // 612 x 792 points of the page.
  EXPECT_DOUBLE_EQ(small->shadingWork, 24.0 * 612 * 792);
  EXPECT_TRUE(small->withinPageBounds());

  // Axial shadings read their function from a table: 10000 operators are
  // still cheap (measured: under half a second at 150 DPI).
  const std::optional<PageDrawingCost> axial = costOfFirstPage("drawing-cost/shading-axial-10000-operators.pdf");
  ASSERT_TRUE(axial);
  EXPECT_GT(axial->shadingWork, 10000.0 * 2048);
}

// A PostScript function of 1000 operators run at every pixel of the page
// (about a minute at 150 DPI), drawn by sh or painted through a shading
// pattern, is never handed to the renderer.
TEST(PageDrawingCost, AFunctionShadingRunPerPixelIsRefused) {
  EXPECT_FALSE(costOfFirstPage("drawing-cost/shading-function-1000-operators.pdf"));
  EXPECT_FALSE(costOfFirstPage("drawing-cost/shading-pattern-function-1000-operators.pdf"));
}

// A JPEG 2000 image costs what its own codestream declares: the real image
// its 64 x 48 pixels; the same image dictionary over a codestream declaring
// 60000 x 60000 (the decoder would allocate 43 GB), or over a codestream that
// only poppler can reach behind another filter, is refused.
TEST(PageDrawingCost, JPEG2000ImagesCostWhatTheirCodestreamDeclares) {
  const std::optional<PageDrawingCost> real = costOfFirstPage("drawing-cost/jpx-photo.pdf");
  ASSERT_TRUE(real);
  EXPECT_DOUBLE_EQ(real->imagePixels, 2.0 * 64 * 48);  // the dictionary's and the codestream's
  EXPECT_FALSE(costOfFirstPage("drawing-cost/jpx-codestream-declares-60000-square.pdf"));
  EXPECT_FALSE(costOfFirstPage("drawing-cost/jpx-behind-flate.pdf"));
}

// The walk's other counts on a page the renderer tests draw every day, so a
// change that stops counting them shows here and not only in the hostile
// suite.
TEST(PageDrawingCost, CountsContentOfAnOrdinaryPage) {
  const std::optional<PageDrawingCost> cost = costOfFirstPage("form-xobject-text.pdf");
  ASSERT_TRUE(cost);
  EXPECT_GT(cost->operators, 0);
  EXPECT_GT(cost->contentBytes, 0);
  EXPECT_GE(cost->formDrawings, 1);
  EXPECT_EQ(cost->shadingWork, 0);
}

}  // namespace
}  // namespace quorvantelmic
