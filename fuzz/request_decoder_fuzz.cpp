// The strict request decoder and its forgiving context reading, over any line.
// The decoder may only refuse with invalid-request; the context reading never
// fails; and a line the decoder accepts must be addressed by the context
// reading to the same identifier and operation.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_support.hpp"
#include "helper_core/protocol/strict_request_decoder.hpp"

using namespace quorvantelmic;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const StrictRequestDecoder decoder;
  const RequestContext context = decoder.context(line);
  QUORVANTELMIC_FUZZ_REQUIRE(context.requestId.size() == defaultRequestId.size());
  try {
    const HelperRequest request = decoder.decode(line);
    QUORVANTELMIC_FUZZ_REQUIRE(context.requestId == request.requestId);
    QUORVANTELMIC_FUZZ_REQUIRE(context.operation == request.operation());
  } catch (const HelperFault& fault) {
    QUORVANTELMIC_FUZZ_REQUIRE(fault.code() == HelperErrorCode::invalidRequest);
    fuzzing::requireWellFormedFault(fault);
  }
  return 0;
}
