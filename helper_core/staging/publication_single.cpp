// Publication of one staged output.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

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

bool validSize(std::int64_t size) { return size >= 1 && size <= HelperLimits::maximumOutputBytes; }

bool isRegularWithContent(BorrowedFd directory, const std::string& name, const FileIdentity& expected) {
  const std::optional<struct stat> status = statEntry(directory, name);
  return status && S_ISREG(status->st_mode) && FileIdentity::of(*status).sameContentStamp(expected);
}

// Whether `pin` in the staging directory is still a name of the file open as
// `output`, besides its published name.
bool pinStillLinks(BorrowedFd staging, const std::string& pin, BorrowedFd output) {
  const std::optional<struct stat> named = statEntry(staging, pin);
  const std::optional<struct stat> open = statDescriptor(output);
  return named && open && S_ISREG(named->st_mode) && FileIdentity::of(*named).sameObject(FileIdentity::of(*open)) &&
         open->st_nlink >= 2;
}

// The staged output under its pin name. Unless committed, it goes back under
// its staged name on the way out, but only while the pin still holds the
// output's file: a name someone else reused is left alone.
class PinnedOutput {
 public:
  PinnedOutput(BorrowedFd staging, std::string pin, std::string stagedName, const FileIdentity& expected)
      : staging_(staging), pin_(std::move(pin)), stagedName_(std::move(stagedName)), expected_(expected) {}
  PinnedOutput(const PinnedOutput&) = delete;
  PinnedOutput& operator=(const PinnedOutput&) = delete;
  ~PinnedOutput() {
    if (!committed_ && isRegularWithContent(staging_, pin_, expected_)) {
      (void)renameExclusively(staging_, pin_, staging_, stagedName_);
    }
  }
  const std::string& name() const noexcept { return pin_; }
  void commit() noexcept { committed_ = true; }

 private:
  BorrowedFd staging_;
  std::string pin_;
  std::string stagedName_;
  FileIdentity expected_;
  bool committed_ = false;
};

// What a publication request has once its arguments are proven well formed.
struct SinglePublicationRequest {
  StagedOutputExtension extension;
  FileIdentity destinationIdentity;
  FileIdentity stagingIdentity;
  FileIdentity ownerIdentity;
  FileIdentity outputIdentity;
};

SinglePublicationRequest validated(const PublishOutputArguments& arguments) {
  if (arguments.destinationPath != inheritedDescriptorPath) {
    policyFault("Publication requires the inherited destination descriptor.");
  }
  const std::optional<StagedOutputExtension> extension = stagedOutputExtensionFromRawValue(arguments.outputExtension);
  const std::optional<StagedOutputExtension> stagedExtension = parseStagedOutputName(arguments.outputName);
  if (!extension || !stagedExtension || *extension != *stagedExtension) {
    throw HelperFault(HelperErrorCode::invalidRequest, "The output extension is not recognized.");
  }
  StagingBroker::validateStagingName(arguments.stagingName);
  StagingBroker::validateStagingId(arguments.stagingId);
  PublicationBroker::validateSha256(arguments.outputSha256);
  PublicationBroker::validateOutputBaseName(arguments.outputBaseName);

  SinglePublicationRequest request{*extension, FileIdentity(arguments.destinationIdentity),
                                   FileIdentity(arguments.stagingIdentity), FileIdentity(arguments.ownerIdentity),
                                   FileIdentity(arguments.outputIdentity)};
  const dev_t device = request.destinationIdentity.device;
  if (request.stagingIdentity.device != device || request.ownerIdentity.device != device ||
      request.outputIdentity.device != device || !validSize(request.outputIdentity.size)) {
    policyFault("The publication identities do not satisfy the same-volume policy.");
  }
  return request;
}

}  // namespace

PublishedOutput PublicationBroker::publish(const PublishOutputArguments& arguments) const {
  // Validate: nothing is opened until every argument is well formed.
  const SinglePublicationRequest request = validated(arguments);
  const FileIdentity& outputIdentity = request.outputIdentity;
  const std::string& sha256 = arguments.outputSha256;

  // Open and prove the destination, the staging directory, its ownership
  // record and inventory, and the staged output itself.
  const UniqueFd destination =
      StagingBroker(inheritedDestinationDescriptor_).openInheritedDestination(request.destinationIdentity);
  const UniqueFd staging =
      staging_detail::openStagingForPublication(destination.borrow(), arguments.stagingName, request.stagingIdentity);
  verifyOwnerRecord(staging.borrow(), request.ownerIdentity,
                    StagingBroker::encodedOwnerRecord(arguments.stagingId, {arguments.outputName}));
  StagingBroker::requireExactInventory(staging.borrow(), {std::string(ownerRecordName), arguments.outputName});
  const UniqueFd output = staging_detail::openValidatedOutput(
      staging.borrow(), arguments.outputName, outputIdentity, sha256,
      {"The staged output is unavailable under the publication policy.",
       "The staged output no longer matches the validated file.",
       "The staged output could not be synchronized before publication."});

  // Pin: from here until the commit point, leaving this function puts the
  // output back under its staged name.
  PinnedOutput pin(staging.borrow(),
                   pinValidatedOutput(staging.borrow(), arguments.outputName, outputIdentity, output.borrow(), sha256),
                   arguments.outputName, outputIdentity);

  // Link under the first free name. A failure here leaves the destination
  // unchanged.
  PublishedOutput result;
  result.collisionIndex = 1;
  for (;;) {
    result.displayName = candidateName(arguments.outputBaseName, result.collisionIndex, request.extension);
    result.finalPath = joinedFinalPath(arguments.destinationDisplayPath, result.displayName);
    verifyDirectoryDescriptor(destination.borrow(), request.destinationIdentity, true,
                              "The destination changed before publication.");
    if (linkEntry(staging.borrow(), pin.name(), destination.borrow(), result.displayName) == 0) break;
    if (errno != EEXIST) policyFault("The validated output could not be linked into the destination.");
    if (result.collisionIndex >= maximumCollisionIndex) {
      throw HelperFault(HelperErrorCode::commitExhausted, "No collision-safe destination name remained available.");
    }
    ++result.collisionIndex;
  }

  // Undoes the link after a failure before the commit point: the new name is
  // removed while it is provably ours, and the output regains its staged
  // permissions (the pin's guard then restores its staged name). Returns a
  // result when the link could not be removed and the output turns out to be
  // published after all.
  const auto rollBackLink = [&](std::exception_ptr failure) -> PublishedOutput {
    bool removed = false;
    try {
      removed = removeEntryIfStillOwned(destination.borrow(), result.displayName, outputIdentity, sha256);
    } catch (...) {
      removed = false;
    }
    if (removed) {
      setOutputPermissions(output.borrow(), stagedOutputPermissions,
                           "The staged output permissions could not be restored after rollback.");
      if (synchronizeFile(output.borrow()) != 0) {
        policyFault("The staged output could not be synchronized after rollback.");
      }
      try {
        (void)synchronizeDirectory(destination.borrow());
      } catch (...) {
      }
      std::rethrow_exception(failure);
    }
    // The destination entry stayed: if it is still whole, the output is
    // published after all and the staging directory needs cleanup. That is
    // only true while the display name still leads to the output itself; a
    // name that now holds something else is not reported as our publication.
    const FileIdentity committed = currentOutputIdentity(output.borrow(), outputIdentity, sha256);
    const std::optional<struct stat> named = statEntry(destination.borrow(), result.displayName);
    if (!named || !S_ISREG(named->st_mode) || !FileIdentity::of(*named).sameObject(committed)) {
      std::rethrow_exception(failure);
    }
    PublishedOutput published = result;
    published.directorySyncSupported = false;
    published.stagingCleanupPending = true;
    published.committedIdentity = committed;
    return published;
  };

  // Verify the linked name and make the output durable under it.
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
    verifyDirectoryDescriptor(destination.borrow(), request.destinationIdentity, false,
                              "The destination changed during publication.");
    if (synchronizeFile(output.borrow()) != 0) {
      policyFault("The committed output could not be synchronized.");
    }
    destinationSynchronized = synchronizeDirectory(destination.borrow());
  } catch (...) {
    return rollBackLink(std::current_exception());
  }

  // Commit point: the output is published and stays so.
  pin.commit();
  observe(PublicationPhase::synchronized, destination.borrow(), result.displayName);

  // Tidy up: remove the pin; anything amiss from here on only asks the client
  // for a later cleanup.
  result.stagingCleanupPending = true;
  bool stagingSynchronized = true;
  bool removed = false;
  try {
    removed = removeEntryIfStillOwned(staging.borrow(), pin.name(), outputIdentity, sha256);
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
  if (!entryIsAbsent(staging.borrow(), arguments.outputName)) result.stagingCleanupPending = true;
  try {
    if (!isRegularWithContent(destination.borrow(), result.displayName, outputIdentity)) {
      result.stagingCleanupPending = true;
    }
    if (result.stagingCleanupPending) {
      verifyOutput(output.borrow(), outputIdentity, false, {1, 2}, publishedOutputPermissions, sha256, "");
    } else {
      verifyOutput(output.borrow(), outputIdentity, false, {1}, publishedOutputPermissions, sha256, "");
    }
    verifyDirectoryDescriptor(destination.borrow(), request.destinationIdentity, false, "");
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
    if (removed || !pinStillLinks(staging.borrow(), pin.name(), output.borrow())) throw;
    return rollBackLink(std::current_exception());
  }
  result.directorySyncSupported = destinationSynchronized && stagingSynchronized;
  return result;
}

}  // namespace quorvantelmic
