// The PDF operations as the request processor reaches them. A test or a tool
// links them in (linked_pdf_route.hpp); the helper opens them from a module of
// their own on the first PDF request, so that a session that never touches a
// PDF never loads the PDF libraries (about 40 shared objects, half the
// helper's start-up).
#pragma once

#include "helper_core/protocol/helper_request.hpp"
#include "helper_core/protocol/helper_response.hpp"

namespace quorvantelmic {

class PDFRoute {
 public:
  virtual ~PDFRoute() = default;

  // The response to inspect-pdf, images-to-pdf, pdf-pages-to-png or
  // pdf-pages-to-jpeg. Faults pass through to the request processor, which
  // answers them like any other.
  virtual HelperResponse execute(const HelperRequest& request) const = 0;
};

}  // namespace quorvantelmic
