// Merge, split and clockwise rotation. Sources without any interactive or
// structural feature have their pages copied, content and text included;
// when any source has one, every page is flattened into an image instead, so
// no form, annotation, outline or script can survive into the output.
#include <set>
#include <utility>

#include "helper_core/pdf/narrow_raster_pdf_assembler.hpp"
#include "helper_core/pdf/pdf_operations.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"

namespace quorvantelmic {

namespace {

constexpr std::int64_t flatteningDPI = 144;
constexpr double flatteningQuality = 0.92;

std::vector<PDFPageGeometry> uprightGeometry(const std::vector<RasterPDFPage>& pages, std::int64_t rotation) {
  std::vector<PDFPageGeometry> geometry;
  geometry.reserve(pages.size());
  for (const RasterPDFPage& page : pages) geometry.push_back(PDFPageGeometry{page.widthPoints, page.heightPoints, rotation});
  return geometry;
}

}  // namespace

PDFOperationResult PDFOperations::mergePDFs(const std::vector<std::string>& sourcePaths,
                                            std::string_view outputPath) const {
  if (sourcePaths.size() < 2 || sourcePaths.size() > static_cast<std::size_t>(HelperLimits::maximumPDFMergeSources)) {
    throw HelperFault(HelperErrorCode::resourceLimit, "The PDF merge source count is outside the allowed range.");
  }
  if (std::set<std::string>(sourcePaths.begin(), sourcePaths.end()).size() != sourcePaths.size()) {
    throw HelperFault(HelperErrorCode::invalidRequest, "The PDF source paths must be distinct.");
  }
  checkStagedPDFOutputPath(outputPath);

  std::vector<InspectedPDF> sources;
  sources.reserve(sourcePaths.size());
  std::vector<PDFPageGeometry> geometry;
  std::int64_t totalBytes = 0;
  std::int64_t totalPages = 0;
  bool flatten = false;
  for (const std::string& path : sourcePaths) {
    InspectedPDF inspected = inspector.inspect(reader.readRegularFile(path, HelperLimits::maximumPDFSourceBytes));
    const auto bytes = static_cast<std::int64_t>(inspected.data->size());
    if (bytes > HelperLimits::maximumPDFAggregateSourceBytes - totalBytes ||
        inspected.probe.pageCount > HelperLimits::maximumPDFPages - totalPages) {
      throw HelperFault(HelperErrorCode::resourceLimit, "The PDF merge inputs exceed the aggregate limit.");
    }
    totalBytes += bytes;
    totalPages += inspected.probe.pageCount;
    geometry.insert(geometry.end(), inspected.probe.pages.begin(), inspected.probe.pages.end());
    flatten = flatten || inspected.probe.hasAnyFeature();
    sources.push_back(std::move(inspected));
  }

  std::vector<PDFOutputDescription> outputs;
  if (!flatten) {
    PDFDocument merged;
    for (const InspectedPDF& source : sources) {
      for (std::size_t index = 0; index < source.pdfKitDocument.pageCount(); ++index) {
        const std::optional<PDFPage> page = source.pdfKitDocument.pageAtIndex(index);
        if (!page || !merged.insertPage(page->copy(), merged.pageCount())) {
          throw HelperFault(HelperErrorCode::decodeFailed, "A PDF merge page could not be copied.");
        }
      }
    }
    std::vector<std::uint8_t> bytes = dataRepresentation(merged);
    validatePDFOutput(bytes, geometry, false, true);
    outputs.push_back(PDFOutputDescription{std::move(bytes), std::move(geometry), false, true});
  } else {
    std::vector<RasterPDFPage> pages;
    for (const InspectedPDF& source : sources) {
      std::vector<RasterPDFPage> flattened = rasterPDFPages(source, flatteningDPI, flatteningQuality, false);
      for (RasterPDFPage& page : flattened) pages.push_back(std::move(page));
    }
    std::vector<std::uint8_t> bytes = NarrowRasterPDFAssembler().assemble(pages);
    std::vector<PDFPageGeometry> flattenedGeometry = uprightGeometry(pages, 0);
    pages.clear();
    validatePDFOutput(bytes, flattenedGeometry, false, false);
    outputs.push_back(PDFOutputDescription{std::move(bytes), std::move(flattenedGeometry), false, false});
  }
  return writePDFOutputs(outputs, {std::string(outputPath)});
}

PDFOperationResult PDFOperations::splitPDF(std::string_view sourcePath,
                                           const std::vector<std::string>& outputPaths) const {
  const InspectedPDF inspected =
      inspector.inspect(reader.readRegularFile(sourcePath, HelperLimits::maximumPDFSourceBytes));
  if (outputPaths.size() != inspected.probe.pages.size()) {
    throw HelperFault(HelperErrorCode::invalidRequest, "The split output inventory does not match the page count.");
  }
  validateOutputPaths(outputPaths, StagedOutputExtension::pdf);

  std::vector<PDFOutputDescription> outputs;
  outputs.reserve(outputPaths.size());
  std::int64_t total = 0;
  const auto addOutput = [&](std::vector<std::uint8_t> bytes, PDFPageGeometry geometry, bool allowsText) {
    const auto length = static_cast<std::int64_t>(bytes.size());
    if (length > HelperLimits::maximumOutputBytes - total) {
      throw HelperFault(HelperErrorCode::resourceLimit, "The split PDF outputs exceed the aggregate byte limit.");
    }
    total += length;
    const std::vector<PDFPageGeometry> expected{geometry};
    validatePDFOutput(bytes, expected, false, allowsText);
    outputs.push_back(PDFOutputDescription{std::move(bytes), expected, false, allowsText});
  };

  if (!inspected.probe.hasAnyFeature()) {
    for (std::size_t index = 0; index < inspected.probe.pages.size(); ++index) {
      const std::optional<PDFPage> page = inspected.pdfKitDocument.pageAtIndex(index);
      PDFDocument single;
      if (!page || !single.insertPage(page->copy(), 0)) {
        throw HelperFault(HelperErrorCode::decodeFailed, "A split PDF page could not be copied.");
      }
      addOutput(dataRepresentation(single), inspected.probe.pages[index], true);
    }
  } else {
    std::vector<RasterPDFPage> pages = rasterPDFPages(inspected, flatteningDPI, flatteningQuality, false);
    for (RasterPDFPage& page : pages) {
      const PDFPageGeometry geometry{page.widthPoints, page.heightPoints, 0};
      std::vector<RasterPDFPage> one;
      one.push_back(std::move(page));
      addOutput(NarrowRasterPDFAssembler().assemble(one), geometry, false);
    }
  }
  return writePDFOutputs(outputs, outputPaths);
}

PDFOperationResult PDFOperations::rotatePDFClockwise(std::string_view sourcePath, std::string_view outputPath) const {
  const InspectedPDF inspected =
      inspector.inspect(reader.readRegularFile(sourcePath, HelperLimits::maximumPDFSourceBytes));
  checkStagedPDFOutputPath(outputPath);

  std::vector<PDFOutputDescription> outputs;
  if (!inspected.probe.hasAnyFeature()) {
    PDFDocument rotated;
    std::vector<PDFPageGeometry> geometry;
    for (std::size_t index = 0; index < inspected.probe.pages.size(); ++index) {
      const PDFPageGeometry& source = inspected.probe.pages[index];
      const std::optional<PDFPage> page = inspected.pdfKitDocument.pageAtIndex(index);
      if (!page) throw HelperFault(HelperErrorCode::decodeFailed, "A rotated PDF page could not be copied.");
      PDFPage copy = page->copy();
      // The inspector accepts only rotations of 0, 90, 180 and 270.
      const std::int64_t rotation = (source.rotation + 90) % 360;
      copy.setRotation(rotation);
      if (!rotated.insertPage(copy, rotated.pageCount())) {
        throw HelperFault(HelperErrorCode::decodeFailed, "A rotated PDF page could not be copied.");
      }
      geometry.push_back(PDFPageGeometry{source.widthPoints, source.heightPoints, rotation});
    }
    std::vector<std::uint8_t> bytes = dataRepresentation(rotated);
    validatePDFOutput(bytes, geometry, false, true);
    outputs.push_back(PDFOutputDescription{std::move(bytes), std::move(geometry), false, true});
  } else {
    // The flattened pages are already upright as the source displays them;
    // each then gets a quarter turn of its own.
    std::vector<PDFPageGeometry> geometry;
    std::vector<std::uint8_t> assembled;
    {
      const std::vector<RasterPDFPage> pages = rasterPDFPages(inspected, flatteningDPI, flatteningQuality, false);
      assembled = NarrowRasterPDFAssembler().assemble(pages);
      geometry = uprightGeometry(pages, 90);
    }
    const std::optional<PDFDocument> reopened =
        PDFDocument::initWithData(std::make_shared<const std::vector<std::uint8_t>>(std::move(assembled)));
    if (!reopened || reopened->pageCount() != geometry.size()) {
      throw HelperFault(HelperErrorCode::encodeFailed, "The flattened PDF could not be reopened.");
    }
    PDFDocument rotated;
    for (std::size_t index = 0; index < reopened->pageCount(); ++index) {
      const std::optional<PDFPage> page = reopened->pageAtIndex(index);
      if (!page) throw HelperFault(HelperErrorCode::decodeFailed, "A flattened PDF page could not be rotated.");
      PDFPage copy = page->copy();
      copy.setRotation(90);
      if (!rotated.insertPage(copy, rotated.pageCount())) {
        throw HelperFault(HelperErrorCode::decodeFailed, "A flattened PDF page could not be rotated.");
      }
    }
    std::vector<std::uint8_t> bytes = dataRepresentation(rotated);
    validatePDFOutput(bytes, geometry, false, false);
    outputs.push_back(PDFOutputDescription{std::move(bytes), std::move(geometry), false, false});
  }
  return writePDFOutputs(outputs, {std::string(outputPath)});
}

}  // namespace quorvantelmic
