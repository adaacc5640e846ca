// The one symbol the PDF module exports: the PDF operations as the helper's
// request processor reaches them.
#include "helper/pdf_module.hpp"
#include "helper_core/session/linked_pdf_route.hpp"

extern "C" __attribute__((visibility("default"))) const quorvantelmic::PDFRoute* quorvantelmicPDFRoute() {
  static const quorvantelmic::LinkedPDFRoute route;
  return &route;
}
