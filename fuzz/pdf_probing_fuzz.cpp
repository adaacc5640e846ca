// PDFInspector::inspect over any bytes, through qpdf and poppler. Only the
// inspector's own refusals may come out, and an accepted document must be
// within the page limit with a geometry for every page.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "helper_core/pdf/pdf_probing.hpp"
#include "helper_core/protocol/helper_limits.hpp"

using namespace quorvantelmic;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const PDFInspector inspector;
  try {
    const InspectedPDF inspected = inspector.inspect(std::vector<std::uint8_t>(data, data + size));
    QUORVANTELMIC_FUZZ_REQUIRE(inspected.probe.pageCount >= 1 &&
                               inspected.probe.pageCount <= HelperLimits::maximumPDFPages);
    QUORVANTELMIC_FUZZ_REQUIRE(inspected.probe.pages.size() == static_cast<std::size_t>(inspected.probe.pageCount));
  } catch (const HelperFault& fault) {
    QUORVANTELMIC_FUZZ_REQUIRE(fault.code() == HelperErrorCode::unsupportedSource ||
                               fault.code() == HelperErrorCode::decodeFailed ||
                               fault.code() == HelperErrorCode::resourceLimit);
    fuzzing::requireWellFormedFault(fault);
  }
  return 0;
}
