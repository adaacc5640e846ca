// The decoded arguments of the six staging and publication requests. Strings are
// kept exactly as they arrived; the brokers check again what they rely on.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "helper_core/image/raster_types.hpp"
#include "helper_core/protocol/wire_records.hpp"

namespace quorvantelmic {

struct PrepareStagingArguments {
  std::string destinationPath;
  ProtocolFileIdentity destinationIdentity;
  std::string stagingId;
  std::string stagingName;
  std::string outputName;

  friend bool operator==(const PrepareStagingArguments&, const PrepareStagingArguments&) = default;
};

struct PrepareStagingSetArguments {
  std::string destinationPath;
  ProtocolFileIdentity destinationIdentity;
  std::string stagingId;
  std::string stagingName;
  std::vector<std::string> outputNames;

  friend bool operator==(const PrepareStagingSetArguments&, const PrepareStagingSetArguments&) = default;
};

struct CleanupStagingArguments {
  std::string destinationPath;
  ProtocolFileIdentity destinationIdentity;
  std::string stagingId;
  std::string stagingName;
  ProtocolFileIdentity stagingIdentity;
  ProtocolFileIdentity ownerIdentity;
  std::string outputName;
  // Both present or both absent.
  std::optional<ProtocolFileIdentity> outputIdentity;
  std::optional<std::string> outputSha256;

  friend bool operator==(const CleanupStagingArguments&, const CleanupStagingArguments&) = default;
};

struct StagedOutputBinding {
  std::string outputName;
  ProtocolFileIdentity identity;
  std::string sha256;

  friend bool operator==(const StagedOutputBinding&, const StagedOutputBinding&) = default;
};

struct CleanupStagingSetArguments {
  std::string destinationPath;
  ProtocolFileIdentity destinationIdentity;
  std::string stagingId;
  std::string stagingName;
  ProtocolFileIdentity stagingIdentity;
  ProtocolFileIdentity ownerIdentity;
  std::vector<std::string> outputNames;
  std::vector<StagedOutputBinding> outputs;

  friend bool operator==(const CleanupStagingSetArguments&, const CleanupStagingSetArguments&) = default;
};

struct PublishOutputArguments {
  std::string destinationPath;
  std::string destinationDisplayPath;
  ProtocolFileIdentity destinationIdentity;
  std::string stagingName;
  std::string stagingId;
  ProtocolFileIdentity stagingIdentity;
  ProtocolFileIdentity ownerIdentity;
  std::string outputName;
  ProtocolFileIdentity outputIdentity;
  std::string outputSha256;
  std::string outputBaseName;
  std::string outputExtension;  // the raw value of a StagedOutputExtension

  friend bool operator==(const PublishOutputArguments&, const PublishOutputArguments&) = default;
};

struct PublishOutputSetMember {
  std::string outputName;
  ProtocolFileIdentity outputIdentity;
  std::string outputSha256;
  std::string outputBaseName;
  std::string outputExtension;

  friend bool operator==(const PublishOutputSetMember&, const PublishOutputSetMember&) = default;
};

struct PublishOutputSetArguments {
  std::string destinationPath;
  std::string destinationDisplayPath;
  ProtocolFileIdentity destinationIdentity;
  std::string stagingName;
  std::string stagingId;
  ProtocolFileIdentity stagingIdentity;
  ProtocolFileIdentity ownerIdentity;
  std::vector<PublishOutputSetMember> outputs;

  friend bool operator==(const PublishOutputSetArguments&, const PublishOutputSetArguments&) = default;
};

}  // namespace quorvantelmic
