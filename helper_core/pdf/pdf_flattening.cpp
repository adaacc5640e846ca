// Flattening: every page of an accepted PDF drawn into a bitmap, encoded as one
// JPEG and rebuilt by the image-only writer. Compression writes the result only
// when it is smaller than the source; merge, split and rotate flatten sources
// whose features cannot be copied safely.
#include <cmath>
#include <optional>
#include <utility>

#include "helper_core/pdf/narrow_raster_pdf_assembler.hpp"
#include "helper_core/pdf/pdf_operations.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"

namespace quorvantelmic {

std::vector<RasterPDFPage> PDFOperations::rasterPDFPages(const InspectedPDF& inspected, std::int64_t dpi,
                                                         double jpegQuality, bool includeOCR) const {
  const std::vector<PDFPageGeometry>& geometries = inspected.probe.pages;
  std::vector<RasterPDFPage> pages;
  pages.reserve(geometries.size());
  std::int64_t total = 0;
  for (std::size_t index = 0; index < geometries.size(); ++index) {
    const std::optional<CGPDFPage> page = inspected.coreGraphicsDocument.page(index + 1);
    if (!page) throw HelperFault(HelperErrorCode::decodeFailed, "A PDF page could not be opened for flattening.");
    RasterPDFPage flattened;
    {
      // The bitmap goes out of scope here, before the next page is drawn.
      const RenderedPDFPage rendered = renderer.render(*page, geometries[index], dpi);
      flattened.jpegData = rasterEncoder.encode(rendered, PDFRasterTarget::jpeg(jpegQuality));
      const auto length = static_cast<std::int64_t>(flattened.jpegData.size());
      if (length > HelperLimits::maximumOutputBytes - total) {
        throw HelperFault(HelperErrorCode::resourceLimit, "The flattened pages exceed the aggregate output limit.");
      }
      total += length;
      if (includeOCR) flattened.ocrLines = recognizeEnglishText(rendered.image);
      flattened.pixelWidth = rendered.pixelWidth;
      flattened.pixelHeight = rendered.pixelHeight;
      flattened.widthPoints = rendered.widthPoints;
      flattened.heightPoints = rendered.heightPoints;
    }
    pages.push_back(std::move(flattened));
  }
  return pages;
}

namespace {

// The pages an image-only rebuild must have: each flattened page's displayed
// size, upright.
std::vector<PDFPageGeometry> flattenedGeometry(const std::vector<RasterPDFPage>& pages) {
  std::vector<PDFPageGeometry> geometry;
  geometry.reserve(pages.size());
  for (const RasterPDFPage& page : pages) {
    PDFPageGeometry entry;
    entry.widthPoints = page.widthPoints;
    entry.heightPoints = page.heightPoints;
    entry.rotation = 0;
    geometry.push_back(entry);
  }
  return geometry;
}

bool matchesFlattened(const PDFProbe& probe, const std::vector<PDFPageGeometry>& expected) {
  if (probe.pages.size() != expected.size()) return false;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (std::fabs(probe.pages[i].widthPoints - expected[i].widthPoints) > 0.01 ||
        std::fabs(probe.pages[i].heightPoints - expected[i].heightPoints) > 0.01 ||
        probe.pages[i].rotation != expected[i].rotation) {
      return false;
    }
  }
  return !probe.hasAnyFeature();
}

[[noreturn]] void failStructuralValidation() {
  throw HelperFault(HelperErrorCode::encodeFailed, "The PDF output failed structural validation.");
}

}  // namespace

PDFOperationResult PDFOperations::compressPDFFlattened(std::string_view sourcePath, std::string_view outputPath,
                                                       const PDFCompressionOptions& options) const {
  const bool qualityValid = std::isfinite(options.jpegQuality) &&
                            options.jpegQuality >= HelperLimits::minimumPDFCompressionQuality &&
                            options.jpegQuality <= HelperLimits::maximumPDFCompressionQuality;
  const bool dpiValid = options.dpi >= HelperLimits::minimumPDFCompressionDPI &&
                        options.dpi <= HelperLimits::maximumPDFCompressionDPI;
  if (!qualityValid || !dpiValid) {
    throw HelperFault(HelperErrorCode::invalidRequest, "The flattened PDF compression options are invalid.");
  }
  const InspectedPDF inspected =
      inspector.inspect(reader.readRegularFile(sourcePath, HelperLimits::maximumPDFSourceBytes));
  checkStagedPDFOutputPath(outputPath);

  std::vector<std::uint8_t> bytes;
  std::vector<PDFPageGeometry> geometry;
  {
    const std::vector<RasterPDFPage> pages = rasterPDFPages(inspected, options.dpi, options.jpegQuality, false);
    bytes = NarrowRasterPDFAssembler().assemble(pages);
    geometry = flattenedGeometry(pages);
  }
  const InspectedPDF rebuilt = inspector.inspect(bytes);
  if (!matchesFlattened(rebuilt.probe, geometry) || rebuilt.probe.hasText) failStructuralValidation();
  if (bytes.size() >= inspected.data->size()) {
    throw HelperFault(HelperErrorCode::unsupportedSource, "Flattening did not produce a smaller PDF.");
  }
  std::vector<PDFOutputDescription> outputs;
  outputs.push_back(PDFOutputDescription{std::move(bytes), std::move(geometry), false, false});
  return writePDFOutputs(outputs, {std::string(outputPath)});
}

PDFOperationResult PDFOperations::ocrImageOnlyPDFEnglish(std::string_view sourcePath,
                                                         std::string_view outputPath) const {
  const InspectedPDF inspected =
      inspector.inspect(reader.readRegularFile(sourcePath, HelperLimits::maximumPDFSourceBytes));
  if (inspected.probe.hasText) {
    throw HelperFault(HelperErrorCode::unsupportedSource, "OCR accepts only PDFs without an existing text layer.");
  }
  checkStagedPDFOutputPath(outputPath);

  std::vector<std::uint8_t> bytes;
  std::vector<PDFPageGeometry> geometry;
  {
    const std::vector<RasterPDFPage> pages =
        rasterPDFPages(inspected, HelperLimits::ocrPDFDPI, HelperLimits::ocrPDFJPEGQuality, true);
    bool anyText = false;
    for (const RasterPDFPage& page : pages) anyText = anyText || !page.ocrLines.empty();
    if (!anyText) {
      throw HelperFault(HelperErrorCode::unsupportedSource, "No English text was recognized in the image-only PDF.");
    }
    bytes = NarrowRasterPDFAssembler().assemble(pages);
    geometry = flattenedGeometry(pages);
  }
  const InspectedPDF rebuilt = inspector.inspect(bytes);
  if (!matchesFlattened(rebuilt.probe, geometry) || !rebuilt.probe.hasText) failStructuralValidation();
  std::vector<PDFOutputDescription> outputs;
  outputs.push_back(PDFOutputDescription{std::move(bytes), std::move(geometry), true, true});
  return writePDFOutputs(outputs, {std::string(outputPath)});
}

}  // namespace quorvantelmic
