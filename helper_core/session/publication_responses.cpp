#include "helper_core/session/publication_responses.hpp"

namespace quorvantelmic {

HelperResponse publication(std::string requestId, const PublishedOutput& result) {
  HelperResponse response = HelperResponse::success(std::move(requestId), HelperOperation::publishOutput);
  response.displayName = result.displayName;
  response.finalPath = result.finalPath;
  response.collisionIndex = result.collisionIndex;
  response.directorySyncSupported = result.directorySyncSupported;
  response.stagingCleanupPending = result.stagingCleanupPending;
  response.committedIdentity = result.committedIdentity.protocolValue();
  return response;
}

HelperResponse publicationSet(std::string requestId, const PublishedOutputSet& result) {
  HelperResponse response = HelperResponse::success(std::move(requestId), HelperOperation::publishOutputSet);
  std::vector<PublishedOutputRecord> records;
  records.reserve(result.publishedOutputs.size());
  for (const PublishedSetOutput& output : result.publishedOutputs) {
    records.push_back(PublishedOutputRecord{output.displayName, output.finalPath, output.committedIdentity.protocolValue()});
  }
  response.publishedOutputs = std::move(records);
  response.collisionIndex = result.collisionIndex;
  response.directorySyncSupported = result.directorySyncSupported;
  response.stagingCleanupPending = result.stagingCleanupPending;
  return response;
}

}  // namespace quorvantelmic
