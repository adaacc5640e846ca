// Publication of a whole output set under one shared collision index.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <set>

#include "helper_core/file_access/descriptor_digest.hpp"
#include "helper_core/file_access/system_calls.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"
#include "helper_core/staging/publication_broker.hpp"
#include "helper_core/staging/staging_broker.hpp"
#include "helper_core/staging/staging_internal.hpp"

namespace quorvantelmic {

using staging_detail::exclusiveRename;
using staging_detail::policyFault;

namespace {

constexpr mode_t permissionBits = S_IRWXU | S_IRWXG | S_IRWXO;
constexpr const char* partialRollback = "A partial publication set could not be rolled back exactly.";

bool validSize(std::int64_t size) { return size >= 1 && size <= HelperLimits::maximumOutputBytes; }

bool isRegularWithContent(BorrowedFd directory, const std::string& name, const FileIdentity& expected) {
  struct stat status {};
  return ::fstatat(directory.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode) &&
         FileIdentity::of(status).sameContentStamp(expected);
}

// Puts every pinned member back under its staged name while its pin name still
// holds the member's file; results are deliberately ignored.
void restorePins(BorrowedFd staging, const std::vector<PinnedSetOutput>& pinned) noexcept {
  for (const PinnedSetOutput& member : pinned) {
    if (isRegularWithContent(staging, member.pinnedName, member.expectedIdentity)) {
      (void)exclusiveRename(staging, member.pinnedName, staging, member.arguments.outputName);
    }
  }
}

}  // namespace

FileIdentity PublicationBroker::observedOutputIdentity(BorrowedFd descriptor, const FileIdentity& fallback) noexcept {
  struct stat status {};
  if (::fstat(descriptor.get(), &status) == 0 && S_ISREG(status.st_mode)) return FileIdentity::of(status);
  return fallback;
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
    struct stat status {};
    if (::fchmod(member.descriptor.get(), stagedOutputPermissions) != 0 || ::fstat(member.descriptor.get(), &status) != 0 ||
        !S_ISREG(status.st_mode) || status.st_uid != ::geteuid() ||
        (status.st_mode & permissionBits) != stagedOutputPermissions) {
      policyFault("Staged output permissions could not be restored after rollback.");
    }
    if (retryOnInterrupt([&] { return ::fsync(member.descriptor.get()); }) != 0) {
      policyFault("A staged output could not be synchronized after rollback.");
    }
  }
  (void)retryOnInterrupt([&] { return ::fsync(destinationDescriptor.get()); });
  return true;
}

PublishedOutputSet PublicationBroker::publishSet(const PublishOutputSetArguments& arguments) const {
  if (arguments.destinationPath != "/dev/fd/3") policyFault("Publication requires the inherited destination descriptor.");
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

  const FileIdentity destinationIdentity(arguments.destinationIdentity);
  const FileIdentity stagingIdentity(arguments.stagingIdentity);
  const FileIdentity ownerIdentity(arguments.ownerIdentity);
  constexpr const char* sameVolume = "The publication identities do not satisfy the same-volume policy.";
  if (stagingIdentity.device != destinationIdentity.device || ownerIdentity.device != destinationIdentity.device) {
    policyFault(sameVolume);
  }

  std::vector<StagedOutputExtension> extensions;
  std::vector<FileIdentity> identities;
  std::int64_t totalBytes = 0;
  for (const PublishOutputSetMember& member : arguments.outputs) {
    const auto extension = stagedOutputExtensionFromRawValue(member.outputExtension);
    const auto stagedExtension = parseStagedOutputName(member.outputName);
    if (!extension || !stagedExtension || *extension != *stagedExtension) {
      throw HelperFault(HelperErrorCode::invalidRequest, "A publication output extension is invalid.");
    }
    validateSha256(member.outputSha256);
    validateOutputBaseName(member.outputBaseName);
    const FileIdentity identity(member.outputIdentity);
    if (identity.device != destinationIdentity.device || !validSize(identity.size)) policyFault(sameVolume);
    totalBytes += identity.size;
    if (totalBytes > HelperLimits::maximumOutputBytes) {
      throw HelperFault(HelperErrorCode::resourceLimit, "The publication output set exceeds its aggregate byte limit.");
    }
    extensions.push_back(*extension);
    identities.push_back(identity);
  }
  {
    std::set<std::string> folded;
    for (std::size_t index = 0; index < arguments.outputs.size(); ++index) {
      folded.insert(foldedName(candidateName(arguments.outputs[index].outputBaseName, 1, extensions[index])));
    }
    if (folded.size() != arguments.outputs.size()) {
      throw HelperFault(HelperErrorCode::invalidRequest, "The publication output names are not distinct.");
    }
  }

  const UniqueFd destination = StagingBroker(inheritedDestinationDescriptor_).openInheritedDestination(destinationIdentity);
  const UniqueFd staging(retryOnInterrupt([&] {
    return ::openat(destination.get(), arguments.stagingName.c_str(), O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC);
  }));
  if (!staging) policyFault("The staging directory is unavailable under the publication policy.");
  {
    struct stat status {};
    if (::fstat(staging.get(), &status) != 0 || !S_ISDIR(status.st_mode) ||
        !(FileIdentity::of(status) == stagingIdentity)) {
      policyFault("The staging directory identity changed before publication.");
    }
    if (status.st_uid != ::geteuid() || (status.st_mode & permissionBits) != S_IRWXU) {
      policyFault("The staging directory is not private to the current user.");
    }
  }
  std::vector<std::string> outputNames;
  for (const PublishOutputSetMember& member : arguments.outputs) outputNames.push_back(member.outputName);
  verifyOwnerRecord(staging.borrow(), ownerIdentity, StagingBroker::encodedOwnerRecord(arguments.stagingId, outputNames));
  {
    std::vector<std::string> expected{std::string(ownerRecordName)};
    expected.insert(expected.end(), outputNames.begin(), outputNames.end());
    StagingBroker::requireExactInventory(staging.borrow(), expected);
  }

  std::vector<PinnedSetOutput> pinned;
  pinned.reserve(arguments.outputs.size());
  bool restoreOnFailure = true;
  std::vector<std::string> displayNames;
  std::vector<std::string> finalPaths;
  std::int64_t collisionIndex = 1;
  bool destinationSynchronized = false;
  try {
    for (std::size_t index = 0; index < arguments.outputs.size(); ++index) {
      const PublishOutputSetMember& member = arguments.outputs[index];
      UniqueFd output(retryOnInterrupt([&] {
        return ::openat(staging.get(), member.outputName.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
      }));
      if (!output) policyFault("A staged output is unavailable under the publication policy.");
      constexpr const char* noLongerMatches = "A staged output no longer matches its validated file.";
      struct stat status {};
      if (::fstat(output.get(), &status) != 0 || !S_ISREG(status.st_mode) || !validSize(status.st_size) ||
          !(FileIdentity::of(status) == identities[index]) || status.st_nlink != 1 ||
          (status.st_mode & permissionBits) != stagedOutputPermissions) {
        policyFault(noLongerMatches);
      }
      if (DescriptorDigest::sha256(output.borrow(), HelperLimits::maximumOutputBytes) != member.outputSha256) {
        policyFault(noLongerMatches);
      }
      if (retryOnInterrupt([&] { return ::fsync(output.get()); }) != 0) {
        policyFault("A staged output could not be synchronized before publication.");
      }
      std::string pin =
          pinValidatedOutput(staging.borrow(), member.outputName, identities[index], output.borrow(), member.outputSha256);
      pinned.push_back(PinnedSetOutput{member, extensions[index], identities[index], std::move(output), std::move(pin)});
    }
    verifyDirectoryDescriptor(destination.borrow(), destinationIdentity, true,
                              "The destination changed before publication.");

    for (;; ++collisionIndex) {
      if (collisionIndex > maximumCollisionIndex) {
        throw HelperFault(HelperErrorCode::commitExhausted,
                          "No collision-safe destination name set remained available.");
      }
      displayNames.clear();
      finalPaths.clear();
      for (const PinnedSetOutput& member : pinned) {
        displayNames.push_back(candidateName(member.arguments.outputBaseName, collisionIndex, member.outputExtension));
        finalPaths.push_back(joinedFinalPath(arguments.destinationDisplayPath, displayNames.back()));
      }
      bool taken = false;
      for (const std::string& name : displayNames) {
        struct stat status {};
        if (::fstatat(destination.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
          taken = true;
          break;
        }
        if (errno != ENOENT) policyFault("A destination publication name could not be inspected.");
      }
      if (taken) continue;

      std::size_t linked = 0;
      int linkError = 0;
      for (; linked < pinned.size(); ++linked) {
        if (beforeSetLink_) beforeSetLink_(destination.borrow(), displayNames[linked]);
        if (retryOnInterrupt([&] {
              return ::linkat(staging.get(), pinned[linked].pinnedName.c_str(), destination.get(),
                              displayNames[linked].c_str(), 0);
            }) != 0) {
          linkError = errno;
          break;
        }
      }
      if (linked == pinned.size()) break;

      // Undo this attempt's links, last first, before deciding what to do.
      bool exact = true;
      for (std::size_t index = linked; index-- > 0;) {
        try {
          if (!removeEntryIfStillOwned(destination.borrow(), displayNames[index], pinned[index].expectedIdentity,
                                       pinned[index].arguments.outputSha256)) {
            exact = false;
          }
        } catch (...) {
          exact = false;
        }
      }
      if (!exact) policyFault(partialRollback);
      (void)retryOnInterrupt([&] { return ::fsync(destination.get()); });
      if (linkError != EEXIST) policyFault("A validated output could not be linked into the destination.");
    }

    try {
      for (std::size_t index = 0; index < pinned.size(); ++index) {
        const PinnedSetOutput& member = pinned[index];
        setOutputPermissions(member.descriptor.borrow(), publishedOutputPermissions,
                             "A committed output could not be made owner-writable.");
        observe(PublicationPhase::linked, destination.borrow(), displayNames[index]);
        if (!isRegularWithContent(destination.borrow(), displayNames[index], member.expectedIdentity)) {
          policyFault("A committed output identity does not match validation.");
        }
        verifyOutput(member.descriptor.borrow(), member.expectedIdentity, false, {2}, publishedOutputPermissions,
                     member.arguments.outputSha256, "A staged output changed during publication.");
        if (retryOnInterrupt([&] { return ::fsync(member.descriptor.get()); }) != 0) {
          policyFault("A committed output could not be synchronized.");
        }
      }
      verifyDirectoryDescriptor(destination.borrow(), destinationIdentity, false,
                                "The destination changed during publication.");
      destinationSynchronized = synchronizeDirectory(destination.borrow());
    } catch (...) {
      if (!rollbackPreparedSetBeforeCommit(pinned, displayNames, destination.borrow())) policyFault(partialRollback);
      throw;
    }
  } catch (...) {
    if (restoreOnFailure) restorePins(staging.borrow(), pinned);
    throw;
  }

  // Commit point: every member is published and stays so.
  restoreOnFailure = false;
  for (const std::string& name : displayNames) observe(PublicationPhase::synchronized, destination.borrow(), name);

  PublishedOutputSet result;
  result.collisionIndex = collisionIndex;
  result.stagingCleanupPending = false;
  bool removedAny = false;
  for (const PinnedSetOutput& member : pinned) {
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
    struct stat status {};
    if (::fstatat(staging.get(), member.arguments.outputName.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 ||
        errno != ENOENT) {
      result.stagingCleanupPending = true;
    }
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
  for (std::size_t index = 0; index < pinned.size(); ++index) {
    const PinnedSetOutput& member = pinned[index];
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
  for (std::size_t index = 0; index < pinned.size(); ++index) {
    const PinnedSetOutput& member = pinned[index];
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
