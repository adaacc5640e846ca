#include "helper_core/protocol/helper_response.hpp"
#include "helper_core/protocol/wire_identity.hpp"

#include <nlohmann/json.hpp>

#include "helper_core/protocol/helper_limits.hpp"

namespace quorvantelmic {

using nlohmann::json;

HelperResponse HelperResponse::success(std::string requestId, HelperOperation operation) {
  HelperResponse response;
  response.requestId = std::move(requestId);
  response.operation = operation;
  response.ok = true;
  return response;
}

HelperResponse HelperResponse::hello(std::string requestId) {
  HelperResponse response = success(std::move(requestId), HelperOperation::hello);
  response.helperVersion = std::string(HelperIdentity::helperVersion);
  response.buildProfileId = std::string(HelperIdentity::buildProfileId);
  return response;
}

HelperResponse HelperResponse::capabilities(std::string requestId, std::vector<std::string> sourceTypeIdentifiers,
                                            std::vector<std::string> destinationTypeIdentifiers,
                                            std::vector<HelperOperation> supportedOperations) {
  HelperResponse response = success(std::move(requestId), HelperOperation::capabilities);
  response.sourceTypeIdentifiers = std::move(sourceTypeIdentifiers);
  response.destinationTypeIdentifiers = std::move(destinationTypeIdentifiers);
  response.supportedOperations = std::move(supportedOperations);
  return response;
}

HelperResponse HelperResponse::failure(std::string requestId, HelperOperation operation, HelperErrorCode code,
                                       std::string_view message) {
  HelperResponse response;
  response.requestId = std::move(requestId);
  response.operation = operation;
  response.ok = false;
  response.error = HelperErrorBody{code, cutMessage(message)};
  return response;
}

json fileIdentityJson(const ProtocolFileIdentity& identity) {
  return json{
      {"device", identity.device},
      {"inode", identity.inode},
      {"size", identity.size},
      {"modifiedSeconds", identity.modifiedSeconds},
      {"modifiedNanoseconds", identity.modifiedNanoseconds},
      {"statusChangedSeconds", identity.statusChangedSeconds},
      {"statusChangedNanoseconds", identity.statusChangedNanoseconds},
  };
}

namespace {

json toJson(const ProtocolFileIdentity& identity) { return fileIdentityJson(identity); }

json toJson(const ImageProbe& probe) {
  json object{
      {"family", probe.family},
      {"uniformTypeIdentifier", probe.uniformTypeIdentifier},
      {"width", probe.width},
      {"height", probe.height},
      {"frameCount", probe.frameCount},
      {"orientation", probe.orientation},
      {"hasAlpha", probe.hasAlpha},
      {"hasAuxiliaryImages", probe.hasAuxiliaryImages},
      {"hasHdr", probe.hasHdr},
      {"hasIccProfile", probe.hasIccProfile},
      {"hasMetadata", probe.hasMetadata},
      {"hasUnsupportedMetadata", probe.hasUnsupportedMetadata},
  };
  if (probe.bitDepth) object["bitDepth"] = *probe.bitDepth;
  return object;
}

json toJson(const PDFPageGeometry& page) {
  return json{{"widthPoints", page.widthPoints}, {"heightPoints", page.heightPoints}, {"rotation", page.rotation}};
}

json toJson(const PDFProbe& probe) {
  json pages = json::array();
  for (const auto& page : probe.pages) pages.push_back(toJson(page));
  return json{
      {"family", probe.family},
      {"pageCount", probe.pageCount},
      {"pages", std::move(pages)},
      {"hasText", probe.hasText},
      {"hasForms", probe.hasForms},
      {"hasSignatures", probe.hasSignatures},
      {"hasAnnotations", probe.hasAnnotations},
      {"hasAttachments", probe.hasAttachments},
      {"hasJavaScriptOrActions", probe.hasJavaScriptOrActions},
      {"hasOutlines", probe.hasOutlines},
      {"hasTaggedContent", probe.hasTaggedContent},
      {"hasOptionalContent", probe.hasOptionalContent},
  };
}

json toJson(const PDFOutputRecord& output) {
  return json{{"index", output.index}, {"byteLength", output.byteLength}, {"sha256", output.sha256}};
}

json toJson(const PublishedOutputRecord& output) {
  return json{{"displayName", output.displayName},
              {"finalPath", output.finalPath},
              {"committedIdentity", toJson(output.committedIdentity)}};
}

template <typename Record>
json arrayOf(const std::vector<Record>& records) {
  json array = json::array();
  for (const auto& record : records) array.push_back(toJson(record));
  return array;
}

template <typename Value>
void put(json& object, const char* key, const std::optional<Value>& value) {
  if (value) object[key] = *value;
}

template <typename Value, typename Convert>
void put(json& object, const char* key, const std::optional<Value>& value, Convert convert) {
  if (value) object[key] = convert(*value);
}

}  // namespace

std::string encodeResponse(const HelperResponse& response) {
  // nlohmann's object type is an ordered std::map, so keys come out sorted by
  // their bytes; it never escapes "/" and writes doubles that read back exactly.
  json object{
      {"protocolVersion", response.protocolVersion},
      {"requestId", response.requestId},
      {"operation", wireString(response.operation)},
      {"ok", response.ok},
  };
  put(object, "helperVersion", response.helperVersion);
  put(object, "buildProfileId", response.buildProfileId);
  put(object, "sourceTypeIdentifiers", response.sourceTypeIdentifiers);
  put(object, "destinationTypeIdentifiers", response.destinationTypeIdentifiers);
  put(object, "supportedOperations", response.supportedOperations, [](const std::vector<HelperOperation>& list) {
    json array = json::array();
    for (const auto operation : list) array.push_back(wireString(operation));
    return array;
  });
  put(object, "probe", response.probe, [](const ImageProbe& probe) { return toJson(probe); });
  put(object, "pdfProbe", response.pdfProbe, [](const PDFProbe& probe) { return toJson(probe); });
  put(object, "outputs", response.outputs, [](const auto& list) { return arrayOf(list); });
  put(object, "publishedOutputs", response.publishedOutputs, [](const auto& list) { return arrayOf(list); });
  put(object, "byteLength", response.byteLength);
  put(object, "sha256", response.sha256);
  put(object, "stagingIdentity", response.stagingIdentity, [](const auto& identity) { return toJson(identity); });
  put(object, "ownerIdentity", response.ownerIdentity, [](const auto& identity) { return toJson(identity); });
  put(object, "removed", response.removed);
  put(object, "displayName", response.displayName);
  put(object, "finalPath", response.finalPath);
  put(object, "collisionIndex", response.collisionIndex);
  put(object, "directorySyncSupported", response.directorySyncSupported);
  put(object, "stagingCleanupPending", response.stagingCleanupPending);
  put(object, "committedIdentity", response.committedIdentity, [](const auto& identity) { return toJson(identity); });
  put(object, "error", response.error, [](const HelperErrorBody& error) {
    return json{{"code", wireString(error.code)}, {"message", error.message}};
  });

  std::string encoded = object.dump();
  if (static_cast<std::int64_t>(encoded.size()) > HelperLimits::maximumResponseBytes) {
    throw HelperFault(HelperErrorCode::resourceLimit, "The helper response exceeds the protocol limit.");
  }
  return encoded;
}

}  // namespace quorvantelmic
