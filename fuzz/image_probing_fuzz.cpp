// ImageInspector::inspect over any bytes, through the real codec libraries.
// The header-only inspection runs on every input; the pixels are decoded only
// when the header promises at most fuzzPixelLimit pixels, far under the
// helper's own pixel limit, so that one input cannot take seconds or
// gigabytes. Run with a small -max_len (run.sh uses 16384). Only decode-failed
// and resource-limit refusals are allowed, and the proof decode that output
// validation uses must agree with the decode it stands for.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "fuzz/fuzz_support.hpp"
#include "helper_core/image/image_probing.hpp"
#include "helper_core/protocol/helper_limits.hpp"

using namespace quorvantelmic;

namespace {

constexpr std::int64_t fuzzPixelLimit = 1 << 18;

void requireInspectionFault(const HelperFault& fault) {
  QUORVANTELMIC_FUZZ_REQUIRE(fault.code() == HelperErrorCode::decodeFailed ||
                             fault.code() == HelperErrorCode::resourceLimit);
  fuzzing::requireWellFormedFault(fault);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const ImageInspector inspector;
  ImageProbe header;
  try {
    header = inspector.inspect(bytes, false).probe;
  } catch (const HelperFault& fault) {
    requireInspectionFault(fault);
    return 0;
  }
  QUORVANTELMIC_FUZZ_REQUIRE(header.width >= 1 && header.height >= 1);
  QUORVANTELMIC_FUZZ_REQUIRE(header.width <= HelperLimits::maximumPixels / header.height);
  QUORVANTELMIC_FUZZ_REQUIRE(header.orientation >= 1 && header.orientation <= 8);
  if (header.width * header.height > fuzzPixelLimit) return 0;
  try {
    const InspectedImage decoded = inspector.inspect(bytes, true);
    QUORVANTELMIC_FUZZ_REQUIRE(decoded.decodedImage.has_value());
    QUORVANTELMIC_FUZZ_REQUIRE(decoded.probe.width == header.width && decoded.probe.height == header.height);
    QUORVANTELMIC_FUZZ_REQUIRE(decoded.probe.uniformTypeIdentifier == header.uniformTypeIdentifier);
  } catch (const HelperFault& fault) {
    requireInspectionFault(fault);
  }
  // The proof decode that validates outputs fails exactly when the decode it
  // stands for fails (for a JPEG the one at 1/8) and learns the same probe.
  std::optional<ImageProbe> decodedProbe;
  std::optional<ImageProbe> provenProbe;
  try {
    decodedProbe = inspector.inspect(bytes, true, [](std::int64_t, std::int64_t, std::int64_t) { return std::size_t{1}; })
                       .probe;
  } catch (const HelperFault& fault) {
    requireInspectionFault(fault);
  }
  try {
    const InspectedImage proven = inspector.inspectProvingDecode(bytes);
    QUORVANTELMIC_FUZZ_REQUIRE(proven.provenFrame.has_value() && !proven.decodedImage.has_value());
    provenProbe = proven.probe;
  } catch (const HelperFault& fault) {
    requireInspectionFault(fault);
  }
  QUORVANTELMIC_FUZZ_REQUIRE(decodedProbe.has_value() == provenProbe.has_value());
  QUORVANTELMIC_FUZZ_REQUIRE(!decodedProbe || *decodedProbe == *provenProbe);
  return 0;
}
