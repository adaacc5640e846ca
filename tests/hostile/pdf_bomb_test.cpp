// Hostile PDFs through the real helper binary: page trees that loop or lie,
// cross-reference data that points nowhere, object numbers and field widths
// at the edge of 32 bits, nesting far deeper than any reader recurses,
// streams that claim more than the file holds or inflate to a gigabyte, and
// pages whose drawing would never end (forms fanning out into 10^12
// drawings, a tiling pattern of billions of cells, a ten-gigapixel image).
// Each file is inspected and then rendered in one session; each answer must
// be the one expected (a code and message, or a success with its page count,
// geometry and rendered files), within a bounded time and peak memory, with
// nothing on standard error and no output left behind by a refusal.
#include <fcntl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "helper_core/file_access/unique_fd.hpp"
#include "tests/file_access/file_test_support.hpp"
#include "tests/support/helper_child.hpp"
#include "tests/hostile/hostile_session.hpp"

namespace quorvantelmic {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// Every session stays far below what the hostile structures would cost if
// they were followed: the sanitized helper alone holds about 100 MiB.
constexpr long kPeakKilobytes = 256L * 1024;
constexpr auto kSessionDeadline = 60s;

struct Answer {
  const char* code = nullptr;  // none: a success
  const char* message = nullptr;
};

const Answer kAccepted{};
const Answer kAmbiguous{"unsupported-source", "Incrementally updated or ambiguous PDF structure is not accepted."};
const Answer kNotOpened{"decode-failed", "The PDF could not be opened."};
const Answer kPageTree{"decode-failed", "The PDF page tree is invalid."};
const Answer kPageNotOpened{"decode-failed", "A PDF page could not be opened."};
const Answer kGeometry{"resource-limit", "A PDF page has unsupported or excessive geometry."};
const Answer kNotRendered{"encode-failed", "A PDF page could not be rendered."};
const Answer kPixelLimit{"resource-limit", "A rendered PDF page exceeds the pixel limit."};

struct HostileCase {
  int number;
  const char* fixture;
  Answer inspection;
  // For an accepted file: its page count, the size of every page, whether it
  // has text, then how its rendering at `dpi` is answered. A refused file is
  // refused by the rendering the same way.
  int pages = 0;
  double widthPoints = 612;
  double heightPoints = 792;
  bool hasText = false;
  Answer rendering = kAccepted;
  int dpi = 36;
};

std::string fixture(const std::string& name) {
  return std::string(QUORVANTELMIC_SOURCE_DIR) + "/tests/fixtures/hostile/pdf/" + name;
}

std::string stagedName(std::size_t index) {
  char name[64];
  std::snprintf(name, sizeof name, "output-%032zx.png", 0xb0b0 + index);
  return name;
}

std::vector<std::uint8_t> fileBytes(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

std::uint32_t bigEndian32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) << 24 | static_cast<std::uint32_t>(bytes[at + 1]) << 16 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 8 | static_cast<std::uint32_t>(bytes[at + 3]);
}

void expectAnswer(const json& response, const Answer& expected, const std::string& what) {
  ASSERT_NE(expected.code, nullptr);
  EXPECT_EQ(response["ok"], false) << what << ": " << response.dump();
  EXPECT_EQ(response["error"], (json{{"code", expected.code}, {"message", expected.message}}))
      << what << ": " << response.dump();
}

// One session: inspect-pdf, then pdf-pages-to-png with one output per
// expected page (one for a refused file, which must be refused first).
void runCase(const HostileCase& c) {
  const std::string what = "#" + std::to_string(c.number) + " " + c.fixture;
  const bool accepted = c.inspection.code == nullptr;
  const std::size_t outputs = accepted ? static_cast<std::size_t>(c.pages) : 1;

  testing_support::TemporaryDirectory staging;
  const UniqueFd source = testing_support::openOrThrow(fixture(c.fixture), O_RDONLY);
  const UniqueFd directory = testing_support::openOrThrow(staging.path().string(), O_RDONLY | O_DIRECTORY);
  json render = hostile::request("pdf-pages-to-png", "4b1d0c2e-9f3a-4e5b-8c6d-0000000000b2");
  render["options"] = json{{"dpi", c.dpi}};
  render["outputPaths"] = json::array();
  for (std::size_t i = 0; i < outputs; ++i) render["outputPaths"].push_back("/dev/fd/4/" + stagedName(i));
  const std::string session =
      hostile::request("inspect-pdf", "4b1d0c2e-9f3a-4e5b-8c6d-0000000000b1").dump() + "\n" + render.dump() + "\n";

  const testing::ChildOutcome outcome = testing::runSession(
      session, {{3, source.get()}, {4, directory.get()}}, kSessionDeadline, hostile::measuringEnvironment());
  std::printf("[ figures  ] %s: peak %ld KiB, %.2f s\n", what.c_str(), outcome.peakKilobytes, outcome.seconds);
  EXPECT_FALSE(outcome.timedOut) << what << " took longer than the deadline";
  EXPECT_EQ(outcome.signal, 0) << what;
  EXPECT_EQ(outcome.exitStatus, 0) << what;
  EXPECT_EQ(outcome.standardError, "") << what;
  EXPECT_LT(outcome.peakKilobytes, kPeakKilobytes) << what;
  const std::vector<json> responses = outcome.responses();
  ASSERT_EQ(responses.size(), 2u) << what;
  const json& inspection = responses[0];
  const json& rendering = responses[1];
  const std::set<std::string> left = testing_support::entriesOf(staging.path().string());

  if (!accepted) {
    expectAnswer(inspection, c.inspection, what);
    expectAnswer(rendering, c.inspection, what + " (rendering)");
    EXPECT_TRUE(left.empty()) << what << " left an output behind";
    return;
  }
  ASSERT_EQ(inspection["ok"], true) << what << ": " << inspection.dump();
  const json& probe = inspection["pdfProbe"];
  EXPECT_EQ(probe["pageCount"], c.pages) << what;
  ASSERT_EQ(probe["pages"].size(), static_cast<std::size_t>(c.pages)) << what;
  for (const json& page : probe["pages"]) {
    EXPECT_EQ(page, (json{{"widthPoints", c.widthPoints}, {"heightPoints", c.heightPoints}, {"rotation", 0}}))
        << what;
  }
  EXPECT_EQ(probe["hasText"], c.hasText) << what;

  if (c.rendering.code != nullptr) {
    expectAnswer(rendering, c.rendering, what + " (rendering)");
    EXPECT_TRUE(left.empty()) << what << " left an output behind";
    return;
  }
  ASSERT_EQ(rendering["ok"], true) << what << ": " << rendering.dump();
  ASSERT_EQ(rendering["outputs"].size(), outputs) << what;
  std::set<std::string> expected;
  for (std::size_t i = 0; i < outputs; ++i) expected.insert(stagedName(i));
  EXPECT_EQ(left, expected) << what;
  // Each page is a PNG of the page at the resolution asked for, as long as
  // the answer says.
  const auto pixels = [&](double points) { return static_cast<std::uint32_t>(std::ceil(points * c.dpi / 72)); };
  for (std::size_t i = 0; i < outputs && i < rendering["outputs"].size(); ++i) {
    const json& record = rendering["outputs"][i];
    const std::vector<std::uint8_t> png = fileBytes(staging.path().string() + "/" + stagedName(i));
    EXPECT_EQ(record["index"], i) << what;
    EXPECT_EQ(record["byteLength"], png.size()) << what;
    ASSERT_GE(png.size(), 24u) << what;
    EXPECT_EQ(std::string(png.begin() + 1, png.begin() + 4), "PNG") << what;
    EXPECT_EQ(bigEndian32(png, 16), pixels(c.widthPoints)) << what << " page " << i;
    EXPECT_EQ(bigEndian32(png, 20), pixels(c.heightPoints)) << what << " page " << i;
  }
}

void runCases(const std::vector<HostileCase>& cases) {
  for (const HostileCase& c : cases) runCase(c);
}

// Both readers must walk the same, non-empty tree: a loop leaves them without
// pages or disagreeing, and so does a count that claims a million pages over
// one kid. A kid that is a font is taken for a page without a media box.
TEST(HostilePDFs, PageTreesThatLoopOrLie) {
  runCases({
      {1, "01-pages-kid-is-itself.pdf", kPageTree},
      {2, "01-pages-two-node-cycle.pdf", kPageTree},
      {3, "01-pages-two-node-cycle-no-leaf.pdf", kPageTree},
      {4, "02-kid-is-a-font.pdf", kGeometry},
      {5, "02-only-kid-is-a-font.pdf", kGeometry},
      {6, "02-count-claims-a-million.pdf", kPageTree},
  });
}

// A file with one end marker and one pointer whose table is wrong or missing
// is rebuilt by both readers and accepted when they agree; one that lost its
// end marker (every truncation before it) or its pointer is ambiguous.
TEST(HostilePDFs, BrokenCrossReferenceData) {
  runCases({
      {7, "03-valid-three-pages.pdf", kAccepted, 3},
      {8, "03-xref-offsets-into-garbage.pdf", kAccepted, 3},
      {9, "03-no-xref-table.pdf", kAccepted, 3},
      {10, "03-no-xref-no-startxref.pdf", kAmbiguous},
      {11, "03-startxref-past-eof.pdf", kAccepted, 3},
      {12, "03-truncated-at-10-percent.pdf", kAmbiguous},
      {13, "03-truncated-at-50-percent.pdf", kAmbiguous},
      {14, "03-truncated-at-90-percent.pdf", kAmbiguous},
      {15, "03-truncated-before-eof-marker.pdf", kAmbiguous},
      {16, "03-body-cut-tail-kept.pdf", kPageNotOpened},
  });
}

// Numbers at the edge of 32 bits: a trailer that declares 2^31 - 1 objects is
// harmless, an object that uses such a number or a cross-reference stream
// whose field widths or size cannot be right is not a readable file.
TEST(HostilePDFs, HugeObjectNumbersAndFieldWidths) {
  runCases({
      {17, "04-object-2147483646.pdf", kNotOpened},
      {18, "04-xref-size-2147483647.pdf", kAccepted, 1},
      {19, "04-xref-stream-valid.pdf", kAccepted, 1},
      {20, "04-xref-stream-w-2147483647.pdf", kNotOpened},
      {21, "04-xref-stream-w-negative.pdf", kNotOpened},
      {22, "04-xref-stream-w-sum-overflows.pdf", kNotOpened},
      {23, "04-xref-stream-size-2147483647.pdf", kNotOpened},
  });
}

// Nesting in a page dictionary leaves the page unreadable; nesting in content
// is drawn when it is cheap (arrays), and refused before poppler draws it
// when every level would keep a saved state (100000 q). A form that draws
// itself or its drawer is stopped at the loop; forms fanning out into 10^12
// drawings are never drawn, and the inspection assumes text on such a page
// instead of extracting it, which would draw it too. The same shapes at the
// sizes real documents reach (11111 form drawings, 1000 nested states) are
// drawn.
TEST(HostilePDFs, DeepNestingAndRecursion) {
  runCases({
      {24, "05-arrays-100000-deep-in-page.pdf", kPageNotOpened},
      {25, "05-arrays-100000-deep-unclosed.pdf", kPageNotOpened},
      {26, "05-dictionaries-20000-deep-in-page.pdf", kPageNotOpened},
      {27, "05-content-arrays-100000-deep.pdf", kAccepted, 1, 612, 792, true},
      {28, "05-q-100000-deep.pdf", kAccepted, 1, 612, 792, true, kNotRendered},
      {29, "05-q-100000-never-restored.pdf", kAccepted, 1, 612, 792, true, kNotRendered},
      {30, "05-form-draws-itself.pdf", kAccepted, 1},
      {31, "05-forms-draw-each-other.pdf", kAccepted, 1},
      {32, "05-forms-fan-out-10-to-the-12.pdf", kAccepted, 1, 612, 792, true, kNotRendered},
      {33, "05-forms-fan-out-10-to-the-4.pdf", kAccepted, 1},
      {34, "05-q-1000-deep.pdf", kAccepted, 1},
  });
}

// Lengths are recovered from the endstream keyword; a compressed content
// stream cut short is drawn as far as it inflates (and, unscanned, assumed
// to hold text); a content stream that
// inflates to a gigabyte is never lexed to its end, an image that inflates to
// one is read only as far as its 16384 x 16384 pixels; a media box of 10^30
// points or 400 digits is refused, and the largest accepted box exceeds the
// pixel limit at 300 DPI.
TEST(HostilePDFs, LyingLengthsInflationBombsAndHugeBoxes) {
  runCases({
      {35, "06-length-beyond-the-file.pdf", kAccepted, 1},
      {36, "06-length-negative.pdf", kAccepted, 1},
      {37, "06-content-flate-cut-short.pdf", kAccepted, 1, 612, 792, true},
      {38, "06-content-inflates-to-1-gib.pdf", kAccepted, 1, 612, 792, true, kNotRendered},
      {39, "06-image-inflates-to-1-gib.pdf", kAccepted, 1},
      {40, "06-mediabox-1e30.pdf", kGeometry},
      {41, "06-mediabox-digits.pdf", kPageNotOpened},
      {42, "06-mediabox-14400.pdf", kAccepted, 1, 14400, 14400, false, kPixelLimit, 300},
  });
}

// Work that a small file can demand of the drawing: a declared image of ten
// gigapixels and a pattern of a thousandth of a point are refused before they
// are drawn, and so is the fan-out of forms reached through an annotation's
// appearance, a soft mask or a Type 3 glyph; a pattern of half a point
// (1938816 cells) is drawn, but eleven such pages pass the bound of a whole
// document, so the last is neither drawn nor searched for text. An object
// stream that claims a billion objects holds one; a JPEG frame of 65500 x
// 65500 behind a 16 x 16 image and a sampled function of 900 megasamples
// from 3000 bytes are read only as far as they go. A triangle mesh that
// inflates to 256 MiB, which poppler would hold as 1.2 GB of vertices while
// drawing or extracting text, is neither; nor is a JBIG2 image of 16 x 16
// whose own page is 65535 x 65535 (half a gigabyte of bitmap), while one
// whose page is 16 x 16 is drawn.
TEST(HostilePDFs, DrawingWorkBombs) {
  runCases({
      {43, "07-image-declares-10-gigapixels.pdf", kAccepted, 1, 612, 792, true, kNotRendered},
      {44, "07-object-stream-claims-a-billion.pdf", kAccepted, 1},
      {45, "07-tiling-pattern-step-0.001.pdf", kAccepted, 1, 612, 792, true, kNotRendered},
      {46, "07-tiling-pattern-step-0.5.pdf", kAccepted, 1},
      {47, "07-annotation-appearance-fans-out.pdf", kAccepted, 1, 612, 792, true, kNotRendered},
      {48, "07-soft-mask-fans-out.pdf", kAccepted, 1, 612, 792, true, kNotRendered},
      {49, "07-type3-glyph-fans-out.pdf", kAccepted, 1, 612, 792, true, kNotRendered},
      {50, "07-jpeg-frame-larger-than-its-image.pdf", kAccepted, 1},
      {51, "07-sampled-function-of-900-megasamples.pdf", kAccepted, 1},
      {52, "07-eleven-pages-over-the-document-bound.pdf", kAccepted, 11, 612, 792, true, kNotRendered},
      {53, "07-mesh-shading-inflates-to-256-mib.pdf", kAccepted, 1, 612, 792, true, kNotRendered},
      {54, "07-jbig2-page-65535-square.pdf", kAccepted, 1, 612, 792, true, kNotRendered},
      {55, "07-jbig2-page-16-square.pdf", kAccepted, 1},
  });
}

// Text that only forms draw, three million text operators of it: drawable,
// but too much for the text extractor, which cannot be stopped once it runs
// and keeps every word; the page is taken to have text without it. A
// function-based shading whose PostScript function of a thousand operators
// would run at every pixel, and a JPEG 2000 image whose codestream declares
// 60000 x 60000 behind a 64 x 48 dictionary, are never drawn (nor searched
// for text: a page that cannot be drawn is taken to have text).
TEST(HostilePDFs, TextExtractionShadingAndJPEG2000Bombs) {
  runCases({
      {56, "08-text-in-forms-3-million-operators.pdf", kAccepted, 1, 612, 792, true},
      {57, "../../pdf/drawing-cost/shading-function-1000-operators.pdf", kAccepted, 1, 612, 792, true,
       kNotRendered},
      {58, "../../pdf/drawing-cost/jpx-codestream-declares-60000-square.pdf", kAccepted, 1, 612, 792, true,
       kNotRendered},
  });
}

}  // namespace
}  // namespace quorvantelmic
