// The success responses of the two publication operations.
#pragma once

#include <string>

#include "helper_core/protocol/helper_response.hpp"
#include "helper_core/staging/publication_broker.hpp"

namespace quorvantelmic {

// publish-output: the chosen name, its final path, collision index, sync support,
// whether cleanup is pending, and the committed identity in wire form.
HelperResponse publication(std::string requestId, const PublishedOutput& result);

// publish-output-set: one record per member, in member order, and the shared
// collision index, sync support and pending cleanup.
HelperResponse publicationSet(std::string requestId, const PublishedOutputSet& result);

}  // namespace quorvantelmic
