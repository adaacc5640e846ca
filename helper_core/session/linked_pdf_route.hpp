// The PDF operations called directly, in the program that links them.
#pragma once

#include "helper_core/pdf/pdf_operations.hpp"
#include "helper_core/session/pdf_route.hpp"

namespace quorvantelmic {

class LinkedPDFRoute final : public PDFRoute {
 public:
  HelperResponse execute(const HelperRequest& request) const override;

 private:
  // Sources on descriptor 3, outputs into descriptor 4.
  PDFOperations operations_;
};

}  // namespace quorvantelmic
