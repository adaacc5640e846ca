// Publication of one staged output.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

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

bool validSize(std::int64_t size) { return size >= 1 && size <= HelperLimits::maximumOutputBytes; }

// Whether `pin` in the staging directory is still a name of the file open as
// `output`.
bool pinStillLinks(BorrowedFd staging, const std::string& pin, BorrowedFd output) {
  struct stat named {};
  struct stat open {};
  return ::fstatat(staging.get(), pin.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(named.st_mode) &&
         ::fstat(output.get(), &open) == 0 && named.st_dev == open.st_dev && named.st_ino == open.st_ino &&
         open.st_nlink >= 2;
}

// Puts a pinned output back under its staged name, but only while the pin
// name still holds the output's file; the result is deliberately ignored.
void restorePin(BorrowedFd staging, const std::string& pin, const std::string& stagedName,
                const FileIdentity& expected) noexcept {
  struct stat status {};
  if (::fstatat(staging.get(), pin.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode) ||
      !FileIdentity::of(status).sameContentStamp(expected)) {
    return;
  }
  (void)exclusiveRename(staging, pin, staging, stagedName);
}

bool isRegularWithContent(BorrowedFd directory, const std::string& name, const FileIdentity& expected) {
  struct stat status {};
  return ::fstatat(directory.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode) &&
         FileIdentity::of(status).sameContentStamp(expected);
}

}  // namespace

PublishedOutput PublicationBroker::publish(const PublishOutputArguments& arguments) const {
  if (arguments.destinationPath != "/dev/fd/3") policyFault("Publication requires the inherited destination descriptor.");
  const std::optional<StagedOutputExtension> extension = stagedOutputExtensionFromRawValue(arguments.outputExtension);
  const std::optional<StagedOutputExtension> stagedExtension = parseStagedOutputName(arguments.outputName);
  if (!extension || !stagedExtension || *extension != *stagedExtension) {
    throw HelperFault(HelperErrorCode::invalidRequest, "The output extension is not recognized.");
  }
  StagingBroker::validateStagingName(arguments.stagingName);
  StagingBroker::validateStagingId(arguments.stagingId);
  validateSha256(arguments.outputSha256);
  validateOutputBaseName(arguments.outputBaseName);

  const FileIdentity destinationIdentity(arguments.destinationIdentity);
  const FileIdentity stagingIdentity(arguments.stagingIdentity);
  const FileIdentity ownerIdentity(arguments.ownerIdentity);
  const FileIdentity outputIdentity(arguments.outputIdentity);
  if (stagingIdentity.device != destinationIdentity.device || ownerIdentity.device != destinationIdentity.device ||
      outputIdentity.device != destinationIdentity.device || !validSize(outputIdentity.size)) {
    policyFault("The publication identities do not satisfy the same-volume policy.");
  }
  const std::string& sha256 = arguments.outputSha256;

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
  verifyOwnerRecord(staging.borrow(), ownerIdentity,
                    StagingBroker::encodedOwnerRecord(arguments.stagingId, {arguments.outputName}));
  StagingBroker::requireExactInventory(staging.borrow(), {std::string(ownerRecordName), arguments.outputName});

  const UniqueFd output(retryOnInterrupt([&] {
    return ::openat(staging.get(), arguments.outputName.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  }));
  if (!output) policyFault("The staged output is unavailable under the publication policy.");
  {
    constexpr const char* noLongerMatches = "The staged output no longer matches the validated file.";
    struct stat status {};
    if (::fstat(output.get(), &status) != 0 || !S_ISREG(status.st_mode) || !validSize(status.st_size) ||
        status.st_dev != destinationIdentity.device || !(FileIdentity::of(status) == outputIdentity) ||
        status.st_nlink != 1 || (status.st_mode & permissionBits) != stagedOutputPermissions) {
      policyFault(noLongerMatches);
    }
    if (DescriptorDigest::sha256(output.borrow(), HelperLimits::maximumOutputBytes) != sha256) {
      policyFault(noLongerMatches);
    }
  }
  if (retryOnInterrupt([&] { return ::fsync(output.get()); }) != 0) {
    policyFault("The staged output could not be synchronized before publication.");
  }

  const std::string pin = pinValidatedOutput(staging.borrow(), arguments.outputName, outputIdentity, output.borrow(), sha256);
  bool restorePinOnFailure = true;
  const auto putBack = [&] {
    if (restorePinOnFailure) restorePin(staging.borrow(), pin, arguments.outputName, outputIdentity);
  };

  PublishedOutput result;
  // Everything up to the link leaves the destination unchanged.
  try {
    result.collisionIndex = 1;
    result.displayName = candidateName(arguments.outputBaseName, 1, *extension);
    result.finalPath = joinedFinalPath(arguments.destinationDisplayPath, result.displayName);
    for (;;) {
      verifyDirectoryDescriptor(destination.borrow(), destinationIdentity, true,
                                "The destination changed before publication.");
      if (retryOnInterrupt([&] {
            return ::linkat(staging.get(), pin.c_str(), destination.get(), result.displayName.c_str(), 0);
          }) == 0) {
        break;
      }
      if (errno != EEXIST) policyFault("The validated output could not be linked into the destination.");
      if (result.collisionIndex >= maximumCollisionIndex) {
        throw HelperFault(HelperErrorCode::commitExhausted, "No collision-safe destination name remained available.");
      }
      ++result.collisionIndex;
      result.displayName = candidateName(arguments.outputBaseName, result.collisionIndex, *extension);
      result.finalPath = joinedFinalPath(arguments.destinationDisplayPath, result.displayName);
    }
  } catch (...) {
    putBack();
    throw;
  }

  // Undoes the link after a failure before the commit point. Returns a result
  // when the output turns out to be published after all.
  const auto rollBack = [&](std::exception_ptr failure) -> PublishedOutput {
    bool removed = false;
    try {
      removed = removeEntryIfStillOwned(destination.borrow(), result.displayName, outputIdentity, sha256);
    } catch (...) {
      removed = false;
    }
    if (removed) {
      try {
        setOutputPermissions(output.borrow(), stagedOutputPermissions,
                             "The staged output permissions could not be restored after rollback.");
        if (retryOnInterrupt([&] { return ::fsync(output.get()); }) != 0) {
          policyFault("The staged output could not be synchronized after rollback.");
        }
        try {
          (void)synchronizeDirectory(destination.borrow());
        } catch (...) {
        }
      } catch (...) {
        putBack();
        throw;
      }
      putBack();
      std::rethrow_exception(failure);
    }
    // The destination entry stayed: if it is still whole, the output is
    // published after all and the staging directory needs cleanup. That is
    // only true while the display name still leads to the output itself; a
    // name that now holds something else is not reported as our publication.
    FileIdentity committed;
    try {
      committed = currentOutputIdentity(output.borrow(), outputIdentity, sha256);
    } catch (...) {
      putBack();
      throw;
    }
    putBack();
    struct stat named {};
    if (::fstatat(destination.get(), result.displayName.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(named.st_mode) || !FileIdentity::of(named).sameObject(committed)) {
      std::rethrow_exception(failure);
    }
    PublishedOutput published = result;
    published.directorySyncSupported = false;
    published.stagingCleanupPending = true;
    published.committedIdentity = committed;
    return published;
  };

  bool destinationSynchronized = false;
  try {
    setOutputPermissions(output.borrow(), publishedOutputPermissions,
                         "The committed output could not be made owner-writable.");
    observe(PublicationPhase::linked, destination.borrow(), result.displayName);
    if (!isRegularWithContent(destination.borrow(), result.displayName, outputIdentity)) {
      policyFault("The committed output identity does not match validation.");
    }
    verifyOutput(output.borrow(), outputIdentity, false, {2}, publishedOutputPermissions, sha256,
                 "The staged output changed during publication.");
    verifyDirectoryDescriptor(destination.borrow(), destinationIdentity, false,
                              "The destination changed during publication.");
    if (retryOnInterrupt([&] { return ::fsync(output.get()); }) != 0) {
      policyFault("The committed output could not be synchronized.");
    }
    destinationSynchronized = synchronizeDirectory(destination.borrow());
  } catch (...) {
    return rollBack(std::current_exception());
  }

  // Commit point: the output is published and stays so.
  restorePinOnFailure = false;
  observe(PublicationPhase::synchronized, destination.borrow(), result.displayName);

  result.stagingCleanupPending = true;
  bool stagingSynchronized = true;
  bool removed = false;
  try {
    removed = removeEntryIfStillOwned(staging.borrow(), pin, outputIdentity, sha256);
  } catch (...) {
    removed = false;
  }
  if (removed) {
    try {
      stagingSynchronized = synchronizeDirectory(staging.borrow());
      result.stagingCleanupPending = false;
    } catch (...) {
      stagingSynchronized = true;
    }
  }
  {
    struct stat status {};
    if (::fstatat(staging.get(), arguments.outputName.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) {
      result.stagingCleanupPending = true;
    }
  }
  // Final verification: anything amiss only asks for a later cleanup.
  try {
    if (!isRegularWithContent(destination.borrow(), result.displayName, outputIdentity)) {
      result.stagingCleanupPending = true;
    }
    if (result.stagingCleanupPending) {
      verifyOutput(output.borrow(), outputIdentity, false, {1, 2}, publishedOutputPermissions, sha256, "");
    } else {
      verifyOutput(output.borrow(), outputIdentity, false, {1}, publishedOutputPermissions, sha256, "");
    }
    verifyDirectoryDescriptor(destination.borrow(), destinationIdentity, false, "");
  } catch (...) {
    result.stagingCleanupPending = true;
  }

  try {
    result.committedIdentity = currentOutputIdentity(output.borrow(), outputIdentity, sha256);
  } catch (...) {
    // Past the commit point the destination entry may be the output's only
    // name: removing it would destroy the user's file. It is rolled back only
    // while the pin, a second link of the same file, is proven to remain; the
    // pin may be gone even though we did not remove it (another process of
    // the same user deleted it).
    if (removed || !pinStillLinks(staging.borrow(), pin, output.borrow())) throw;
    return rollBack(std::current_exception());
  }
  result.directorySyncSupported = destinationSynchronized && stagingSynchronized;
  return result;
}

}  // namespace quorvantelmic
