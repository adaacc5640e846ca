#include "helper_core/pdf/narrow_raster_pdf_assembler.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "helper_core/pdf/pdf_probing.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "tests/pdf/pdf_test_support.hpp"

namespace quorvantelmic {
namespace {

using Bytes = std::vector<std::uint8_t>;
using pdf_testing::decodedPixels;

std::string asText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::size_t occurrences(const std::string& haystack, const std::string& needle) {
  std::size_t count = 0;
  for (std::size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++count;
  return count;
}

RasterPDFPage page(double width, double height, Bytes jpeg = Bytes(1000, 0xAB)) {
  RasterPDFPage result;
  result.jpegData = std::move(jpeg);
  result.pixelWidth = 1700;
  result.pixelHeight = 2200;
  result.widthPoints = width;
  result.heightPoints = height;
  return result;
}

Bytes fixtureJPEG(const std::string& name = "page-64x48.jpg") {
  std::ifstream file(QUORVANTELMIC_SOURCE_DIR "/tests/fixtures/pdf_writer/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Runs a command line with the PDF written to a temporary file and returns its
// standard output and exit status.
std::pair<std::string, int> runTool(const std::string& command, const Bytes& pdf) {
  char path[] = "/tmp/qv-assembler-XXXXXX";
  const int descriptor = ::mkstemp(path);
  EXPECT_GE(descriptor, 0);
  EXPECT_EQ(::write(descriptor, pdf.data(), pdf.size()), static_cast<ssize_t>(pdf.size()));
  ::close(descriptor);
  std::string output;
  FILE* pipe = ::popen((command + " '" + path + "' 2>&1").c_str(), "r");
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
  const int status = ::pclose(pipe);
  ::unlink(path);
  return {output, WEXITSTATUS(status)};
}

const NarrowRasterPDFAssembler assembler;

TEST(PDFNumber, RoundsToThreeDecimalsWithoutTrailingZeros) {
  EXPECT_EQ(NarrowRasterPDFAssembler::pdfNumber(612.0), "612");
  EXPECT_EQ(NarrowRasterPDFAssembler::pdfNumber(-0.0), "0");
  EXPECT_EQ(NarrowRasterPDFAssembler::pdfNumber(0.0004), "0");
  EXPECT_EQ(NarrowRasterPDFAssembler::pdfNumber(-0.0004), "0");
  EXPECT_EQ(NarrowRasterPDFAssembler::pdfNumber(612.5), "612.5");
  EXPECT_EQ(NarrowRasterPDFAssembler::pdfNumber(595.2756), "595.276");
  EXPECT_EQ(NarrowRasterPDFAssembler::pdfNumber(0.25), "0.25");
  EXPECT_EQ(NarrowRasterPDFAssembler::pdfNumber(-3.1), "-3.1");
  EXPECT_EQ(NarrowRasterPDFAssembler::pdfNumber(0.0005), "0.001");  // half away from zero
  EXPECT_EQ(NarrowRasterPDFAssembler::pdfNumber(-2.0005), "-2.001");
  EXPECT_EQ(NarrowRasterPDFAssembler::pdfNumber(999.9996), "1000");
  EXPECT_EQ(NarrowRasterPDFAssembler::pdfNumber(std::nan("")), "0");
}

TEST(StreamObject, WritesTheLengthAndBytesUnchanged) {
  EXPECT_EQ(asText(NarrowRasterPDFAssembler::streamObject("", Bytes{'a', '\n', 'b'})),
            "<<  /Length 3 >>\nstream\na\nb\nendstream");
  EXPECT_EQ(asText(NarrowRasterPDFAssembler::streamObject("/K 1", Bytes{})), "<< /K 1 /Length 0 >>\nstream\n\nendstream");
}

TEST(NarrowRasterPDFAssembler, OnePageHasTheExactLayout) {
  const std::string pdf = asText(assembler.assemble({page(612, 792)}));
  const std::string header = "%PDF-1.7\n%\xC3\xA2\xC3\xA3\xC3\x8F\xC3\x93\n";
  ASSERT_EQ(pdf.substr(0, 19), header);
  const std::string image = "5 0 obj\n<< /Type /XObject /Subtype /Image /Width 1700 /Height 2200 /ColorSpace /DeviceRGB "
                            "/BitsPerComponent 8 /Filter /DCTDecode /Length 1000 >>\nstream\n" +
                            std::string(1000, '\xAB') + "\nendstream\nendobj\n";
  const std::string body =
      header + "1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n" +
      "2 0 obj\n<< /Type /Pages /Count 1 /Kids [4 0 R] >>\nendobj\n" +
      "3 0 obj\n<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>\nendobj\n" +
      "4 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /XObject << /Im0 5 0 R >> "
      "/Font << /F0 3 0 R >> >> /Contents 6 0 R >>\nendobj\n" +
      image + "6 0 obj\n<<  /Length 31 >>\nstream\nq\n612 0 0 792 0 0 cm\n/Im0 Do\nQ\n\nendstream\nendobj\n";
  ASSERT_EQ(pdf.substr(0, body.size()), body);

  std::string xref = "xref\n0 7\n0000000000 65535 f \n";
  for (const char* marker : {"1 0 obj", "2 0 obj", "3 0 obj", "4 0 obj", "5 0 obj", "6 0 obj"}) {
    char entry[32];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", pdf.find(marker));
    xref += entry;
  }
  EXPECT_EQ(pdf.substr(body.size()), xref + "trailer\n<< /Size 7 /Root 1 0 R >>\nstartxref\n" +
                                         std::to_string(body.size()) + "\n%%EOF");
  EXPECT_NE(xref.find("\n0000000019 00000 n \n"), std::string::npos);
}

TEST(NarrowRasterPDFAssembler, NumbersObjectsThreePerPage) {
  const std::string pdf = asText(assembler.assemble({page(612, 792), page(595.2756, 841.89), page(100.5, 100)}));
  EXPECT_NE(pdf.find("/Count 3 /Kids [4 0 R 7 0 R 10 0 R]"), std::string::npos);
  EXPECT_NE(pdf.find("trailer\n<< /Size 13 /Root 1 0 R >>"), std::string::npos);
  EXPECT_NE(pdf.find("7 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595.276 841.89] /Resources << /XObject "
                     "<< /Im0 8 0 R >> /Font << /F0 3 0 R >> >> /Contents 9 0 R >>"),
            std::string::npos);
  EXPECT_EQ(occurrences(pdf, "%%EOF"), 1u);
  EXPECT_EQ(occurrences(pdf, "startxref"), 1u);
  EXPECT_EQ(occurrences(pdf, "/Rotate"), 0u);
}

TEST(NarrowRasterPDFAssembler, PageCountLimits) {
  const HelperFault invalid(HelperErrorCode::resourceLimit, "The PDF output page count is invalid.");
  try {
    (void)assembler.assemble({});
    FAIL();
  } catch (const HelperFault& fault) {
    EXPECT_EQ(fault, invalid);
  }
  std::vector<RasterPDFPage> pages(1000, page(10, 10, Bytes(10, 1)));
  EXPECT_NE(asText(assembler.assemble(pages)).find("/Size 3004 "), std::string::npos);
  pages.push_back(page(10, 10));
  try {
    (void)assembler.assemble(pages);
    FAIL();
  } catch (const HelperFault& fault) {
    EXPECT_EQ(fault, invalid);
  }
}

TEST(PageContent, PlacesInvisibleTextOverTheImage) {
  RasterPDFPage withText = page(600, 800);
  withText.ocrLines = {{"Hi", {0.1, 0.2, 0.3, 0.05}}, {"", {0, 0, 1, 1}}, {"Low", {-0.2, 0.5, 0.5, 0}}};
  EXPECT_EQ(NarrowRasterPDFAssembler::pageContent(withText),
            "q\n600 0 0 800 0 0 cm\n/Im0 Do\nQ\n"
            "BT\n/F0 32 Tf\n3 Tr\n500 Tz\n1 0 0 1 60 160 Tm\n<4869> Tj\nET\n"
            // Height 0 is raised to 0.001, so the font size takes its floor of
            // 4; the box starting left of the page is placed at its edge.
            "BT\n/F0 4 Tf\n3 Tr\n500 Tz\n1 0 0 1 0 400 Tm\n<4C6F77> Tj\nET\n");

  RasterPDFPage narrow = page(100, 1000);
  narrow.ocrLines = {{std::string(40, 'W'), {0.5, 0.5, 0.01, 0.1}}, {"x", {2, std::nan(""), 5, 0.1}}};
  const std::string content = NarrowRasterPDFAssembler::pageContent(narrow);
  EXPECT_NE(content.find("/F0 80 Tf\n3 Tr\n20 Tz\n1 0 0 1 50 500 Tm"), std::string::npos) << content;
  EXPECT_NE(content.find("1 0 0 1 100 1000 Tm\n<78>"), std::string::npos) << content;
}

TEST(NarrowRasterPDFAssembler, RealToolsReadTheOutputAndItsTextLayer) {
  RasterPDFPage first = page(612, 792, fixtureJPEG());
  first.pixelWidth = 64;
  first.pixelHeight = 48;
  first.ocrLines = {{"Quarterly results", {0.1, 0.8, 0.5, 0.04}}};
  RasterPDFPage second = first;
  second.widthPoints = 300.25;
  second.ocrLines = {{"Second page", {0.1, 0.1, 0.4, 0.05}}};
  const Bytes pdf = assembler.assemble({first, second});

  const auto [check, checkStatus] = runTool("qpdf --check", pdf);
  EXPECT_EQ(checkStatus, 0) << check;
  EXPECT_NE(check.find("No syntax or stream encoding errors found"), std::string::npos) << check;
  const auto [extracted, textStatus] = runTool("sh -c 'pdftotext \"$0\" -' ", pdf);
  EXPECT_EQ(textStatus, 0) << extracted;
  EXPECT_NE(extracted.find("Quarterly results"), std::string::npos) << extracted;
  EXPECT_NE(extracted.find("Second page"), std::string::npos) << extracted;
  const auto [images, imagesStatus] = runTool("pdfimages -list", pdf);
  EXPECT_EQ(imagesStatus, 0);
  EXPECT_EQ(occurrences(images, " jpeg "), 2u) << images;
}

TEST(NarrowRasterPDFAssembler, AJpegThatReadsAsStructureIsCodedAnewOrElseHexEncoded) {
  // One JPEG's comment holds "/EF /3D %%EOF startxref"; another's quantisation
  // tables start with "/EF ". Embedded as they are, the output would show
  // attachments, actions and a second revision. Coding the first anew drops
  // its comment; the second keeps its tables when coded anew, so it is
  // hex-encoded.
  const Bytes commentRuns = fixtureJPEG("page-with-structure-runs.jpg");
  const Bytes tableRuns = fixtureJPEG("page-with-structure-in-tables.jpg");
  RasterPDFPage recoded = page(64, 48, commentRuns);
  recoded.pixelWidth = 64;
  recoded.pixelHeight = 48;
  RasterPDFPage hexEncoded = recoded;
  hexEncoded.jpegData = tableRuns;
  RasterPDFPage plain = recoded;
  plain.jpegData = fixtureJPEG();
  const Bytes pdf = assembler.assemble({recoded, hexEncoded, plain});
  const std::string text = asText(pdf);
  EXPECT_EQ(occurrences(text, "/Filter [/ASCIIHexDecode /DCTDecode]"), 1u);
  EXPECT_EQ(occurrences(text, "/Filter /DCTDecode"), 2u);
  EXPECT_EQ(occurrences(text, "/EF"), 0u);

  const InspectedPDF inspected = PDFInspector().inspect(pdf);
  EXPECT_FALSE(inspected.probe.hasAttachments);
  EXPECT_FALSE(inspected.probe.hasJavaScriptOrActions);
  EXPECT_EQ(inspected.probe.pages, (std::vector<PDFPageGeometry>(3, {64, 48, 0})));
  const auto [check, checkStatus] = runTool("qpdf --check", pdf);
  EXPECT_EQ(checkStatus, 0) << check;
  // poppler reads the hex-encoded page back to the very JPEG that went in,
  // and the page coded anew to other bytes of exactly the same pixels.
  char directory[] = "/tmp/qv-assembler-images-XXXXXX";
  ASSERT_NE(::mkdtemp(directory), nullptr);
  const auto [extracted, extractStatus] =
      runTool("sh -c 'pdfimages -j -f 1 -l 2 \"$0\" " + std::string(directory) + "/page' ", pdf);
  EXPECT_EQ(extractStatus, 0) << extracted;
  const auto read = [&](const char* name) {
    std::ifstream file(std::string(directory) + "/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  };
  const Bytes firstPage = read("page-000.jpg");
  EXPECT_NE(firstPage, commentRuns);
  EXPECT_FALSE(readsAsPDFStructure(firstPage));
  const Bytes sourcePixels = decodedPixels(commentRuns);
  ASSERT_EQ(sourcePixels.size(), 64u * 48u * 3u);
  EXPECT_EQ(decodedPixels(firstPage), sourcePixels);
  EXPECT_EQ(read("page-001.jpg"), tableRuns);
  std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace quorvantelmic
