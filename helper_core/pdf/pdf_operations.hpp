// The value that carries every PDF operation, and the steps all of them end
// with: checking the output paths a request names, writing finished buffers
// through the exclusive output writer, validating each written file again from
// its bytes on disk, and undoing the outputs already written when a later one
// fails. Also the response constructors of the PDF operations.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "helper_core/file_access/exclusive_output_writer.hpp"
#include "helper_core/file_access/secure_file_reader.hpp"
#include "helper_core/image/jpeg_metadata_removal.hpp"
#include "helper_core/image/raster_types.hpp"
#include "helper_core/pdf/pdf_probing.hpp"
#include "helper_core/pdf/narrow_raster_pdf_assembler.hpp"
#include "helper_core/pdf/pdf_page_renderer.hpp"
#include "helper_core/pdf/platform/text_recognizer.hpp"
#include "helper_core/protocol/helper_operation.hpp"
#include "helper_core/protocol/helper_request.hpp"
#include "helper_core/protocol/helper_response.hpp"
#include "helper_core/protocol/wire_records.hpp"

namespace quorvantelmic {

struct PDFOperationResult {
  std::vector<PDFOutputRecord> outputs;

  friend bool operator==(const PDFOperationResult&, const PDFOperationResult&) = default;
};

// One buffer to write and the check its read-back bytes must pass.
struct PDFOutputArtifact {
  std::vector<std::uint8_t> bytes;
  ExclusiveOutputWriter::Validator validate;
};

// One finished PDF, the pages it must have and whether it must or may have text.
struct PDFOutputDescription {
  std::vector<std::uint8_t> bytes;
  std::vector<PDFPageGeometry> expectedPages;
  bool requiresText = false;
  bool allowsText = false;
};

// One page of an image PDF: an opaque RGB image drawn over the whole page at
// one point per pixel.
struct ImagePDFPage {
  // The page as drawn; none when the page embeds its source's JPEG data.
  std::optional<DecodedImage> image;
  PDFPageGeometry geometry;
  // A JPEG source whose drawing would reproduce its own pixels exactly, without
  // its metadata segments: embedded as it is instead of being recompressed.
  std::optional<StrippedJpeg> jpeg;
  // The ICC profile of that JPEG, its colour space in the PDF; empty for none.
  std::vector<std::uint8_t> jpegProfile;
};

// The SHA-256 of the bytes as 64 lowercase hexadecimal digits, as an output
// record carries it.
std::string outputRecordDigest(std::span<const std::uint8_t> bytes);

class PDFOperations {
 public:
  // The running helper's value: sources through descriptor 3, outputs into the
  // directory on descriptor 4.
  PDFOperations() : reader(3), writer(4) {}
  PDFOperations(SecureFileReader sourceReader, ExclusiveOutputWriter outputWriter)
      : reader(std::move(sourceReader)), writer(outputWriter) {}

  // inspect-pdf: reads the source (at most 536870912 bytes) and returns its
  // probe. Faults of the reader and the inspector pass through unchanged.
  PDFProbe inspectPDF(std::string_view sourcePath) const;

  // For the multi-output operations: 1 to 1000 distinct paths whose leaves are
  // staged output names with `extension`.
  static void validateOutputPaths(const std::vector<std::string>& paths, StagedOutputExtension extension);

  // For the single-output operations: the leaf must be a staged output name
  // with the extension pdf.
  static void checkStagedPDFOutputPath(std::string_view path);

  // Writes every artifact to its path in order; when one fails, the outputs
  // already written are removed again (last first) and its fault is thrown.
  // The counts and the aggregate size are checked before anything is created.
  PDFOperationResult writeArtifacts(const std::vector<PDFOutputArtifact>& artifacts,
                                    const std::vector<std::string>& paths) const;

  // writeArtifacts with the PDF output validation attached to every output.
  PDFOperationResult writePDFOutputs(const std::vector<PDFOutputDescription>& outputs,
                                     const std::vector<std::string>& paths) const;

  // The PDF output validation: a full inspection of `bytes`, the expected page
  // geometry within 0.01 point, no feature flag, and the text presence asked
  // for. Throws the inspection's fault or encode-failed.
  void validatePDFOutput(std::span<const std::uint8_t> bytes, const std::vector<PDFPageGeometry>& expectedPages,
                         bool requiresText, bool allowsText) const;

  // The document's serialised bytes; resource-limit when there are none or
  // more than 536870912.
  static std::vector<std::uint8_t> dataRepresentation(const PDFDocument& document);

  // images-to-pdf: 1 to 500 distinct still images, one page each in the order
  // given, upright and flattened onto white. The sources are read, checked
  // and drawn one at a time; the limits on bytes and pixels stop a request
  // before later sources are read. Nothing is written unless the finished
  // PDF passes the output validation.
  PDFOperationResult imagesToPDF(const std::vector<std::string>& sourcePaths, std::string_view outputPath) const;

  // `image` redrawn over opaque white, 8-bit RGB without alpha (the fourth
  // byte of each pixel is padding), at the same pixel size.
  static DecodedImage renderPDFPageImage(const DecodedImage& image);

  // A PDF with one page per entry, each image filling its page. The writer
  // screens every compressed image stream for bytes that read as feature
  // names, so the file passes the structural validation.
  static std::vector<std::uint8_t> createImagePDF(const std::vector<ImagePDFPage>& pages);

  // pdf-pages-to-png and pdf-pages-to-jpeg: one output path per page of the
  // source, in page order. Every page is rendered, encoded and proved before
  // the first file is written; then all files are written or none remain.
  // PNG refuses a JPEG quality, JPEG requires one (both invalid-request,
  // before the source is read).
  PDFOperationResult renderPDFPagesToPNG(std::string_view sourcePath, const std::vector<std::string>& outputPaths,
                                         const PDFRenderOptions& options) const;
  PDFOperationResult renderPDFPagesToJPEG(std::string_view sourcePath, const std::vector<std::string>& outputPaths,
                                          const PDFRenderOptions& options) const;
  PDFOperationResult renderPDFPages(std::string_view sourcePath, const std::vector<std::string>& outputPaths,
                                    const PDFRenderOptions& options, const PDFRasterTarget& target) const;

  // Every page of `inspected` rendered at `dpi`, encoded as JPEG at
  // `jpegQuality` and, with `includeOCR`, its English text recognised from the
  // rendered bitmap; in page order. One bitmap exists at a time.
  std::vector<RasterPDFPage> rasterPDFPages(const InspectedPDF& inspected, std::int64_t dpi, double jpegQuality,
                                            bool includeOCR) const;

  // The English lines of a rendered page in reading order (top to bottom,
  // then left to right), each printable ASCII on one line.
  static std::vector<OCRLine> recognizeEnglishText(const DecodedImage& image);

  // The recogniser's observations of one page turned into lines: ASCII only,
  // white space collapsed, at most 2048 characters each, empty lines dropped,
  // within the per-page line and text limits, sorted into reading order.
  static std::vector<OCRLine> ocrLines(const std::vector<RecognizedTextObservation>& observations);

  // `text` with every byte outside 0x20 to 0x7E replaced by a space.
  static std::string asciiOCRText(std::string_view text);

  // compress-pdf-flattened: every page as one JPEG at the options' resolution
  // and quality, rebuilt as an image-only PDF that is written only when it is
  // smaller than the source.
  PDFOperationResult compressPDFFlattened(std::string_view sourcePath, std::string_view outputPath,
                                          const PDFCompressionOptions& options) const;

  // ocr-pdf-english: a PDF without a text layer flattened at 144 DPI and
  // given an invisible layer of the English text recognised on its pages.
  PDFOperationResult ocrImageOnlyPDFEnglish(std::string_view sourcePath, std::string_view outputPath) const;

  // merge-pdfs: 2 to 64 distinct PDFs into one, pages in source order. All
  // sources are read and inspected before anything is built; pages are copied
  // unless any source has an interactive or structural feature, in which case
  // every page is flattened (144 DPI, quality 0.92).
  PDFOperationResult mergePDFs(const std::vector<std::string>& sourcePaths, std::string_view outputPath) const;

  // split-pdf: one single-page PDF per source page, one output path per page.
  PDFOperationResult splitPDF(std::string_view sourcePath, const std::vector<std::string>& outputPaths) const;

  // rotate-pdf-clockwise: every page a quarter turn further clockwise (a
  // flattened source's upright pages all get rotation 90).
  PDFOperationResult rotatePDFClockwise(std::string_view sourcePath, std::string_view outputPath) const;

  SecureFileReader reader;
  ExclusiveOutputWriter writer;
  PDFInspector inspector;
  PDFPageRenderer renderer;
  PDFRasterEncoder rasterEncoder;
};

// inspect-pdf's success response: the probe and nothing else.
HelperResponse pdfInspection(std::string requestId, PDFProbe probe);

// The success response of a PDF operation that writes outputs: one record per
// output, in output order.
HelperResponse pdfOperation(std::string requestId, HelperOperation operation, const PDFOperationResult& result);

}  // namespace quorvantelmic
