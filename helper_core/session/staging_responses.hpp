// The success responses of the four staging operations.
#pragma once

#include <string>

#include "helper_core/protocol/helper_response.hpp"
#include "helper_core/staging/staging_broker.hpp"

namespace quorvantelmic {

// `operation` with ok, both identities in wire form and directorySyncSupported.
HelperResponse stagingPreparation(std::string requestId, HelperOperation operation, const PreparedStaging& result);

// `operation` with ok, removed (always true) and directorySyncSupported.
HelperResponse stagingCleanup(std::string requestId, HelperOperation operation, const CleanedStaging& result);

}  // namespace quorvantelmic
