// Turns one request line into exactly one response: strict decoding, the route
// of the operation to the component that owns it, and the mapping of every
// failure into an error response addressed to the request.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "helper_core/image/image_operations.hpp"
#include "helper_core/protocol/helper_request.hpp"
#include "helper_core/protocol/helper_response.hpp"
#include "helper_core/protocol/strict_request_decoder.hpp"
#include "helper_core/session/pdf_route.hpp"
#include "helper_core/staging/publication_broker.hpp"

namespace quorvantelmic {

class RequestProcessor {
 public:
  // With the PDF operations linked into the program (LinkedPDFRoute).
  RequestProcessor();
  // With the PDF operations reached through `pdf`, which must outlive the
  // processor.
  explicit RequestProcessor(const PDFRoute& pdf) : pdf_(pdf) {}

  // Never throws.
  HelperResponse processLine(std::string_view line) const;

  static std::string encodeResponse(const HelperResponse& response) { return quorvantelmic::encodeResponse(response); }

  // The operations `capabilities` reports, in order.
  static const std::vector<HelperOperation>& supportedOperations();

 private:
  HelperResponse execute(const HelperRequest& request) const;

  StrictRequestDecoder decoder_;
  // Both publication operations; destination on descriptor 3, no observer.
  PublicationBroker publicationBroker_{3};
  // capabilities, inspect-image and convert-image; sources on descriptor 3,
  // outputs into descriptor 4, both switches off.
  ImageOperations imageOperations_;
  // inspect-pdf, images-to-pdf and both page renderings.
  const PDFRoute& pdf_;
};

}  // namespace quorvantelmic
