// pdf-pages-to-png and pdf-pages-to-jpeg: every page of one PDF as one image
// file. Only one page bitmap exists at a time; the encoded pages are held until
// all of them exist, so a failure on a late page leaves no file behind at all.
#include <optional>
#include <utility>

#include "helper_core/pdf/pdf_operations.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"

namespace quorvantelmic {

PDFOperationResult PDFOperations::renderPDFPagesToPNG(std::string_view sourcePath,
                                                      const std::vector<std::string>& outputPaths,
                                                      const PDFRenderOptions& options) const {
  if (options.jpegQuality) {
    throw HelperFault(HelperErrorCode::invalidRequest, "PNG page export does not accept JPEG quality.");
  }
  return renderPDFPages(sourcePath, outputPaths, options, PDFRasterTarget::png());
}

PDFOperationResult PDFOperations::renderPDFPagesToJPEG(std::string_view sourcePath,
                                                       const std::vector<std::string>& outputPaths,
                                                       const PDFRenderOptions& options) const {
  if (!options.jpegQuality) {
    throw HelperFault(HelperErrorCode::invalidRequest, "JPEG page export requires an explicit quality.");
  }
  return renderPDFPages(sourcePath, outputPaths, options, PDFRasterTarget::jpeg(*options.jpegQuality));
}

PDFOperationResult PDFOperations::renderPDFPages(std::string_view sourcePath,
                                                 const std::vector<std::string>& outputPaths,
                                                 const PDFRenderOptions& options,
                                                 const PDFRasterTarget& target) const {
  const InspectedPDF inspected = inspector.inspect(reader.readRegularFile(sourcePath, HelperLimits::maximumPDFSourceBytes));
  const std::vector<PDFPageGeometry>& pages = inspected.probe.pages;
  if (outputPaths.size() != pages.size()) {
    throw HelperFault(HelperErrorCode::invalidRequest, "The image output inventory does not match the page count.");
  }
  const bool jpeg = target.kind == PDFRasterTarget::Kind::jpeg;
  validateOutputPaths(outputPaths, jpeg ? StagedOutputExtension::jpg : StagedOutputExtension::png);
  const std::string_view typeIdentifier =
      jpeg ? PDFRasterEncoder::jpegTypeIdentifier : PDFRasterEncoder::pngTypeIdentifier;

  std::vector<PDFOutputArtifact> artifacts;
  artifacts.reserve(pages.size());
  std::int64_t total = 0;
  for (std::size_t index = 0; index < pages.size(); ++index) {
    const std::optional<CGPDFPage> page = inspected.coreGraphicsDocument.page(index + 1);
    if (!page) throw HelperFault(HelperErrorCode::decodeFailed, "A PDF page could not be opened for rendering.");
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::vector<std::uint8_t> encoded;
    {
      // The bitmap goes out of scope here, before the next page is drawn.
      const RenderedPDFPage rendered = renderer.render(*page, pages[index], options.dpi);
      width = rendered.pixelWidth;
      height = rendered.pixelHeight;
      encoded = rasterEncoder.encode(rendered, target);
    }
    const auto length = static_cast<std::int64_t>(encoded.size());
    if (length > HelperLimits::maximumOutputBytes - total) {
      throw HelperFault(HelperErrorCode::resourceLimit, "The page images exceed the aggregate output limit.");
    }
    total += length;
    const PDFRasterEncoder* encoder = &rasterEncoder;
    artifacts.push_back(PDFOutputArtifact{
        std::move(encoded), [encoder, typeIdentifier, width, height](std::span<const std::uint8_t> readBack) {
          encoder->validate(readBack, typeIdentifier, width, height);
        }});
  }
  return writeArtifacts(artifacts, outputPaths);
}

}  // namespace quorvantelmic
