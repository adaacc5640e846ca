#include "helper_core/pdf/pdf_operations.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "helper_core/pdf/platform/pdf_context.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "tests/file_access/file_test_support.hpp"
#include "tests/pdf/pdf_test_support.hpp"

namespace quorvantelmic {
namespace {

using namespace pdf_testing;
using testing_support::entriesOf;
using testing_support::openOrThrow;
using testing_support::TemporaryDirectory;

std::string staged(char digit, const std::string& extension) {
  return "output-" + std::string(32, digit) + "." + extension;
}

std::string inherited(char digit, const std::string& extension) { return "/dev/fd/4/" + staged(digit, extension); }

// One blank page of `width` x `height` points drawn by the image writer.
std::vector<std::uint8_t> imagePDF(double width, double height) {
  const std::vector<std::uint8_t> pixels(4 * 4 * 3, 0x80);
  CGPDFContext context;
  context.beginPage({0, 0, width, height});
  context.drawImage({4, 4, 3, 12, pixels}, {0, 0, width, height});
  context.endPage();
  return *context.close();
}

// A staging-like output directory: private to the user, opened read-only as
// the writer requires of its inherited directory.
class OutputDirectory {
 public:
  OutputDirectory() {
    ::chmod(directory_.path().c_str(), 0700);
    descriptor_ = openOrThrow(directory_.path().string(), O_RDONLY | O_DIRECTORY);
  }
  PDFOperations operations() const { return PDFOperations(SecureFileReader(3), ExclusiveOutputWriter(descriptor_.get())); }
  std::set<std::string> entries() const { return entriesOf(directory_.path().string()); }
  std::string path(const std::string& name) const { return directory_ / name; }

 private:
  TemporaryDirectory directory_;
  UniqueFd descriptor_;
};

// ---------------------------------------------------------------------------
// Output paths

TEST(PDFOutputPaths, MultiOutputInventoriesAreChecked) {
  const std::vector<std::string> png = {inherited('1', "png"), inherited('2', "png"), "/tmp/x/" + staged('3', "png"),
                                        "/tmp/y/" + staged('4', "png") + "/"};
  EXPECT_NO_THROW(PDFOperations::validateOutputPaths(png, StagedOutputExtension::png));

  EXPECT_EQ(faultOf([] { PDFOperations::validateOutputPaths({}, StagedOutputExtension::png); }),
            HelperFault(HelperErrorCode::invalidRequest, "The output inventory is outside the allowed range."));
  std::vector<std::string> tooMany;
  for (int i = 0; i < 1001; ++i) tooMany.push_back("/dev/fd/4/" + std::to_string(i));
  EXPECT_EQ(faultOf([&] { PDFOperations::validateOutputPaths(tooMany, StagedOutputExtension::png); }).message(),
            "The output inventory is outside the allowed range.");
  EXPECT_EQ(faultOf([&] {
              PDFOperations::validateOutputPaths({png[0], png[1], png[0]}, StagedOutputExtension::png);
            }),
            HelperFault(HelperErrorCode::invalidRequest, "The output paths must be distinct."));
  const HelperFault wrong(HelperErrorCode::invalidRequest, "A staged output path has the wrong extension.");
  EXPECT_EQ(faultOf([&] {
              PDFOperations::validateOutputPaths({png[0], inherited('4', "jpg")}, StagedOutputExtension::png);
            }),
            wrong);
  EXPECT_EQ(faultOf([&] {
              PDFOperations::validateOutputPaths({"/dev/fd/4/sub/" + staged('5', "png")}, StagedOutputExtension::png);
            }),
            wrong);
  EXPECT_EQ(faultOf([&] { PDFOperations::validateOutputPaths({"/dev/fd/4/page1.png"}, StagedOutputExtension::png); }),
            wrong);
}

TEST(PDFOutputPaths, SingleOutputsMustBeStagedPDFNames) {
  EXPECT_NO_THROW(PDFOperations::checkStagedPDFOutputPath(inherited('a', "pdf")));
  EXPECT_NO_THROW(PDFOperations::checkStagedPDFOutputPath("/tmp/out/" + staged('b', "pdf")));
  const HelperFault invalid(HelperErrorCode::invalidRequest, "The staged PDF output path is invalid.");
  EXPECT_EQ(faultOf([] { PDFOperations::checkStagedPDFOutputPath(inherited('a', "png")); }), invalid);
  EXPECT_EQ(faultOf([] { PDFOperations::checkStagedPDFOutputPath("/dev/fd/4/report.pdf"); }), invalid);
  EXPECT_EQ(faultOf([] { PDFOperations::checkStagedPDFOutputPath(inherited('A', "pdf")); }), invalid);
}

// ---------------------------------------------------------------------------
// Writing artifacts

TEST(PDFArtifactWriting, WritesEveryOutputAndReportsItsRecord) {
  const OutputDirectory directory;
  const std::vector<std::uint8_t> abc = bytesOf("abc");
  std::vector<std::vector<std::uint8_t>> seen;
  auto keep = [&seen](std::span<const std::uint8_t> readBack) { seen.emplace_back(readBack.begin(), readBack.end()); };
  const std::vector<PDFOutputArtifact> artifacts = {{abc, keep}, {bytesOf("second"), keep}, {bytesOf("3"), keep}};
  const std::vector<std::string> paths = {inherited('c', "png"), inherited('a', "png"), inherited('b', "png")};
  const PDFOperationResult result = directory.operations().writeArtifacts(artifacts, paths);

  ASSERT_EQ(result.outputs.size(), 3u);
  EXPECT_EQ(result.outputs[0], (PDFOutputRecord{0, 3, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"}));
  EXPECT_EQ(result.outputs[1].index, 1);
  EXPECT_EQ(result.outputs[2].index, 2);
  EXPECT_EQ(result.outputs[2].byteLength, 1);
  EXPECT_EQ(seen, (std::vector<std::vector<std::uint8_t>>{abc, bytesOf("second"), bytesOf("3")}));
  EXPECT_EQ(directory.entries(), (std::set<std::string>{staged('a', "png"), staged('b', "png"), staged('c', "png")}));
  EXPECT_EQ(testing_support::readFile(directory.path(staged('a', "png"))), "second");
}

TEST(PDFArtifactWriting, AFailingOutputRemovesTheOnesWrittenBefore) {
  const OutputDirectory directory;
  const HelperFault refusal(HelperErrorCode::encodeFailed, "The PDF output failed structural validation.");
  auto accept = [](std::span<const std::uint8_t>) {};
  auto refuse = [&refusal](std::span<const std::uint8_t>) { throw refusal; };
  const std::vector<PDFOutputArtifact> artifacts = {{bytesOf("one"), accept}, {bytesOf("two"), accept},
                                                    {bytesOf("three"), refuse}};
  const std::vector<std::string> paths = {inherited('1', "pdf"), inherited('2', "pdf"), inherited('3', "pdf")};
  EXPECT_EQ(faultOf([&] { directory.operations().writeArtifacts(artifacts, paths); }), refusal);
  EXPECT_TRUE(directory.entries().empty());

  // A name that is taken fails the second output; the first is undone and the
  // taken name is left as it was.
  testing_support::writeFile(directory.path(staged('5', "pdf")), "somebody else's");
  const std::vector<std::string> clashing = {inherited('4', "pdf"), inherited('5', "pdf")};
  EXPECT_EQ(faultOf([&] {
              directory.operations().writeArtifacts({{bytesOf("one"), accept}, {bytesOf("two"), accept}}, clashing);
            }).code(),
            HelperErrorCode::outputExists);
  EXPECT_EQ(directory.entries(), (std::set<std::string>{staged('5', "pdf")}));
  EXPECT_EQ(testing_support::readFile(directory.path(staged('5', "pdf"))), "somebody else's");
}

TEST(PDFArtifactWriting, InventoryAndAggregateSizeAreCheckedBeforeAnythingIsCreated) {
  const OutputDirectory directory;
  auto accept = [](std::span<const std::uint8_t>) {};
  const HelperFault inventory(HelperErrorCode::invalidRequest, "The output artifact inventory is invalid.");
  EXPECT_EQ(faultOf([&] { directory.operations().writeArtifacts({}, {}); }), inventory);
  EXPECT_EQ(faultOf([&] {
              directory.operations().writeArtifacts({{bytesOf("x"), accept}},
                                                    {inherited('1', "pdf"), inherited('2', "pdf")});
            }),
            inventory);

  const HelperFault aggregate(HelperErrorCode::resourceLimit, "The output artifacts exceed the aggregate byte limit.");
  std::vector<PDFOutputArtifact> withEmpty;
  std::vector<std::string> paths;
  for (char digit : std::string("12345")) {
    withEmpty.push_back({digit == '3' ? std::vector<std::uint8_t>() : bytesOf("data"), accept});
    paths.push_back(inherited(digit, "pdf"));
  }
  EXPECT_EQ(faultOf([&] { directory.operations().writeArtifacts(withEmpty, paths); }), aggregate);
  EXPECT_TRUE(directory.entries().empty());

  // Five outputs of 107374183 bytes total 536870915: three bytes over.
  std::vector<PDFOutputArtifact> large(5, PDFOutputArtifact{std::vector<std::uint8_t>(107374183, 0x25), accept});
  EXPECT_EQ(faultOf([&] { directory.operations().writeArtifacts(large, paths); }), aggregate);
  EXPECT_TRUE(directory.entries().empty());
}

// ---------------------------------------------------------------------------
// PDF output validation

TEST(PDFOutputValidation, ChecksGeometryFeaturesAndText) {
  const PDFOperations operations;
  const std::vector<std::uint8_t> page = imagePDF(612, 792);
  const HelperFault structural(HelperErrorCode::encodeFailed, "The PDF output failed structural validation.");
  EXPECT_NO_THROW(operations.validatePDFOutput(page, {{612.005, 792, 0}}, false, false));
  EXPECT_EQ(faultOf([&] { operations.validatePDFOutput(page, {{612.02, 792, 0}}, false, false); }), structural);
  EXPECT_EQ(faultOf([&] { operations.validatePDFOutput(page, {{612, 792, 90}}, false, false); }), structural);
  EXPECT_EQ(faultOf([&] { operations.validatePDFOutput(page, {{612, 792, 0}, {612, 792, 0}}, false, false); }),
            structural);
  EXPECT_EQ(faultOf([&] { operations.validatePDFOutput(page, {{612, 792, 0}}, true, true); }), structural);

  const std::vector<std::uint8_t> text = readFixture("text-pages.pdf");
  const std::vector<PDFPageGeometry> letter3(3, PDFPageGeometry{612, 792, 0});
  EXPECT_NO_THROW(operations.validatePDFOutput(text, letter3, true, true));
  EXPECT_EQ(faultOf([&] { operations.validatePDFOutput(text, letter3, false, false); }), structural);
  for (const char* fixture : {"acroform.pdf", "link-annotation.pdf", "outlines.pdf", "hidden-structure-tree.pdf"}) {
    EXPECT_EQ(faultOf([&] { operations.validatePDFOutput(readFixture(fixture), {{612, 792, 0}}, false, true); }),
              structural)
        << fixture;
  }
  // The inspection's own faults come through unchanged.
  EXPECT_EQ(faultOf([&] { operations.validatePDFOutput(bytesOf("not a pdf at all"), {{612, 792, 0}}, false, true); }),
            HelperFault(HelperErrorCode::decodeFailed, "The source is not a PDF document."));
}

TEST(PDFOutputValidation, WrittenPDFsAreValidatedFromDiskAndRolledBackTogether) {
  const OutputDirectory directory;
  const std::vector<std::string> paths = {inherited('1', "pdf"), inherited('2', "pdf")};
  const PDFOperationResult written = directory.operations().writePDFOutputs(
      {{imagePDF(200, 300), {{200, 300, 0}}, false, false}, {imagePDF(300, 200), {{300, 200, 0}}, false, false}},
      paths);
  EXPECT_EQ(written.outputs.size(), 2u);
  EXPECT_EQ(written.outputs[1].sha256, outputRecordDigest(imagePDF(300, 200)));
  EXPECT_EQ(directory.entries().size(), 2u);

  // The second output does not have the pages it should: the first goes again.
  const std::vector<std::string> next = {inherited('3', "pdf"), inherited('4', "pdf")};
  EXPECT_EQ(faultOf([&] {
              directory.operations().writePDFOutputs(
                  {{imagePDF(200, 300), {{200, 300, 0}}, false, false},
                   {imagePDF(300, 200), {{300.02, 200, 0}}, false, false}},
                  next);
            }),
            HelperFault(HelperErrorCode::encodeFailed, "The PDF output failed structural validation."));
  EXPECT_EQ(directory.entries(), (std::set<std::string>{staged('1', "pdf"), staged('2', "pdf")}));
}

TEST(PDFOutputValidation, DocumentsSerialiseWithinTheByteLimit) {
  const std::vector<std::uint8_t> bytes = PDFOperations::dataRepresentation(PDFDocument());
  EXPECT_FALSE(bytes.empty());
  EXPECT_EQ(PDFInspector::countMarker(bytes, "startxref"), 1);
}

// ---------------------------------------------------------------------------
// inspect-pdf and the responses

TEST(PDFInspection, ReadsThroughAnInheritedDescriptor) {
  const UniqueFd source = openOrThrow(fixturePath("rotations.pdf"), O_RDONLY);
  const PDFOperations operations(SecureFileReader(source.get()), ExclusiveOutputWriter(4));
  const PDFProbe probe = operations.inspectPDF("/dev/fd/3");
  EXPECT_EQ(probe.pageCount, 6);
  EXPECT_EQ(probe.pages.at(3).rotation, 270);

  // The reader's faults pass through unchanged.
  const TemporaryDirectory scratch;
  testing_support::writeFile(scratch / "writable.pdf", "%PDF-1.7");
  const UniqueFd writable = openOrThrow(scratch / "writable.pdf", O_RDWR);
  const PDFOperations refused(SecureFileReader(writable.get()), ExclusiveOutputWriter(4));
  EXPECT_EQ(faultOf([&] { refused.inspectPDF("/dev/fd/3"); }),
            HelperFault(HelperErrorCode::filesystemPolicy, "The inherited source must be a read-only regular file."));
  EXPECT_EQ(faultOf([&] { operations.inspectPDF("relative.pdf"); }).code(), HelperErrorCode::filesystemPolicy);
}

TEST(PDFInspection, ResponsesCarryOnlyTheirFields) {
  PDFProbe probe;
  probe.family = "pdf";
  probe.pageCount = 1;
  probe.pages = {{612, 792, 90}};
  const HelperResponse inspection = pdfInspection("id-1", probe);
  EXPECT_TRUE(inspection.ok);
  EXPECT_EQ(inspection.operation, HelperOperation::inspectPDF);
  EXPECT_EQ(inspection.pdfProbe, probe);
  EXPECT_FALSE(inspection.outputs || inspection.error || inspection.probe);
  EXPECT_EQ(encodeResponse(inspection),
            "{\"ok\":true,\"operation\":\"inspect-pdf\",\"pdfProbe\":{\"family\":\"pdf\",\"hasAnnotations\":false,"
            "\"hasAttachments\":false,\"hasForms\":false,\"hasJavaScriptOrActions\":false,\"hasOptionalContent\":false,"
            "\"hasOutlines\":false,\"hasSignatures\":false,\"hasTaggedContent\":false,\"hasText\":false,"
            "\"pageCount\":1,\"pages\":[{\"heightPoints\":792.0,\"rotation\":90,\"widthPoints\":612.0}]},"
            "\"protocolVersion\":4,\"requestId\":\"id-1\"}");

  const PDFOperationResult result{{{0, 10, std::string(64, 'a')}, {1, 20, std::string(64, 'b')}}};
  const HelperResponse operation = pdfOperation("id-2", HelperOperation::pdfPagesToPNG, result);
  EXPECT_EQ(operation.operation, HelperOperation::pdfPagesToPNG);
  EXPECT_EQ(operation.outputs, result.outputs);
  EXPECT_FALSE(operation.pdfProbe || operation.error);
}

}  // namespace
}  // namespace quorvantelmic
