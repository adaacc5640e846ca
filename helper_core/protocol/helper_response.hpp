// One response line. The four always-present fields come first; every optional
// field is omitted from the JSON when absent, never written as null.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_identity.hpp"
#include "helper_core/protocol/helper_operation.hpp"
#include "helper_core/protocol/wire_records.hpp"

namespace quorvantelmic {

struct HelperResponse {
  std::int64_t protocolVersion = HelperIdentity::protocolVersion;
  std::string requestId;
  HelperOperation operation = HelperOperation::protocolFailure;
  bool ok = false;

  std::optional<std::string> helperVersion;
  std::optional<std::string> buildProfileId;
  std::optional<std::vector<std::string>> sourceTypeIdentifiers;
  std::optional<std::vector<std::string>> destinationTypeIdentifiers;
  std::optional<std::vector<HelperOperation>> supportedOperations;
  std::optional<ImageProbe> probe;
  std::optional<PDFProbe> pdfProbe;
  std::optional<std::vector<PDFOutputRecord>> outputs;
  std::optional<std::vector<PublishedOutputRecord>> publishedOutputs;
  std::optional<std::int64_t> byteLength;
  std::optional<std::string> sha256;
  std::optional<ProtocolFileIdentity> stagingIdentity;
  std::optional<ProtocolFileIdentity> ownerIdentity;
  std::optional<bool> removed;
  std::optional<std::string> displayName;
  std::optional<std::string> finalPath;
  std::optional<std::int64_t> collisionIndex;
  std::optional<bool> directorySyncSupported;
  std::optional<bool> stagingCleanupPending;
  std::optional<ProtocolFileIdentity> committedIdentity;
  std::optional<HelperErrorBody> error;

  friend bool operator==(const HelperResponse&, const HelperResponse&) = default;

  // A successful response of `operation` with only the always-present fields;
  // the per-operation constructors start from it.
  static HelperResponse success(std::string requestId, HelperOperation operation);

  static HelperResponse hello(std::string requestId);
  static HelperResponse capabilities(std::string requestId, std::vector<std::string> sourceTypeIdentifiers,
                                     std::vector<std::string> destinationTypeIdentifiers,
                                     std::vector<HelperOperation> supportedOperations);
  // The message is cut to its first 480 user-perceived characters.
  static HelperResponse failure(std::string requestId, HelperOperation operation, HelperErrorCode code,
                                std::string_view message);
};

// Serialises a response as one compact JSON object with keys sorted by bytes and
// "/" unescaped. Throws HelperFault resource-limit when the encoding is larger
// than the response limit; throws whatever the encoder throws when a value
// cannot be encoded (for example a string that is not UTF-8).
std::string encodeResponse(const HelperResponse& response);

}  // namespace quorvantelmic
