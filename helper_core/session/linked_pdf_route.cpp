#include "helper_core/session/linked_pdf_route.hpp"

#include <stdexcept>
#include <variant>

#include "helper_core/session/request_processor.hpp"

namespace quorvantelmic {

HelperResponse LinkedPDFRoute::execute(const HelperRequest& request) const {
  switch (request.operation()) {
    case HelperOperation::inspectPDF:
      return pdfInspection(request.requestId,
                           operations_.inspectPDF(std::get<HelperRequest::InspectPDF>(request.payload).sourcePath));
    case HelperOperation::imagesToPDF: {
      const auto& arguments = std::get<HelperRequest::ImagesToPDF>(request.payload);
      return pdfOperation(request.requestId, request.operation(),
                          operations_.imagesToPDF(arguments.sourcePaths, arguments.outputPath));
    }
    case HelperOperation::pdfPagesToPNG: {
      const auto& arguments = std::get<HelperRequest::PDFPagesToPNG>(request.payload);
      return pdfOperation(request.requestId, request.operation(),
                          operations_.renderPDFPagesToPNG(arguments.sourcePath, arguments.outputPaths,
                                                          arguments.options));
    }
    case HelperOperation::pdfPagesToJPEG: {
      const auto& arguments = std::get<HelperRequest::PDFPagesToJPEG>(request.payload);
      return pdfOperation(request.requestId, request.operation(),
                          operations_.renderPDFPagesToJPEG(arguments.sourcePath, arguments.outputPaths,
                                                           arguments.options));
    }
    default:
      throw std::logic_error("not a PDF operation");
  }
}

// Defined here rather than beside the other constructor: a program that builds
// its processor this way links the PDF operations, and one that does not
// (the helper) never pulls them in.
RequestProcessor::RequestProcessor() : pdf_([]() -> const PDFRoute& {
  static const LinkedPDFRoute route;
  return route;
}()) {}

}  // namespace quorvantelmic
