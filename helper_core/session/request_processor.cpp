#include "helper_core/session/request_processor.hpp"

#include <stdexcept>

#include "helper_core/protocol/helper_limits.hpp"
#include "helper_core/session/publication_responses.hpp"
#include "helper_core/session/staging_responses.hpp"
#include "helper_core/staging/staging_broker.hpp"

namespace quorvantelmic {

namespace {

// Thrown for an operation whose component is not part of this build; it is
// answered like any other failure that is not a HelperFault.
class OperationNotRouted : public std::logic_error {
 public:
  OperationNotRouted() : std::logic_error("operation not routed") {}
};

HelperResponse refusal(const HelperRequest& request, std::string_view message) {
  return HelperResponse::failure(request.requestId, request.operation(), HelperErrorCode::unsupportedSource, message);
}

}  // namespace

const std::vector<HelperOperation>& RequestProcessor::supportedOperations() {
  static const std::vector<HelperOperation> operations = {
      HelperOperation::inspectImage,      HelperOperation::convertImage,   HelperOperation::inspectPDF,
      HelperOperation::imagesToPDF,       HelperOperation::pdfPagesToPNG,  HelperOperation::pdfPagesToJPEG,
      HelperOperation::prepareStaging,    HelperOperation::prepareStagingSet, HelperOperation::cleanupStaging,
      HelperOperation::cleanupStagingSet, HelperOperation::publishOutput,  HelperOperation::publishOutputSet,
  };
  return operations;
}

HelperResponse RequestProcessor::execute(const HelperRequest& request) const {
  switch (request.operation()) {
    case HelperOperation::hello:
      return HelperResponse::hello(request.requestId);
    case HelperOperation::capabilities: {
      ImageCapabilities capabilities = imageOperations_.capabilities();
      return HelperResponse::capabilities(request.requestId, std::move(capabilities.sourceTypeIdentifiers),
                                          std::move(capabilities.destinationTypeIdentifiers), supportedOperations());
    }
    case HelperOperation::inspectImage: {
      return inspection(request.requestId,
                        imageOperations_.inspectImage(std::get<HelperRequest::InspectImage>(request.payload).sourcePath));
    }
    case HelperOperation::convertImage: {
      const auto& arguments = std::get<HelperRequest::ConvertImage>(request.payload);
      return conversion(request.requestId,
                        imageOperations_.convertImage(arguments.sourcePath, arguments.outputPath, arguments.options));
    }
    case HelperOperation::inspectPDF:
    case HelperOperation::imagesToPDF:
    case HelperOperation::pdfPagesToPNG:
    case HelperOperation::pdfPagesToJPEG:
      return pdf_.execute(request);
    case HelperOperation::mergePDFs:
      return refusal(request, "PDF merge is not a Quorvantelmic format conversion.");
    case HelperOperation::splitPDF:
      return refusal(request, "PDF split is not a Quorvantelmic format conversion.");
    case HelperOperation::rotatePDFClockwise:
      return refusal(request, "PDF rotation is not a Quorvantelmic format conversion.");
    case HelperOperation::compressPDFFlattened:
      return refusal(request, "PDF compression is not a Quorvantelmic format conversion.");
    case HelperOperation::ocrPDFEnglish:
      return refusal(request, "OCR is not a Quorvantelmic format conversion.");
    case HelperOperation::prepareStaging: {
      const auto& arguments = std::get<PrepareStagingArguments>(request.payload);
      const PreparedStaging result =
          StagingBroker(3).prepare(arguments.destinationPath, arguments.destinationIdentity, arguments.stagingId,
                                   arguments.stagingName, {arguments.outputName});
      return stagingPreparation(request.requestId, request.operation(), result);
    }
    case HelperOperation::prepareStagingSet: {
      const auto& arguments = std::get<PrepareStagingSetArguments>(request.payload);
      const PreparedStaging result =
          StagingBroker(3).prepare(arguments.destinationPath, arguments.destinationIdentity, arguments.stagingId,
                                   arguments.stagingName, arguments.outputNames);
      return stagingPreparation(request.requestId, request.operation(), result);
    }
    case HelperOperation::cleanupStaging: {
      const CleanedStaging result = StagingBroker(3).cleanup(std::get<CleanupStagingArguments>(request.payload));
      return stagingCleanup(request.requestId, request.operation(), result);
    }
    case HelperOperation::cleanupStagingSet: {
      const auto& arguments = std::get<CleanupStagingSetArguments>(request.payload);
      const CleanedStaging result = StagingBroker(3).cleanup(
          arguments.destinationPath, arguments.destinationIdentity, arguments.stagingId, arguments.stagingName,
          arguments.stagingIdentity, arguments.ownerIdentity, arguments.outputNames, arguments.outputs);
      return stagingCleanup(request.requestId, request.operation(), result);
    }
    case HelperOperation::publishOutput:
      return publication(request.requestId,
                         publicationBroker_.publish(std::get<PublishOutputArguments>(request.payload)));
    case HelperOperation::publishOutputSet:
      return publicationSet(request.requestId,
                            publicationBroker_.publishSet(std::get<PublishOutputSetArguments>(request.payload)));
    default:
      throw OperationNotRouted();
  }
}

HelperResponse RequestProcessor::processLine(std::string_view line) const {
  // A request that decodes carries its own identifier and operation, which are
  // exactly what the forgiving reading would find; only a line that fails to
  // decode needs that second reading.
  std::optional<HelperRequest> request;
  try {
    request = decoder_.decode(line);
  } catch (const HelperFault& fault) {
    RequestContext context = decoder_.context(line);
    return HelperResponse::failure(std::move(context.requestId), context.operation, fault.code(), fault.message());
  } catch (...) {
    RequestContext context = decoder_.context(line);
    return HelperResponse::failure(std::move(context.requestId), context.operation, HelperErrorCode::internalError,
                                   internalErrorMessage);
  }
  try {
    return execute(*request);
  } catch (const HelperFault& fault) {
    return HelperResponse::failure(request->requestId, request->operation(), fault.code(), fault.message());
  } catch (...) {
    return HelperResponse::failure(request->requestId, request->operation(), HelperErrorCode::internalError,
                                   internalErrorMessage);
  }
}

}  // namespace quorvantelmic
