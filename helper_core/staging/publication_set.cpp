// Publication of a whole output set under one shared collision index.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <set>

#include "helper_core/file_access/descriptor_digest.hpp"
#include "helper_core/file_access/directory_entries.hpp"
#include "helper_core/file_access/system_calls.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"
#include "helper_core/protocol/inherited_descriptors.hpp"
#include "helper_core/staging/publication_broker.hpp"
#include "helper_core/staging/staging_broker.hpp"
#include "helper_core/staging/staging_internal.hpp"

namespace quorvantelmic {

using staging_detail::policyFault;

namespace {

constexpr const char* partialRollback = "A partial publication set could not be rolled back exactly.";

bool validSize(std::int64_t size) { return size >= 1 && size <= HelperLimits::maximumOutputBytes; }

bool isRegularWithContent(BorrowedFd directory, const std::string& name, const FileIdentity& expected) {
  const std::optional<struct stat> status = statEntry(directory, name);
  return status && S_ISREG(status->st_mode) && FileIdentity::of(*status).sameContentStamp(expected);
}

// The members pinned so far. Unless committed, each goes back under its
// staged name on the way out, while its pin name still holds its file.
class PinnedSet {
 public:
  explicit PinnedSet(BorrowedFd staging) : staging_(staging) {}
  PinnedSet(const PinnedSet&) = delete;
  PinnedSet& operator=(const PinnedSet&) = delete;
  ~PinnedSet() {
    if (committed_) return;
    for (const PinnedSetOutput& member : members) {
      if (isRegularWithContent(staging_, member.pinnedName, member.expectedIdentity)) {
        (void)renameExclusively(staging_, member.pinnedName, staging_, member.arguments.outputName);
      }
    }
  }
  void commit() noexcept { committed_ = true; }

  std::vector<PinnedSetOutput> members;

 private:
  BorrowedFd staging_;
  bool committed_ = false;
};

// What a set publication request has once its arguments are proven well formed.
struct SetPublicationRequest {
  FileIdentity destinationIdentity;
  FileIdentity stagingIdentity;
  FileIdentity ownerIdentity;
  std::vector<StagedOutputExtension> extensions;
  std::vector<FileIdentity> identities;
};

SetPublicationRequest validated(const PublishOutputSetArguments& arguments) {
  if (arguments.destinationPath != inheritedDescriptorPath) {
    policyFault("Publication requires the inherited destination descriptor.");
  }
  {
    std::set<std::string_view> names;
    for (const PublishOutputSetMember& member : arguments.outputs) names.insert(member.outputName);
    if (arguments.outputs.empty() ||
        arguments.outputs.size() > static_cast<std::size_t>(HelperLimits::maximumOutputSetFiles) ||
        names.size() != arguments.outputs.size()) {
      throw HelperFault(HelperErrorCode::invalidRequest, "The publication output inventory is invalid.");
    }
  }
  StagingBroker::validateStagingName(arguments.stagingName);
  StagingBroker::validateStagingId(arguments.stagingId);

  SetPublicationRequest request{FileIdentity(arguments.destinationIdentity), FileIdentity(arguments.stagingIdentity),
                                FileIdentity(arguments.ownerIdentity), {}, {}};
  const dev_t device = request.destinationIdentity.device;
  constexpr const char* sameVolume = "The publication identities do not satisfy the same-volume policy.";
  if (request.stagingIdentity.device != device || request.ownerIdentity.device != device) policyFault(sameVolume);

  std::int64_t totalBytes = 0;
  for (const PublishOutputSetMember& member : arguments.outputs) {
    const auto extension = stagedOutputExtensionFromRawValue(member.outputExtension);
    const auto stagedExtension = parseStagedOutputName(member.outputName);
    if (!extension || !stagedExtension || *extension != *stagedExtension) {
      throw HelperFault(HelperErrorCode::invalidRequest, "A publication output extension is invalid.");
    }
    PublicationBroker::validateSha256(member.outputSha256);
    PublicationBroker::validateOutputBaseName(member.outputBaseName);
    const FileIdentity identity(member.outputIdentity);
    if (identity.device != device || !validSize(identity.size)) policyFault(sameVolume);
    totalBytes += identity.size;
    if (totalBytes > HelperLimits::maximumOutputBytes) {
      throw HelperFault(HelperErrorCode::resourceLimit, "The publication output set exceeds its aggregate byte limit.");
    }
    request.extensions.push_back(*extension);
    request.identities.push_back(identity);
  }
  std::set<std::string> folded;
  for (std::size_t index = 0; index < arguments.outputs.size(); ++index) {
    folded.insert(PublicationBroker::foldedName(
        PublicationBroker::candidateName(arguments.outputs[index].outputBaseName, 1, request.extensions[index])));
  }
  if (folded.size() != arguments.outputs.size()) {
    throw HelperFault(HelperErrorCode::invalidRequest, "The publication output names are not distinct.");
  }
  return request;
}

}  // namespace

FileIdentity PublicationBroker::observedOutputIdentity(BorrowedFd descriptor, const FileIdentity& fallback) noexcept {
  const std::optional<struct stat> status = statDescriptor(descriptor);
  return status && S_ISREG(status->st_mode) ? FileIdentity::of(*status) : fallback;
}

bool PublicationBroker::rollbackPreparedSetBeforeCommit(std::vector<PinnedSetOutput>& outputs,
                                                        const std::vector<std::string>& displayNames,
                                                        BorrowedFd destinationDescriptor) {
  bool exact = true;
  for (std::size_t index = outputs.size(); index-- > 0;) {
    try {
      if (!removeEntryIfStillOwned(destinationDescriptor, displayNames[index], outputs[index].expectedIdentity,
                                   outputs[index].arguments.outputSha256)) {
        exact = false;
      }
    } catch (...) {
      exact = false;
    }
  }
  if (!exact) return false;
  for (PinnedSetOutput& member : outputs) {
    setOutputPermissions(member.descriptor.borrow(), stagedOutputPermissions,
                         "Staged output permissions could not be restored after rollback.");
    if (synchronizeFile(member.descriptor.borrow()) != 0) {
      policyFault("A staged output could not be synchronized after rollback.");
    }
  }
  (void)synchronizeFile(destinationDescriptor);
  return true;
}

PublishedOutputSet PublicationBroker::publishSet(const PublishOutputSetArguments& arguments) const {
  // Validate: nothing is opened until every argument is well formed.
  const SetPublicationRequest request = validated(arguments);

  // Open and prove the destination, the staging directory, its ownership
  // record and inventory.
  const UniqueFd destination =
      StagingBroker(inheritedDestinationDescriptor_).openInheritedDestination(request.destinationIdentity);
  const UniqueFd staging =
      staging_detail::openStagingForPublication(destination.borrow(), arguments.stagingName, request.stagingIdentity);
  std::vector<std::string> outputNames;
  for (const PublishOutputSetMember& member : arguments.outputs) outputNames.push_back(member.outputName);
  verifyOwnerRecord(staging.borrow(), request.ownerIdentity,
                    StagingBroker::encodedOwnerRecord(arguments.stagingId, outputNames));
  {
    std::vector<std::string> expected{std::string(ownerRecordName)};
    expected.insert(expected.end(), outputNames.begin(), outputNames.end());
    StagingBroker::requireExactInventory(staging.borrow(), expected);
  }

  // Pin every member after proving it: until the commit point, leaving this
  // function puts every pinned member back under its staged name.
  PinnedSet pinned(staging.borrow());
  pinned.members.reserve(arguments.outputs.size());
  for (std::size_t index = 0; index < arguments.outputs.size(); ++index) {
    const PublishOutputSetMember& member = arguments.outputs[index];
    UniqueFd output = staging_detail::openValidatedOutput(
        staging.borrow(), member.outputName, request.identities[index], member.outputSha256,
        {"A staged output is unavailable under the publication policy.",
         "A staged output no longer matches its validated file.",
         "A staged output could not be synchronized before publication."});
    std::string pin =
        pinValidatedOutput(staging.borrow(), member.outputName, request.identities[index], output.borrow(),
                           member.outputSha256);
    pinned.members.push_back(
        PinnedSetOutput{member, request.extensions[index], request.identities[index], std::move(output), std::move(pin)});
  }
  std::vector<PinnedSetOutput>& members = pinned.members;
  verifyDirectoryDescriptor(destination.borrow(), request.destinationIdentity, true,
                            "The destination changed before publication.");

  // Link every member under the first collision index free for all of them.
  // An attempt that meets a taken name removes its own links, last first,
  // before it moves on; a failure leaves the destination as it was.
  std::vector<std::string> displayNames;
  std::vector<std::string> finalPaths;
  std::int64_t collisionIndex = 1;
  for (;; ++collisionIndex) {
    if (collisionIndex > maximumCollisionIndex) {
      throw HelperFault(HelperErrorCode::commitExhausted, "No collision-safe destination name set remained available.");
    }
    displayNames.clear();
    finalPaths.clear();
    for (const PinnedSetOutput& member : members) {
      displayNames.push_back(candidateName(member.arguments.outputBaseName, collisionIndex, member.outputExtension));
      finalPaths.push_back(joinedFinalPath(arguments.destinationDisplayPath, displayNames.back()));
    }
    bool taken = false;
    for (const std::string& name : displayNames) {
      if (statEntry(destination.borrow(), name)) {
        taken = true;
        break;
      }
      if (errno != ENOENT) policyFault("A destination publication name could not be inspected.");
    }
    if (taken) continue;

    std::size_t linked = 0;
    int linkError = 0;
    for (; linked < members.size(); ++linked) {
      if (beforeSetLink_) beforeSetLink_(destination.borrow(), displayNames[linked]);
      if (linkEntry(staging.borrow(), members[linked].pinnedName, destination.borrow(), displayNames[linked]) != 0) {
        linkError = errno;
        break;
      }
    }
    if (linked == members.size()) break;

    bool exact = true;
    for (std::size_t index = linked; index-- > 0;) {
      try {
        if (!removeEntryIfStillOwned(destination.borrow(), displayNames[index], members[index].expectedIdentity,
                                     members[index].arguments.outputSha256)) {
          exact = false;
        }
      } catch (...) {
        exact = false;
      }
    }
    if (!exact) policyFault(partialRollback);
    (void)synchronizeFile(destination.borrow());
    if (linkError != EEXIST) policyFault("A validated output could not be linked into the destination.");
  }

  // Verify every linked name and make the members durable under them. A
  // failure removes every link again; when that cannot be done exactly, the
  // client is told so instead of the first failure.
  bool destinationSynchronized = false;
  try {
    for (std::size_t index = 0; index < members.size(); ++index) {
      const PinnedSetOutput& member = members[index];
      setOutputPermissions(member.descriptor.borrow(), publishedOutputPermissions,
                           "A committed output could not be made owner-writable.");
      observe(PublicationPhase::linked, destination.borrow(), displayNames[index]);
      if (!isRegularWithContent(destination.borrow(), displayNames[index], member.expectedIdentity)) {
        policyFault("A committed output identity does not match validation.");
      }
      verifyOutput(member.descriptor.borrow(), member.expectedIdentity, false, {2}, publishedOutputPermissions,
                   member.arguments.outputSha256, "A staged output changed during publication.");
      if (synchronizeFile(member.descriptor.borrow()) != 0) {
        policyFault("A committed output could not be synchronized.");
      }
    }
    verifyDirectoryDescriptor(destination.borrow(), request.destinationIdentity, false,
                              "The destination changed during publication.");
    destinationSynchronized = synchronizeDirectory(destination.borrow());
  } catch (...) {
    if (!rollbackPreparedSetBeforeCommit(members, displayNames, destination.borrow())) policyFault(partialRollback);
    throw;
  }

  // Commit point: every member is published and stays so.
  pinned.commit();
  for (const std::string& name : displayNames) observe(PublicationPhase::synchronized, destination.borrow(), name);

  // Tidy up: remove the pins; anything amiss from here on only asks the
  // client for a later cleanup.
  PublishedOutputSet result;
  result.collisionIndex = collisionIndex;
  result.stagingCleanupPending = false;
  bool removedAny = false;
  for (const PinnedSetOutput& member : members) {
    try {
      if (removeEntryIfStillOwned(staging.borrow(), member.pinnedName, member.expectedIdentity,
                                  member.arguments.outputSha256)) {
        removedAny = true;
      } else {
        result.stagingCleanupPending = true;
      }
    } catch (...) {
      result.stagingCleanupPending = true;
    }
    if (!entryIsAbsent(staging.borrow(), member.arguments.outputName)) result.stagingCleanupPending = true;
  }
  bool stagingSynchronized = true;
  if (removedAny) {
    try {
      stagingSynchronized = synchronizeDirectory(staging.borrow());
    } catch (...) {
      stagingSynchronized = false;
      result.stagingCleanupPending = true;
    }
  }
  for (std::size_t index = 0; index < members.size(); ++index) {
    const PinnedSetOutput& member = members[index];
    try {
      if (!isRegularWithContent(destination.borrow(), displayNames[index], member.expectedIdentity)) {
        result.stagingCleanupPending = true;
      }
      constexpr const char* changed = "A committed output changed before publication completed.";
      if (result.stagingCleanupPending) {
        verifyOutput(member.descriptor.borrow(), member.expectedIdentity, false, {1, 2}, publishedOutputPermissions,
                     member.arguments.outputSha256, changed);
      } else {
        verifyOutput(member.descriptor.borrow(), member.expectedIdentity, false, {1}, publishedOutputPermissions,
                     member.arguments.outputSha256, changed);
      }
    } catch (...) {
      result.stagingCleanupPending = true;
    }
  }
  for (std::size_t index = 0; index < members.size(); ++index) {
    const PinnedSetOutput& member = members[index];
    FileIdentity committed;
    try {
      committed = currentOutputIdentity(member.descriptor.borrow(), member.expectedIdentity, member.arguments.outputSha256);
    } catch (...) {
      committed = observedOutputIdentity(member.descriptor.borrow(), member.expectedIdentity);
      result.stagingCleanupPending = true;
    }
    result.publishedOutputs.push_back(PublishedSetOutput{displayNames[index], finalPaths[index], committed});
  }
  result.directorySyncSupported = destinationSynchronized && stagingSynchronized;
  return result;
}

}  // namespace quorvantelmic
