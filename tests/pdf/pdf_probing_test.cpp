#include "helper_core/pdf/pdf_probing.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "helper_core/pdf/pdf_name_features.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "tests/pdf/pdf_test_support.hpp"

namespace quorvantelmic {
namespace {

using namespace pdf_testing;

constexpr const char* notPDF = "The source is not a PDF document.";
constexpr const char* ambiguous = "Incrementally updated or ambiguous PDF structure is not accepted.";
constexpr const char* objectLimit = "The PDF exceeds the object limit.";
constexpr const char* notOpened = "The PDF could not be opened.";
constexpr const char* encrypted = "Encrypted or password-protected PDFs are not accepted.";
constexpr const char* pageTree = "The PDF page tree is invalid.";
constexpr const char* pageLimit = "The PDF exceeds the page limit.";
constexpr const char* geometry = "A PDF page has unsupported or excessive geometry.";
constexpr const char* rotation = "A PDF page has an unsupported rotation.";

HelperFault faultOf(const std::vector<std::uint8_t>& bytes) {
  try {
    PDFInspector().inspect(bytes);
  } catch (const HelperFault& fault) {
    return fault;
  }
  return HelperFault(HelperErrorCode::cancelled, "accepted");
}

PDFProbe probeOf(const std::string& fixture) { return PDFInspector().inspect(readFixture(fixture)).probe; }

// ---------------------------------------------------------------------------
// Byte scanners

TEST(PDFByteScanners, ClassifyWhitespaceAndDelimiters) {
  for (int byte : {0x00, 0x09, 0x0A, 0x0C, 0x0D, 0x20}) {
    EXPECT_TRUE(PDFInspector::isPDFWhitespace(static_cast<std::uint8_t>(byte))) << byte;
    EXPECT_TRUE(PDFInspector::isPDFDelimiter(static_cast<std::uint8_t>(byte))) << byte;
  }
  for (char byte : std::string("()<>[]{}/%")) {
    EXPECT_FALSE(PDFInspector::isPDFWhitespace(static_cast<std::uint8_t>(byte))) << byte;
    EXPECT_TRUE(PDFInspector::isPDFDelimiter(static_cast<std::uint8_t>(byte))) << byte;
    EXPECT_TRUE(PDFNameTokenScanner::isDelimiter(static_cast<std::uint8_t>(byte))) << byte;
  }
  for (int byte : std::vector<int>{0x0B, 'a', '#', '0', 0x80, 0xFF}) {
    EXPECT_FALSE(PDFInspector::isPDFDelimiter(static_cast<std::uint8_t>(byte))) << byte;
  }
}

TEST(PDFByteScanners, CountObjectDeclarations) {
  auto count = [](const std::string& text) { return PDFInspector::countObjectDeclarations(bytesOf(text)); };
  EXPECT_EQ(count(" obj "), 0);           // five bytes or fewer count nothing
  EXPECT_EQ(count("1 0 obj\n<<>>"), 1);
  EXPECT_EQ(count("1 0 obj<< >>"), 1);    // "<<" right after the keyword
  EXPECT_EQ(count("endobj endobj x"), 0);  // "obj" after a letter never counts
  EXPECT_EQ(count("x 1 0 obj\n"), 0);     // the terminating byte is the last byte
  EXPECT_EQ(count("x 1 0 obj\nA"), 1);
  EXPECT_EQ(count(" objx obj%"), 0);      // "x" is no delimiter; "%" is the last byte
  EXPECT_EQ(count(" obj( obj[ obj/ obj{ x"), 4);

  std::string many;
  for (int i = 0; i < 100005; ++i) many += " obj\n";
  EXPECT_EQ(count(many), 100001);  // the scan stops at the cap
}

TEST(PDFByteScanners, CountMarkersWithoutOverlap) {
  EXPECT_EQ(PDFInspector::countMarker(bytesOf("%%EOF%%EOF"), "%%EOF"), 2);
  EXPECT_EQ(PDFInspector::countMarker(bytesOf("%%%EOF"), "%%EOF"), 1);
  EXPECT_EQ(PDFInspector::countMarker(bytesOf("startxrefstartxre"), "startxref"), 1);
  EXPECT_EQ(PDFInspector::countMarker(bytesOf(""), "%%EOF"), 0);
}

TEST(PDFNameTokens, CollectsDecodedDistinctNames) {
  const PDFNameTokenScanner scanner(bytesOf("<</Type/Catalog /A#42C /Bad#4 /Odd#zz /End#4"));
  EXPECT_TRUE(scanner.contains("Type"));
  EXPECT_TRUE(scanner.contains("Catalog"));  // the "/" that ends a name starts the next
  EXPECT_TRUE(scanner.contains("ABC"));
  EXPECT_TRUE(scanner.contains("Bad#4"));  // "#" without two hex digits stays literal
  EXPECT_TRUE(scanner.contains("Odd#zz"));
  EXPECT_TRUE(scanner.contains("End#4"));  // fewer than two bytes follow the "#"
  EXPECT_FALSE(scanner.contains(""));
  const std::vector<std::string_view> names = {"Missing", "ABC"};
  EXPECT_TRUE(scanner.containsAny(names));
}

TEST(PDFNameTokens, DropsEmptyAndNonUTF8Tokens) {
  const PDFNameTokenScanner scanner(bytesOf("/ /#FF /\xC3\xA9t\xC3\xA9 /#C3#A9 /\xED\xA0\x80"));
  EXPECT_FALSE(scanner.contains(""));
  EXPECT_FALSE(scanner.contains("\xFF"));
  EXPECT_TRUE(scanner.contains("\xC3\xA9t\xC3\xA9"));
  EXPECT_TRUE(scanner.contains("\xC3\xA9"));
  EXPECT_FALSE(scanner.contains("\xED\xA0\x80"));  // an encoded surrogate is not UTF-8
}

TEST(PDFNameTokens, AVocabularyKeepsTheSetSmall) {
  std::string names = "/Annots /Java#53cript ";
  for (int i = 0; i < 50000; ++i) names += "/N" + std::to_string(i) + " ";
  const std::vector<std::string_view> vocabulary = {"JavaScript", "Annots", "Outlines"};
  const PDFNameTokenScanner restricted(bytesOf(names), vocabulary);
  EXPECT_EQ(restricted.size(), 2u);
  EXPECT_TRUE(restricted.contains("JavaScript"));
  EXPECT_FALSE(restricted.contains("Outlines"));
  EXPECT_EQ(PDFNameTokenScanner(bytesOf(names)).size(), 50002u);
}

TEST(PDFNameTokens, FeatureListsMatchTheirFlags) {
  struct Case {
    std::string text;
    std::function<bool(const PDFNameFeatures&)> flag;
  };
  const std::vector<Case> cases = {
      {"/XFA", [](const PDFNameFeatures& f) { return f.hasForms; }},
      {"/FieldMDP", [](const PDFNameFeatures& f) { return f.hasSignatures; }},
      {"/Annots", [](const PDFNameFeatures& f) { return f.hasAnnotations; }},
      {"/Collection", [](const PDFNameFeatures& f) { return f.hasAttachments; }},
      {"/3D", [](const PDFNameFeatures& f) { return f.hasJavaScriptOrActions; }},
      {"/SetOCGState", [](const PDFNameFeatures& f) { return f.hasJavaScriptOrActions; }},
      {"/Outlines", [](const PDFNameFeatures& f) { return f.hasOutlines; }},
      {"/MarkInfo", [](const PDFNameFeatures& f) { return f.hasTaggedContent; }},
      {"/OCProperties", [](const PDFNameFeatures& f) { return f.hasOptionalContent; }},
  };
  for (const Case& c : cases) {
    const PDFNameFeatures features(bytesOf("(" + c.text + ")"));  // strings are scanned too
    EXPECT_TRUE(c.flag(features)) << c.text;
    EXPECT_TRUE(features.any());
  }
  EXPECT_FALSE(PDFNameFeatures(bytesOf("/URIx /Sigs AcroForm /Type")).any());
}

TEST(PDFTextOperatorCallback, SetsTheFlagBehindTheInfoPointer) {
  auto state = std::make_shared<PDFTextScanState>();
  markPDFTextOperator(nullptr, nullptr);
  EXPECT_FALSE(state->foundText);
  markPDFTextOperator(nullptr, state.get());
  EXPECT_TRUE(state->foundText);
}

// ---------------------------------------------------------------------------
// Bad inputs, in the order the checks run. Each has exactly one answer.

struct BadInput {
  int number;
  const char* what;
  std::function<std::vector<std::uint8_t>()> bytes;
  HelperErrorCode code;
  const char* message;
};

std::string withObjects(std::size_t declarations) {
  // A valid one-page file whose comments hold the remaining declarations.
  std::string comment;
  for (std::size_t i = 0; i + 4 < declarations; ++i) comment += " 0 obj ";
  return buildPagesPDF(1, "[0 0 612 792]", "0 0 1 rg 10 10 50 50 re f", comment);
}

const std::vector<BadInput>& badInputs() {
  static const std::vector<BadInput> inputs = {
      {1, "seven bytes", [] { return bytesOf("%PDF-1."); }, HelperErrorCode::decodeFailed, notPDF},
      {2, "eight bytes, no marker", [] { return bytesOf("%PDF-1.7"); }, HelperErrorCode::unsupportedSource,
       ambiguous},
      {3, "another format", [] { return bytesOf("GIF89a\x01\x00\x01\x00 %%EOF startxref"); },
       HelperErrorCode::decodeFailed, notPDF},
      {4, "header not at the start", [] { return bytesOf(" %PDF-1.7\n" + buildPagesPDF(1)); },
       HelperErrorCode::decodeFailed, notPDF},
      {5, "incremental update", [] { return readFixture("incremental-update.pdf"); },
       HelperErrorCode::unsupportedSource, ambiguous},
      {6, "two startxref", [] { return readFixture("two-startxref.pdf"); }, HelperErrorCode::unsupportedSource,
       ambiguous},
      {7, "marker inside a comment", [] { return bytesOf(buildPagesPDF(1, "[0 0 612 792]", "", "%%EOF")); },
       HelperErrorCode::unsupportedSource, ambiguous},
      {8, "truncated before the end marker", [] {
         const std::string full = buildPagesPDF(2);
         return bytesOf(full.substr(0, full.size() - 7));
       }, HelperErrorCode::unsupportedSource, ambiguous},
      {9, "100001 object declarations", [] { return bytesOf(withObjects(100001)); }, HelperErrorCode::resourceLimit,
       objectLimit},
      {10, "markers around garbage", [] { return bytesOf("%PDF-1.7\nnothing here\nstartxref\n9\n%%EOF\n"); },
       HelperErrorCode::decodeFailed, notOpened},
      {11, "owner password only", [] { return readFixture("encrypted-owner-password.pdf"); },
       HelperErrorCode::unsupportedSource, encrypted},
      {12, "user password", [] { return readFixture("encrypted-user-password.pdf"); },
       HelperErrorCode::unsupportedSource, encrypted},
      {13, "no pages", [] {
         return bytesOf(buildPDF({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Count 0 /Kids [] >>"}));
       }, HelperErrorCode::decodeFailed, pageTree},
      {14, "cyclic page tree", [] {
         return bytesOf(buildPDF({"<< /Type /Catalog /Pages 2 0 R >>",
                                  "<< /Type /Pages /Count 2 /Kids [3 0 R 2 0 R] >>",
                                  "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>"}));
       }, HelperErrorCode::decodeFailed, pageTree},
      {15, "huge declared page count", [] {
         return bytesOf(buildPDF({"<< /Type /Catalog /Pages 2 0 R >>",
                                  "<< /Type /Pages /Count 2147483647 /Kids [3 0 R] >>",
                                  "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>"}));
       }, HelperErrorCode::decodeFailed, pageTree},
      {16, "1001 pages", [] { return bytesOf(buildPagesPDF(1001)); }, HelperErrorCode::resourceLimit, pageLimit},
      {17, "media box off the origin", [] { return readFixture("mediabox-off-origin.pdf"); },
       HelperErrorCode::resourceLimit, geometry},
      {18, "side of 14400.5 points", [] { return readFixture("mediabox-too-wide.pdf"); },
       HelperErrorCode::resourceLimit, geometry},
      {19, "empty media box", [] { return bytesOf(buildPagesPDF(1, "[0 0 0 792]")); },
       HelperErrorCode::resourceLimit, geometry},
      {20, "no media box", [] { return bytesOf(buildPagesPDF(1, "(none)")); }, HelperErrorCode::resourceLimit,
       geometry},
      {21, "media box 0.0015 from the origin", [] { return bytesOf(buildPagesPDF(1, "[0 0.0015 612 792]")); },
       HelperErrorCode::resourceLimit, geometry},
      {22, "rotation 45", [] { return readFixture("rotation-45.pdf"); }, HelperErrorCode::unsupportedSource,
       rotation},
      {23, "rotation beyond 32 bits", [] {
         return bytesOf(buildPDF({"<< /Type /Catalog /Pages 2 0 R >>",
                                  "<< /Type /Pages /Count 1 /Kids [3 0 R] >>",
                                  "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Rotate 4294967386 >>"}));
       }, HelperErrorCode::unsupportedSource, rotation},
      {24, "rotation 90.5", [] {
         return bytesOf(buildPDF({"<< /Type /Catalog /Pages 2 0 R >>",
                                  "<< /Type /Pages /Count 1 /Kids [3 0 R] >>",
                                  "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Rotate 90.5 >>"}));
       }, HelperErrorCode::unsupportedSource, rotation},
  };
  return inputs;
}

TEST(PDFInspectorBadInputs, EachGetsItsAnswer) {
  for (const BadInput& input : badInputs()) {
    const HelperFault fault = faultOf(input.bytes());
    EXPECT_EQ(fault, HelperFault(input.code, input.message)) << "#" << input.number << " " << input.what;
  }
}

// Hostile files: each gets one of the inspection's own answers (often "could not be opened"),
// never a crash or a hang, and nothing either library says reaches stderr.
TEST(PDFInspectorBadInputs, HostileFilesAreAnsweredQuietly) {
  struct Hostile {
    std::string what;
    std::vector<std::uint8_t> bytes;
    std::optional<std::string> message;  // none: accepted
  };
  const std::string valid = buildPagesPDF(3);
  std::vector<Hostile> hostile;
  {
    std::string broken = valid;  // every cross-reference offset wrong: the readers rebuild the table
    const std::size_t xref = broken.find("xref\n0 ");
    for (std::size_t p = broken.find(" 00000 n", xref); p != std::string::npos; p = broken.find(" 00000 n", p + 1)) {
      broken.replace(p - 10, 10, "0000000001");
    }
    hostile.push_back({"broken cross-reference", bytesOf(broken), std::nullopt});
  }
  {
    std::string cut = valid;  // a third of the body removed, the tail kept
    cut.erase(cut.size() / 3, cut.size() / 4);
    hostile.push_back({"truncated body", bytesOf(cut), "A PDF page could not be opened."});
  }
  hostile.push_back({"deep array nesting",
                     bytesOf(buildPDF({"<< /Type /Catalog /Pages 2 0 R /Deep " + std::string(200000, '[') + " >>",
                                       "<< /Type /Pages /Count 1 /Kids [3 0 R] >>",
                                       "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>"})),
                     notOpened});
  auto chain = [](int depth) {  // a page tree `depth` levels deep
    std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>"};
    for (int level = 0; level < depth; ++level) {
      objects.push_back("<< /Type /Pages /Count 1 /Kids [" + std::to_string(level + 3) + " 0 R] >>");
    }
    objects.push_back("<< /Type /Page /MediaBox [0 0 612 792] >>");
    return bytesOf(buildPDF(objects));
  };
  hostile.push_back({"page tree 99990 levels deep", chain(99990), notOpened});
  hostile.push_back({"page tree 257 levels deep", chain(257), notOpened});
  hostile.push_back({"page tree 256 levels deep", chain(256), std::nullopt});
  {
    std::string huge = buildPagesPDF(1);
    const std::size_t length = huge.find("/Length ");
    huge.replace(length, 10, "/Length 99999999999999");
    hostile.push_back({"stream length beyond the file", bytesOf(huge), std::nullopt});
  }
  {
    std::string huge = buildPagesPDF(1);  // a cross-reference section claiming a billion entries
    const std::size_t xref = huge.find("xref\n0 ");
    huge.replace(xref, huge.find('\n', xref + 5) - xref, "xref\n0 999999999");
    hostile.push_back({"cross-reference section of a billion entries", bytesOf(huge), std::nullopt});
  }
  {
    std::string huge = buildPagesPDF(1);  // a trailer declaring a huge object count
    const std::size_t size = huge.find("/Size ");
    huge.replace(size, huge.find(' ', size + 6) - size, "/Size 2147483647");
    hostile.push_back({"trailer size beyond the file", bytesOf(huge), std::nullopt});
  }
  hostile.push_back({"negative page count",
                     bytesOf(buildPDF({"<< /Type /Catalog /Pages 2 0 R >>",
                                       "<< /Type /Pages /Count -5 /Kids [3 0 R] >>",
                                       "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>"})),
                     pageTree});
  hostile.push_back({"form that draws itself",
                     bytesOf(buildPDF({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Count 1 /Kids [3 0 R] >>",
                                       "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R "
                                       "/Resources << /XObject << /Fx 5 0 R >> >> >>",
                                       streamObject("/Fx Do"),
                                       streamObject("/Fx Do", "/Type /XObject /Subtype /Form /BBox [0 0 10 10] "
                                                              "/Resources << /XObject << /Fx 5 0 R >> >>")})),
                     std::nullopt});
  hostile.push_back({"page tree kid that is no dictionary",
                     bytesOf(buildPDF({"<< /Type /Catalog /Pages 2 0 R >>",
                                       "<< /Type /Pages /Count 2 /Kids [3 0 R 42] >>",
                                       "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>"})),
                     "A PDF page could not be opened."});
  hostile.push_back({"only a header and markers", bytesOf("%PDF-1.4\n%%EOF startxref"), notOpened});
  {
    std::vector<std::uint8_t> noise = bytesOf("%PDF-1.7\n");
    std::uint32_t state = 12345;
    for (int i = 0; i < 20000; ++i) {
      state = state * 1103515245u + 12345u;
      noise.push_back(static_cast<std::uint8_t>(state >> 16));
    }
    for (char c : std::string("\nstartxref\n0\n%%EOF")) noise.push_back(static_cast<std::uint8_t>(c));
    hostile.push_back({"binary noise", noise, notOpened});
  }

  for (const Hostile& input : hostile) {
    StandardErrorCapture capture;
    std::optional<std::string> message;
    try {
      PDFInspector().inspect(input.bytes);
    } catch (const HelperFault& fault) {
      message = fault.message();
    }
    EXPECT_EQ(capture.finish(), "") << input.what;
    EXPECT_EQ(message, input.message) << input.what;
  }
}

// ---------------------------------------------------------------------------
// Accepted documents

TEST(PDFInspectorLimits, ExactLimitsAreAccepted) {
  const InspectedPDF objects = PDFInspector().inspect(bytesOf(withObjects(100000)));
  EXPECT_EQ(PDFInspector::countObjectDeclarations(std::span(*objects.data)), 100000);
  EXPECT_EQ(objects.probe.pageCount, 1);

  const PDFProbe pages = PDFInspector().inspect(bytesOf(buildPagesPDF(1000))).probe;
  EXPECT_EQ(pages.pageCount, 1000);
  ASSERT_EQ(pages.pages.size(), 1000u);
  EXPECT_EQ(pages.pages[999], (PDFPageGeometry{612, 792, 0}));
}

TEST(PDFInspectorGeometry, MediaBoxesAreMeasuredAndRounded) {
  EXPECT_EQ(probeOf("mediabox-letter.pdf").pages, (std::vector<PDFPageGeometry>{{612.0, 792.0, 0}}));
  const PDFPageGeometry near = probeOf("mediabox-near-origin.pdf").pages.at(0);
  EXPECT_NEAR(near.widthPoints, 612.0, 0.001);
  EXPECT_EQ(probeOf("mediabox-largest.pdf").pages.at(0), (PDFPageGeometry{14400.0, 14400.0, 0}));
  EXPECT_EQ(probeOf("mediabox-a4.pdf").pages.at(0), (PDFPageGeometry{595.276, 841.89, 0}));
  EXPECT_EQ(probeOf("mediabox-reversed.pdf").pages.at(0), (PDFPageGeometry{612.0, 792.0, 0}));
  EXPECT_EQ(probeOf("mediabox-crop-smaller.pdf").pages.at(0), (PDFPageGeometry{612.0, 792.0, 0}));
  EXPECT_EQ(PDFInspector().inspect(bytesOf(buildPagesPDF(1, "[0 0 0.0004 10]"))).probe.pages.at(0),
            (PDFPageGeometry{0.0, 10.0, 0}));
}

TEST(PDFInspectorGeometry, RotationsAreNormalisedIncludingInheritedOnes) {
  const PDFProbe probe = probeOf("rotations.pdf");
  ASSERT_EQ(probe.pageCount, 6);
  EXPECT_EQ(probe.pages, (std::vector<PDFPageGeometry>{
                             {612, 792, 90}, {612, 792, 180}, {612, 792, 270}, {612, 792, 270}, {612, 792, 270},
                             {300, 400, 90}}));  // the last inherits rotation and media box
  EXPECT_EQ(probeOf("rotation-real.pdf").pages, (std::vector<PDFPageGeometry>{{612, 792, 90}}));  // /Rotate 90.0
}

TEST(PDFInspectorText, TextLayersAreFoundWhereverTheyAre) {
  EXPECT_TRUE(probeOf("text-pages.pdf").hasText);
  EXPECT_EQ(probeOf("text-pages.pdf").pageCount, 3);
  EXPECT_FALSE(probeOf("image-only.pdf").hasText);
  EXPECT_FALSE(probeOf("plain-page.pdf").hasText);
  EXPECT_TRUE(probeOf("form-xobject-text.pdf").hasText);  // only the text extractor sees it
  EXPECT_TRUE(probeOf("broken-content.pdf").hasText);     // an unscannable stream counts as text
  // A single text operator on one page of three is enough, even with no font.
  EXPECT_TRUE(PDFInspector().inspect(bytesOf(buildPagesPDF(3, "[0 0 612 792]", "BT ( ) Tj ET"))).probe.hasText);
  // An operator that no content stream defines ends the scan as incomplete.
  EXPECT_TRUE(PDFInspector().inspect(bytesOf(buildPagesPDF(1, "[0 0 612 792]", "0 0 m zzz"))).probe.hasText);
  // Unknown operators inside a compatibility section are allowed.
  EXPECT_FALSE(PDFInspector().inspect(bytesOf(buildPagesPDF(1, "[0 0 612 792]", "BX zzz EX"))).probe.hasText);
}

// Run-length data: every two bytes stand for 128 spaces.
std::string spacesRunLength(std::size_t runs) {
  std::string encoded;
  for (std::size_t i = 0; i < runs; ++i) encoded += "\x81 ";
  return encoded + "\x80";
}

TEST(PDFInspectorText, ContentBeyondTheScanBoundCountsAsText) {
  auto page = [](std::size_t runs) {
    const std::string content = streamObject(spacesRunLength(runs), "/Filter /RunLengthDecode");
    return bytesOf(buildPDF({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Count 1 /Kids [3 0 R] >>",
                             "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R >>",
                             content}));
  };
  EXPECT_FALSE(PDFInspector().inspect(page(1000)).probe.hasText);            // 128000 blank bytes
  EXPECT_TRUE(PDFInspector().inspect(page((33u << 20) / 128)).probe.hasText);  // 33 MiB decoded
}

TEST(PDFInspectorFeatures, EachFixtureRaisesItsFlags) {
  const PDFProbe plain = probeOf("plain-page.pdf");
  EXPECT_FALSE(plain.hasForms || plain.hasSignatures || plain.hasAnnotations || plain.hasAttachments ||
               plain.hasJavaScriptOrActions || plain.hasOutlines || plain.hasTaggedContent ||
               plain.hasOptionalContent);
  EXPECT_EQ(plain.family, "pdf");

  EXPECT_TRUE(probeOf("acroform.pdf").hasForms);
  const PDFProbe signature = probeOf("signature-field.pdf");
  EXPECT_TRUE(signature.hasForms && signature.hasSignatures && signature.hasAnnotations);
  const PDFProbe link = probeOf("link-annotation.pdf");
  EXPECT_TRUE(link.hasAnnotations);
  EXPECT_FALSE(link.hasJavaScriptOrActions || link.hasForms);
  EXPECT_TRUE(probeOf("embedded-file.pdf").hasAttachments);
  EXPECT_TRUE(probeOf("javascript-openaction.pdf").hasJavaScriptOrActions);
  EXPECT_TRUE(probeOf("outlines.pdf").hasOutlines);
  EXPECT_TRUE(probeOf("structure-tree.pdf").hasTaggedContent);
  EXPECT_TRUE(probeOf("optional-content.pdf").hasOptionalContent);
  const PDFProbe escaped = probeOf("escaped-javascript-name.pdf");
  EXPECT_TRUE(escaped.hasJavaScriptOrActions);
  EXPECT_FALSE(escaped.hasForms || escaped.hasAnnotations || escaped.hasOutlines);
}

TEST(PDFInspectorFeatures, FeaturesHiddenInObjectStreamsAreFoundStructurally) {
  EXPECT_TRUE(probeOf("hidden-link-annotation.pdf").hasAnnotations);
  EXPECT_TRUE(probeOf("hidden-outlines.pdf").hasOutlines);
  EXPECT_TRUE(probeOf("hidden-javascript-openaction.pdf").hasJavaScriptOrActions);
  EXPECT_TRUE(probeOf("hidden-structure-tree.pdf").hasTaggedContent);
  EXPECT_TRUE(probeOf("hidden-acroform.pdf").hasForms);
  EXPECT_TRUE(probeOf("hidden-optional-content.pdf").hasOptionalContent);
  const PDFProbe quiet = probeOf("hidden-structure-tree.pdf");
  EXPECT_FALSE(quiet.hasForms || quiet.hasAnnotations || quiet.hasOutlines);
}

TEST(PDFInspectorFeatures, StructuralEvidenceRaisesFlags) {
  const std::string annots = buildPDF({"<< /Type /Catalog /Pages 2 0 R >>",
                                       "<< /Type /Pages /Count 1 /Kids [3 0 R] >>",
                                       "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots [] >>"});
  EXPECT_TRUE(PDFInspector().inspect(bytesOf(annots)).probe.hasAnnotations);
  const std::string pageActions = buildPDF({"<< /Type /Catalog /Pages 2 0 R >>",
                                            "<< /Type /Pages /Count 1 /Kids [3 0 R] >>",
                                            "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /AA << >> "
                                            "/AF [] >>"});
  const PDFProbe probe = PDFInspector().inspect(bytesOf(pageActions)).probe;
  EXPECT_TRUE(probe.hasJavaScriptOrActions);
  EXPECT_TRUE(probe.hasAttachments);
}

TEST(PDFInspectorStructure, ObjectStreamsAndCrossReferenceStreamsAreRead) {
  const InspectedPDF inspected = PDFInspector().inspect(readFixture("object-streams.pdf"));
  EXPECT_EQ(inspected.probe.pageCount, 3);
  EXPECT_TRUE(inspected.probe.hasText);
  EXPECT_EQ(inspected.pdfKitDocument.pageCount(), 3u);
  EXPECT_EQ(inspected.coreGraphicsDocument.numberOfPages(), 3u);
}

TEST(PDFInspectorStructure, KeepsTheBytesAndBothDocuments) {
  const std::vector<std::uint8_t> bytes = readFixture("text-pages.pdf");
  InspectedPDF inspected = PDFInspector().inspect(bytes);
  InspectedPDF moved = std::move(inspected);
  EXPECT_EQ(*moved.data, bytes);
  ASSERT_TRUE(moved.pdfKitDocument.pageAtIndex(2));
  EXPECT_NE(moved.pdfKitDocument.pageAtIndex(2)->string()->find("Plain text page 3"), std::string::npos);
  EXPECT_TRUE(moved.coreGraphicsDocument.page(3));
}

// ---------------------------------------------------------------------------
// Linearized files: the one shape with two pairs of markers that is accepted

std::string textOf(const std::string& fixture) {
  const std::vector<std::uint8_t> bytes = readFixture(fixture);
  return std::string(bytes.begin(), bytes.end());
}

// `text` with the first `from` replaced by `to`, which is as long, so that
// every offset in the file stays right.
std::vector<std::uint8_t> edited(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  if (at == std::string::npos || from.size() != to.size()) throw std::runtime_error("the edit does not apply: " + from);
  text.replace(at, from.size(), to);
  return bytesOf(text);
}

TEST(PDFInspectorLinearized, SingleRevisionsFromRealWritersAreAccepted) {
  const std::vector<PDFPageGeometry> letter(3, PDFPageGeometry{612, 792, 0});
  const struct {
    const char* fixture;
    std::vector<PDFPageGeometry> pages;
  } cases[] = {
      {"linearized-qpdf.pdf", letter},  // classic tables
      {"linearized-gs.pdf", letter},
      {"debian-linearized-distiller.pdf", {{238, 53, 0}}},  // Acrobat Distiller 8.1
      {"debian-linearized-xref-streams.pdf", {{200.762, 200.762, 0}}},  // two cross-reference streams
  };
  for (const auto& c : cases) {
    const std::vector<std::uint8_t> bytes = readFixture(c.fixture);
    EXPECT_EQ(PDFInspector::countMarker(bytes, "%%EOF"), 2) << c.fixture;
    EXPECT_EQ(PDFInspector::countMarker(bytes, "startxref"), 2) << c.fixture;
    EXPECT_EQ(PDFInspector().inspect(bytes).probe.pages, c.pages) << c.fixture;
  }
}

TEST(PDFInspectorLinearized, UpdatesAndLookAlikesAreRefused) {
  const std::string qpdf = textOf("linearized-qpdf.pdf");
  const std::string updated = textOf("linearized-then-updated.pdf");
  // The update's /L still names the first revision's length; made to name the
  // whole file, the update's section at the end still gives it away.
  const std::size_t at = updated.find("/L ");
  const std::string firstLength = updated.substr(at, updated.find(' ', at + 3) - at);
  ASSERT_LT(std::stoul(firstLength.substr(3)), updated.size());
  const struct {
    const char* what;
    std::vector<std::uint8_t> bytes;
  } cases[] = {
      {"linearized, then updated", bytesOf(updated)},
      {"updated, with /L made to match", edited(updated, firstLength, "/L " + std::to_string(updated.size()))},
      {"one byte appended", bytesOf(qpdf + "\n")},
      {"an object in use in both sections", edited(qpdf, "xref\n10 7\n", "xref\n 9 7\n")},
      {"the first-page /Prev off by one", edited(qpdf, "/Prev 3300", "/Prev 3301")},
      {"the main section chained further", edited(qpdf, "<< /Size 10 /ID", "<< /Prev 00 /ID")},
      {"a first object that only looks linearized", edited(qpdf, "/Linearized 1 ", "/Linearised 1 ")},
      {"markers inside a stream of a plain file",
       bytesOf(buildPagesPDF(1, "[0 0 612 792]", "% startxref 0 %%EOF"))},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(faultOf(c.bytes), HelperFault(HelperErrorCode::unsupportedSource, ambiguous)) << c.what;
  }
}

TEST(PDFInspectorLinearized, DamagedCopiesAreAnsweredWithinTheirBytes) {
  // Run under the sanitizers, this shows that no cut and no damage to the
  // structure at either end makes the scanner read outside the data or stall;
  // a cut file is always refused, for its /L.
  for (const char* fixture : {"linearized-qpdf.pdf", "debian-linearized-xref-streams.pdf"}) {
    const std::vector<std::uint8_t> bytes = readFixture(fixture);
    ASSERT_TRUE(PDFInspector::isLinearizedSingleRevision(bytes)) << fixture;
    for (std::size_t cut = 0; cut < bytes.size(); cut += 7) {
      // A copy of exactly `cut` bytes, so reading past it is caught.
      const std::vector<std::uint8_t> prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
      EXPECT_FALSE(PDFInspector::isLinearizedSingleRevision(prefix)) << fixture << " cut at " << cut;
    }
    for (std::size_t at = 0; at < bytes.size(); at += at < 360 || at + 360 > bytes.size() ? 2 : 499) {
      for (const std::uint8_t byte : std::initializer_list<std::uint8_t>{'0', ' ', '/', '<', 0xFF}) {
        std::vector<std::uint8_t> damaged = bytes;
        damaged[at] = byte;
        (void)PDFInspector::isLinearizedSingleRevision(damaged);
      }
    }
  }
}

}  // namespace
}  // namespace quorvantelmic
