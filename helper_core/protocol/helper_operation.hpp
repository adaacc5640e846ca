// The operations that requests and responses name. `protocolFailure` ("protocol")
// marks responses that answer no identifiable request and is never a request.
#pragma once

#include <optional>
#include <string_view>

namespace quorvantelmic {

enum class HelperOperation {
  hello,
  capabilities,
  inspectImage,
  convertImage,
  inspectPDF,
  imagesToPDF,
  mergePDFs,
  pdfPagesToPNG,
  pdfPagesToJPEG,
  splitPDF,
  rotatePDFClockwise,
  compressPDFFlattened,
  ocrPDFEnglish,
  prepareStaging,
  prepareStagingSet,
  cleanupStaging,
  cleanupStagingSet,
  publishOutput,
  publishOutputSet,
  protocolFailure,
};

inline constexpr std::size_t helperOperationCount = 20;

std::string_view wireString(HelperOperation operation);
std::optional<HelperOperation> helperOperationFromWire(std::string_view wire);

}  // namespace quorvantelmic
