#include "helper_core/session/staging_responses.hpp"

namespace quorvantelmic {

HelperResponse stagingPreparation(std::string requestId, HelperOperation operation, const PreparedStaging& result) {
  HelperResponse response = HelperResponse::success(std::move(requestId), operation);
  response.stagingIdentity = result.stagingIdentity.protocolValue();
  response.ownerIdentity = result.ownerIdentity.protocolValue();
  response.directorySyncSupported = result.directorySyncSupported;
  return response;
}

HelperResponse stagingCleanup(std::string requestId, HelperOperation operation, const CleanedStaging& result) {
  HelperResponse response = HelperResponse::success(std::move(requestId), operation);
  response.removed = true;
  response.directorySyncSupported = result.directorySyncSupported;
  return response;
}

}  // namespace quorvantelmic
