// Strict decoding of one request line: UTF-8, one JSON object, a known
// operation, a canonical request identifier, protocol version 4, exactly the
// operation's keys, and every field through its validator, in a fixed order.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "helper_core/protocol/helper_operation.hpp"
#include "helper_core/protocol/helper_request.hpp"

namespace quorvantelmic {

// The identifier used when a line names no usable one.
inline constexpr std::string_view defaultRequestId = "00000000-0000-4000-8000-000000000000";

struct RequestContext {
  std::string requestId;
  HelperOperation operation;

  friend bool operator==(const RequestContext&, const RequestContext&) = default;
};

class StrictRequestDecoder {
 public:
  // Throws HelperFault on the first failing check; no partial request escapes.
  HelperRequest decode(std::string_view line) const;

  // A forgiving reading of the same line, to address an error response. Never
  // fails.
  RequestContext context(std::string_view line) const;
};

}  // namespace quorvantelmic
