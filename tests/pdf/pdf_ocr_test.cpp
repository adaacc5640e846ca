// Flattened compression and English OCR on real PDFs: a Ghostscript text page
// is flattened into an image-only "scan" by our own writer, recognised by
// tesseract, and the result is read back with poppler's pdftotext.
#include <fcntl.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "helper_core/file_access/descriptor_digest.hpp"
#include "helper_core/image/platform/image_platform.hpp"
#include "helper_core/pdf/narrow_raster_pdf_assembler.hpp"
#include "helper_core/pdf/pdf_operations.hpp"
#include "helper_core/pdf/platform/text_recognizer.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "tests/file_access/file_test_support.hpp"
#include "tests/pdf/pdf_test_support.hpp"

namespace quorvantelmic {
namespace {

using namespace pdf_testing;
using testing_support::entriesOf;
using testing_support::openOrThrow;
using testing_support::TemporaryDirectory;

std::vector<std::uint8_t> englishTextPDF() {
  return bytesOf(testing_support::readFile(std::string(QUORVANTELMIC_SOURCE_DIR) +
                                           "/tests/fixtures/pdf_ocr/english-text.pdf"));
}

std::vector<std::uint8_t> blankPDF() { return bytesOf(buildPagesPDF(1, "[0 0 612 792]", "1 1 1 rg 0 0 1 1 re f")); }

// Every page of `pdf` flattened into an image-only page, as a scanner would
// deliver it.
std::vector<RasterPDFPage> flattenedPages(const std::vector<std::uint8_t>& pdf, std::int64_t dpi, double quality) {
  const InspectedPDF inspected = PDFInspector().inspect(pdf);
  return PDFOperations(SecureFileReader(-1), ExclusiveOutputWriter(-1)).rasterPDFPages(inspected, dpi, quality, false);
}

std::vector<std::uint8_t> scanOf(const std::vector<RasterPDFPage>& pages) {
  return NarrowRasterPDFAssembler().assemble(pages);
}

RecognizedTextObservation observation(std::string text, NormalizedBox box = {0.1, 0.5, 0.3, 0.02}) {
  RecognizedTextObservation result;
  result.candidates.push_back(std::move(text));
  result.boundingBox = box;
  return result;
}

std::vector<std::string> textsOf(const std::vector<OCRLine>& lines) {
  std::vector<std::string> texts;
  for (const OCRLine& line : lines) texts.push_back(line.text);
  return texts;
}

// Standard output of `command` (a shell command line) and its exit status.
std::pair<std::string, int> run(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {"", -1};
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
  const int status = ::pclose(pipe);
  return {output, WEXITSTATUS(status)};
}

// pdftotext's words of one page (or all), separated by single spaces.
std::string wordsOf(const std::string& pdfPath, int page = 0) {
  const std::string range = page > 0 ? " -f " + std::to_string(page) + " -l " + std::to_string(page) : "";
  const auto [text, status] = run("pdftotext" + range + " '" + pdfPath + "' - 2>/dev/null");
  EXPECT_EQ(status, 0);
  std::string words;
  std::string word;
  for (char c : text + " ") {
    if (std::isspace(static_cast<unsigned char>(c))) {
      if (!word.empty()) words += (words.empty() ? "" : " ") + word;
      word.clear();
    } else {
      word += c;
    }
  }
  return words;
}

const std::string outputName = "output-0123456789abcdef0123456789abcdef.pdf";
const std::string outputPath = "/dev/fd/4/" + outputName;

class FlattenedPDF : public ::testing::Test {
 protected:
  void SetUp() override {
    ::chmod(output_.path().c_str(), 0700);
    outputDirectory_ = openOrThrow(output_.path().string(), O_RDONLY | O_DIRECTORY);
  }

  // `bytes` as a source file opened on a descriptor of its own, named the way
  // the parent names inherited sources.
  std::string source(const std::vector<std::uint8_t>& bytes) {
    const std::string path = sources_ / ("source-" + std::to_string(opened_.size()) + ".pdf");
    {
      const UniqueFd file = openOrThrow(path, O_WRONLY | O_CREAT | O_EXCL, 0600);
      if (::write(file.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        throw std::runtime_error("short write");
      }
    }
    const UniqueFd readable = openOrThrow(path, O_RDONLY);
    UniqueFd moved(::fcntl(readable.get(), F_DUPFD_CLOEXEC, 700));
    if (!moved) throw std::runtime_error("cannot duplicate source");
    const std::string name = "/dev/fd/" + std::to_string(moved.get());
    opened_.push_back(std::move(moved));
    return name;
  }

  PDFOperations operations() const {
    return PDFOperations(SecureFileReader(-1), ExclusiveOutputWriter(outputDirectory_.get()));
  }
  std::set<std::string> entries() const { return entriesOf(output_.path().string()); }
  std::string writtenPath() const { return output_ / outputName; }
  std::vector<std::uint8_t> written() const { return bytesOf(testing_support::readFile(writtenPath())); }

  TemporaryDirectory output_;
  TemporaryDirectory sources_;
  UniqueFd outputDirectory_;
  std::vector<UniqueFd> opened_;
};

// ---------------------------------------------------------------------------
// From recogniser observations to lines

TEST(OCRLines, TextIsPrintableASCIIWithWhiteSpaceCollapsed) {
  EXPECT_EQ(PDFOperations::asciiOCRText("caf\xc3\xa9"), "caf  ");
  EXPECT_EQ(PDFOperations::asciiOCRText("a\tb\nc~\x7f"), "a b c~ ");
  const std::vector<OCRLine> lines = PDFOperations::ocrLines(
      {observation("caf\xc3\xa9"), observation("  Hello   world\t"), observation(" \t\n"), observation("\xe2\x82\xac")});
  EXPECT_EQ(textsOf(lines), (std::vector<std::string>{"caf", "Hello world"}));
  EXPECT_DOUBLE_EQ(lines[0].boundingBox.x, 0.1);
  EXPECT_DOUBLE_EQ(lines[0].boundingBox.height, 0.02);
}

TEST(OCRLines, ObservationsWithoutCandidateAreSkipped) {
  RecognizedTextObservation empty;
  empty.boundingBox = {0.1, 0.9, 0.2, 0.02};
  EXPECT_EQ(textsOf(PDFOperations::ocrLines({empty, observation("kept")})), (std::vector<std::string>{"kept"}));
}

TEST(OCRLines, LongLinesAreCutTo2048Characters) {
  const std::vector<OCRLine> lines = PDFOperations::ocrLines({observation(std::string(3000, 'x'))});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, std::string(2048, 'x'));
}

TEST(OCRLines, ReadingOrderIsTopToBottomThenLeftToRight) {
  // Tops: right word 0.705, left word 0.700 (one row), heading 0.72, footer 0.2.
  const std::vector<OCRLine> lines = PDFOperations::ocrLines({
      observation("right", {0.6, 0.685, 0.2, 0.02}),
      observation("footer", {0.1, 0.18, 0.2, 0.02}),
      observation("left", {0.1, 0.68, 0.2, 0.02}),
      observation("heading", {0.5, 0.70, 0.2, 0.02}),
  });
  EXPECT_EQ(textsOf(lines), (std::vector<std::string>{"heading", "left", "right", "footer"}));
}

TEST(OCRLines, PerPageLimits) {
  std::vector<RecognizedTextObservation> many(4097, observation("a"));
  EXPECT_EQ(faultOf([&] { PDFOperations::ocrLines(many); }),
            HelperFault(HelperErrorCode::resourceLimit, "The OCR result exceeds the line limit."));
  many.pop_back();
  EXPECT_EQ(PDFOperations::ocrLines(many).size(), 4096u);

  // 512 lines of 2048 bytes are exactly the page's text limit; one byte more is not.
  std::vector<RecognizedTextObservation> full(512, observation(std::string(2048, 'w')));
  EXPECT_EQ(PDFOperations::ocrLines(full).size(), 512u);
  full.push_back(observation("w"));
  EXPECT_EQ(faultOf([&] { PDFOperations::ocrLines(full); }),
            HelperFault(HelperErrorCode::resourceLimit, "The OCR result exceeds the text limit."));
}

// ---------------------------------------------------------------------------
// The recogniser itself

TEST(TextRecognizerRequest, OnlyEnglishWithoutAutomaticDetectionIsServed) {
  const std::vector<std::uint8_t> white(64 * 64 * 3, 255);
  const PDFRasterImage image{64, 64, 3, 64 * 3, white};
  TextRecognitionRequest request;
  request.recognitionLanguages = {"fr-FR"};
  EXPECT_FALSE(TextRecognizer::perform(request, image));
  request.recognitionLanguages = {"en-US"};
  request.automaticallyDetectsLanguage = true;
  EXPECT_FALSE(TextRecognizer::perform(request, image));
  request.automaticallyDetectsLanguage = false;
  const PDFRasterImage truncated{64, 64, 3, 64 * 3, std::span(white).first(100)};
  EXPECT_FALSE(TextRecognizer::perform(request, truncated));
  const auto blank = TextRecognizer::perform(request, image);
  ASSERT_TRUE(blank);
  EXPECT_TRUE(blank->empty());
}

// ---------------------------------------------------------------------------
// ocr-pdf-english

TEST_F(FlattenedPDF, OCRFindsTheWordsOfAScannedPageInReadingOrder) {
  // Three scanned pages, text only on the second.
  const std::vector<RasterPDFPage> blank = flattenedPages(blankPDF(), 72, 0.8);
  const std::vector<RasterPDFPage> text = flattenedPages(englishTextPDF(), 144, 0.9);
  const std::vector<std::uint8_t> scan = scanOf({blank[0], text[0], blank[0]});
  ASSERT_FALSE(PDFInspector().inspect(scan).probe.hasText);
  const std::string sourcePath = source(scan);

  StandardErrorCapture standardError;
  const PDFOperationResult result = operations().ocrImageOnlyPDFEnglish(sourcePath, outputPath);
  EXPECT_EQ(standardError.finish(), "") << "tesseract and leptonica stay silent";

  ASSERT_EQ(result.outputs.size(), 1u);
  const std::vector<std::uint8_t> bytes = written();
  EXPECT_EQ(result.outputs[0].byteLength, static_cast<std::int64_t>(bytes.size()));
  EXPECT_EQ(result.outputs[0].sha256, DescriptorDigest::sha256(bytes));
  const InspectedPDF pdf = PDFInspector().inspect(bytes);
  EXPECT_EQ(pdf.probe.pages, (std::vector<PDFPageGeometry>(3, {612, 792, 0})));
  EXPECT_TRUE(pdf.probe.hasText);

  EXPECT_EQ(wordsOf(writtenPath(), 1), "");
  EXPECT_EQ(wordsOf(writtenPath(), 2),
            "The quick brown fox jumps over the lazy dog. Invoice Total Please keep this letter for your records.");
  EXPECT_EQ(wordsOf(writtenPath(), 3), "");
}

TEST_F(FlattenedPDF, OCROfABlankScanFindsNothingAndWritesNothing) {
  const std::string sourcePath = source(scanOf(flattenedPages(blankPDF(), 72, 0.8)));
  EXPECT_EQ(faultOf([&] { operations().ocrImageOnlyPDFEnglish(sourcePath, outputPath); }),
            HelperFault(HelperErrorCode::unsupportedSource, "No English text was recognized in the image-only PDF."));
  EXPECT_TRUE(entries().empty());
}

TEST_F(FlattenedPDF, OCRRefusesAPDFWithTextBeforeLookingAtTheOutput) {
  const std::string sourcePath = source(englishTextPDF());
  // Even an output path that is no staged name: the text layer decides first,
  // and nothing is rendered.
  EXPECT_EQ(faultOf([&] { operations().ocrImageOnlyPDFEnglish(sourcePath, "/dev/fd/4/not-staged.pdf"); }),
            HelperFault(HelperErrorCode::unsupportedSource, "OCR accepts only PDFs without an existing text layer."));
  const std::string blankPath = source(scanOf(flattenedPages(blankPDF(), 72, 0.8)));
  EXPECT_EQ(faultOf([&] { operations().ocrImageOnlyPDFEnglish(blankPath, "/dev/fd/4/output-x.png"); }),
            HelperFault(HelperErrorCode::invalidRequest, "The staged PDF output path is invalid."));
  EXPECT_TRUE(entries().empty());
}

// ---------------------------------------------------------------------------
// compress-pdf-flattened

TEST_F(FlattenedPDF, CompressionOptionsAreCheckedBeforeTheSourceIsRead) {
  const HelperFault invalid(HelperErrorCode::invalidRequest, "The flattened PDF compression options are invalid.");
  const std::string missing = "/dev/fd/999";
  for (const PDFCompressionOptions options :
       {PDFCompressionOptions{201, 0.6}, PDFCompressionOptions{35, 0.6}, PDFCompressionOptions{144, 0.9},
        PDFCompressionOptions{144, 0.34}, PDFCompressionOptions{144, std::numeric_limits<double>::quiet_NaN()}}) {
    EXPECT_EQ(faultOf([&] { operations().compressPDFFlattened(missing, outputPath, options); }), invalid)
        << options.dpi << " " << options.jpegQuality;
  }
  // The lowest accepted options get as far as reading the (missing) source.
  EXPECT_NE(faultOf([&] { operations().compressPDFFlattened(missing, outputPath, {36, 0.35}); }).code(),
            HelperErrorCode::invalidRequest);
}

TEST_F(FlattenedPDF, ASmallTextPDFDoesNotGetSmaller) {
  const std::string sourcePath = source(englishTextPDF());
  EXPECT_EQ(faultOf([&] { operations().compressPDFFlattened(sourcePath, outputPath, {72, 0.5}); }),
            HelperFault(HelperErrorCode::unsupportedSource, "Flattening did not produce a smaller PDF."));
  EXPECT_TRUE(entries().empty());
}

TEST_F(FlattenedPDF, OCRReadsAScanStoredSidewaysThatItsPageTurnsUpright) {
  // A scanner that stored the page sideways and recorded a quarter turn: the
  // image lies on its side (the text page turned a quarter counterclockwise),
  // and the page's /Rotate 90 shows it upright.
  TemporaryDirectory work;
  const std::string text = (work / "text.pdf");
  const std::string turned = (work / "turned.pdf");
  const std::string sideways = (work / "sideways.pdf");
  const std::string scan = (work / "scan.pdf");
  {
    const std::vector<std::uint8_t> bytes = englishTextPDF();
    std::FILE* file = std::fopen(text.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    std::fclose(file);
  }
  ASSERT_EQ(run("qpdf --rotate=270 '" + text + "' '" + turned + "'").second, 0);
  const std::vector<RasterPDFPage> lying =
      flattenedPages(bytesOf(testing_support::readFile(turned)), 144, 0.9);
  ASSERT_EQ(lying.size(), 1u);
  ASSERT_GT(lying[0].pixelWidth, lying[0].pixelHeight);
  {
    const std::vector<std::uint8_t> bytes = scanOf(lying);
    std::FILE* file = std::fopen(sideways.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    std::fclose(file);
  }
  ASSERT_EQ(run("qpdf --rotate=+90 '" + sideways + "' '" + scan + "'").second, 0);
  const std::vector<std::uint8_t> scanBytes = bytesOf(testing_support::readFile(scan));
  EXPECT_EQ(PDFInspector().inspect(scanBytes).probe.pages, (std::vector<PDFPageGeometry>{{792, 612, 90}}));

  (void)operations().ocrImageOnlyPDFEnglish(source(scanBytes), outputPath);
  EXPECT_EQ(PDFInspector().inspect(written()).probe.pages.size(), 1u);
  EXPECT_EQ(wordsOf(writtenPath(), 1),
            "The quick brown fox jumps over the lazy dog. Invoice Total Please keep this letter for your records.");
}

TEST_F(FlattenedPDF, AScannedPDFGetsSmallerAndStaysImageOnly) {
  const std::vector<RasterPDFPage> page = flattenedPages(englishTextPDF(), 200, 0.95);
  const std::vector<std::uint8_t> scan = scanOf({page[0], page[0]});
  const std::string sourcePath = source(scan);

  const PDFOperationResult result = operations().compressPDFFlattened(sourcePath, outputPath, {72, 0.5});
  ASSERT_EQ(result.outputs.size(), 1u);
  const std::vector<std::uint8_t> bytes = written();
  EXPECT_LT(bytes.size(), scan.size());
  EXPECT_EQ(result.outputs[0].byteLength, static_cast<std::int64_t>(bytes.size()));
  const InspectedPDF pdf = PDFInspector().inspect(bytes);
  EXPECT_EQ(pdf.probe.pages, (std::vector<PDFPageGeometry>(2, {612, 792, 0})));
  EXPECT_FALSE(pdf.probe.hasText);
  // The pages still show the text: the middle of the first line is dark.
  const std::optional<PDFBitmap> drawn = pdf.coreGraphicsDocument.page(2)->drawIntoBitmap(1.0, 612, 792);
  ASSERT_TRUE(drawn);
  std::size_t dark = 0;
  for (std::int64_t y = 792 - 712; y < 792 - 688; ++y) {
    for (std::int64_t x = 72; x < 340; ++x) dark += drawn->rgb[static_cast<std::size_t>((y * 612 + x) * 3)] < 100;
  }
  EXPECT_GT(dark, 500u);
}

// ---------------------------------------------------------------------------
// merge, split and rotate

std::string stagedPath(int n) {
  char name[64];
  std::snprintf(name, sizeof name, "/dev/fd/4/output-%032x.pdf", n);
  return name;
}

TEST_F(FlattenedPDF, MergeCopiesPlainPagesWithTheirText) {
  const std::string first = source(readFixture("text-pages.pdf"));
  const std::string second = source(bytesOf(buildPagesPDF(2, "[0 0 300 400]")));
  const PDFOperationResult result = operations().mergePDFs({first, second}, outputPath);
  ASSERT_EQ(result.outputs.size(), 1u);
  EXPECT_EQ(result.outputs[0].index, 0);
  const InspectedPDF pdf = PDFInspector().inspect(written());
  EXPECT_EQ(pdf.probe.pages, (std::vector<PDFPageGeometry>{
                                 {612, 792, 0}, {612, 792, 0}, {612, 792, 0}, {300, 400, 0}, {300, 400, 0}}));
  EXPECT_TRUE(pdf.probe.hasText);
  EXPECT_EQ(wordsOf(writtenPath()), "Plain text page 1 Plain text page 2 Plain text page 3");
}

TEST_F(FlattenedPDF, MergeFlattensEveryPageWhenOneSourceHasAnOutline) {
  const std::string first = source(readFixture("text-pages.pdf"));
  const std::string second = source(readFixture("outlines.pdf"));
  operations().mergePDFs({first, second}, outputPath);
  const InspectedPDF pdf = PDFInspector().inspect(written());
  EXPECT_EQ(pdf.probe.pages, (std::vector<PDFPageGeometry>(4, {612, 792, 0})));
  EXPECT_FALSE(pdf.probe.hasText);
  EXPECT_FALSE(pdf.probe.hasOutlines);
}

TEST_F(FlattenedPDF, MergeRefusesBadSourceListsBeforeWriting) {
  const std::string one = source(readFixture("text-pages.pdf"));
  EXPECT_EQ(faultOf([&] { operations().mergePDFs({one}, outputPath); }),
            HelperFault(HelperErrorCode::resourceLimit, "The PDF merge source count is outside the allowed range."));
  // 65 sources fail before any is read (these paths name no descriptor).
  std::vector<std::string> many;
  for (int i = 0; i < 65; ++i) many.push_back("/dev/fd/" + std::to_string(900 + i));
  EXPECT_EQ(faultOf([&] { operations().mergePDFs(many, outputPath); }),
            HelperFault(HelperErrorCode::resourceLimit, "The PDF merge source count is outside the allowed range."));
  EXPECT_EQ(faultOf([&] { operations().mergePDFs({one, one}, outputPath); }),
            HelperFault(HelperErrorCode::invalidRequest, "The PDF source paths must be distinct."));
  const std::string big1 = source(bytesOf(buildPagesPDF(600)));
  const std::string big2 = source(bytesOf(buildPagesPDF(600)));
  EXPECT_EQ(faultOf([&] { operations().mergePDFs({big1, big2}, outputPath); }),
            HelperFault(HelperErrorCode::resourceLimit, "The PDF merge inputs exceed the aggregate limit."));
  EXPECT_TRUE(entries().empty());
}

TEST_F(FlattenedPDF, SplitKeepsEachPageAndItsRotation) {
  const std::string rotated = source(readFixture("rotations.pdf"));
  EXPECT_EQ(faultOf([&] { operations().splitPDF(rotated, {stagedPath(1), stagedPath(2)}); }),
            HelperFault(HelperErrorCode::invalidRequest, "The split output inventory does not match the page count."));
  std::vector<std::string> paths;
  for (int i = 1; i <= 6; ++i) paths.push_back(stagedPath(i));
  const PDFOperationResult result = operations().splitPDF(rotated, paths);
  ASSERT_EQ(result.outputs.size(), 6u);
  const std::vector<PDFPageGeometry> expected{{612, 792, 90}, {612, 792, 180}, {612, 792, 270},
                                              {612, 792, 270}, {612, 792, 270}, {300, 400, 90}};
  for (std::size_t i = 0; i < paths.size(); ++i) {
    EXPECT_EQ(result.outputs[i].index, static_cast<std::int64_t>(i));
    const InspectedPDF page = PDFInspector().inspect(bytesOf(testing_support::readFile(output_ / paths[i].substr(10))));
    EXPECT_EQ(page.probe.pages, (std::vector<PDFPageGeometry>{expected[i]}));
  }
}

TEST_F(FlattenedPDF, MergeAndSplitKeepARotationWrittenAsAReal) {
  // /Rotate 90.0: the copies must carry the quarter turn the inspection sees.
  const std::string turned = source(readFixture("rotation-real.pdf"));
  const std::string text = source(readFixture("text-pages.pdf"));
  operations().mergePDFs({turned, text}, outputPath);
  EXPECT_EQ(PDFInspector().inspect(written()).probe.pages,
            (std::vector<PDFPageGeometry>{{612, 792, 90}, {612, 792, 0}, {612, 792, 0}, {612, 792, 0}}));
  operations().splitPDF(turned, {stagedPath(1)});
  EXPECT_EQ(PDFInspector().inspect(bytesOf(testing_support::readFile(output_ / stagedPath(1).substr(10)))).probe.pages,
            (std::vector<PDFPageGeometry>{{612, 792, 90}}));
}

TEST_F(FlattenedPDF, RotateTurnsEveryPageAQuarterClockwise) {
  const std::string rotated = source(readFixture("rotations.pdf"));
  operations().rotatePDFClockwise(rotated, outputPath);
  EXPECT_EQ(PDFInspector().inspect(written()).probe.pages,
            (std::vector<PDFPageGeometry>{{612, 792, 180}, {612, 792, 270}, {612, 792, 0},
                                          {612, 792, 0}, {612, 792, 0}, {300, 400, 180}}));
}

TEST_F(FlattenedPDF, RotateFlattensAFormIntoUprightPagesTurnedOnce) {
  const std::string form = source(readFixture("acroform.pdf"));
  operations().rotatePDFClockwise(form, outputPath);
  const InspectedPDF pdf = PDFInspector().inspect(written());
  EXPECT_EQ(pdf.probe.pages, (std::vector<PDFPageGeometry>{{612, 792, 90}}));
  EXPECT_FALSE(pdf.probe.hasForms);
  EXPECT_FALSE(pdf.probe.hasText);
}

}  // namespace
}  // namespace quorvantelmic

// libgomp reads its thread limit only when it loads, so the tests re-execute
// themselves once with OMP_THREAD_LIMIT=1, as the helper does; OCR is several
// times slower without it.
int main(int argc, char** argv) {
  quorvantelmic::ensureSingleThreadedLibraryRuntime(argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
