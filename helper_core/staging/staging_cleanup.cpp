// Identity-bound removal of a staging directory and what is left in it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>

#include "helper_core/file_access/descriptor_digest.hpp"
#include "helper_core/file_access/directory_entries.hpp"
#include "helper_core/file_access/system_calls.hpp"
#include "helper_core/image/raster_types.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"
#include "helper_core/protocol/inherited_descriptors.hpp"
#include "helper_core/staging/publication_broker.hpp"
#include "helper_core/staging/staging_broker.hpp"
#include "helper_core/staging/staging_internal.hpp"

namespace quorvantelmic {

using staging_detail::policyFault;

namespace {

struct BoundOutput {
  FileIdentity identity;
  std::string sha256;
};

// Opens `name` in `directory` and proves that the name and the descriptor
// are the same file as expected; returns the open descriptor.
UniqueFd openOwnedEntry(BorrowedFd directory, const std::string& name, const EntryExpectation& expected) {
  UniqueFd entry = openEntryForReading(directory, name);
  if (!entry) policyFault("An owned staging entry is unavailable.");
  if (!nameLeadsTo(directory, name, entry.borrow(), expected)) policyFault("An owned staging entry changed.");
  return entry;
}

// A publication that committed but could not remove its pin afterwards
// leaves the published file's second name in the staging directory, under a
// pin or removal name of its own, and asks for cleanup. Removing that name
// loses nothing while the file keeps another: only such names that hold a
// regular file of ours with the published permissions and at least two links
// count as leftovers.
bool isPublicationLeftover(BorrowedFd staging, const std::string& name) {
  if (!name.starts_with(publicationPinPrefix) && !name.starts_with(publicationDeletePrefix)) return false;
  const std::optional<struct stat> status = statEntry(staging, name);
  return status && S_ISREG(status->st_mode) && status->st_uid == ::geteuid() &&
         (status->st_mode & (S_IRWXU | S_IRWXG | S_IRWXO)) == publishedOutputPermissions && status->st_nlink >= 2;
}

// Quarantines a publication leftover, proves it is still a second name of a
// published file, and removes that name; a failed proof moves it back.
void removePublicationLeftover(BorrowedFd staging, const std::string& name) {
  RenameBack putBack(staging,
                     renameToFreshName(staging, name, entryQuarantinePrefix,
                                       {"A unique staging-entry quarantine name could not be allocated.",
                                        "An owned staging entry could not be quarantined."}),
                     name);
  UniqueFd entry = openEntryForReading(staging, putBack.temporaryName());
  if (!entry) policyFault("An owned staging entry is unavailable.");
  const std::optional<struct stat> status = statDescriptor(entry.borrow());
  if (!status || !nameLeadsTo(staging, putBack.temporaryName(), entry.borrow(),
                              EntryExpectation(FileIdentity::of(*status))
                                  .exactly()
                                  .linkCount(2, static_cast<nlink_t>(-1))
                                  .mode(publishedOutputPermissions)
                                  .ownedByUs())) {
    policyFault("An owned staging entry changed.");
  }
  entry.reset();
  if (removeEntry(staging, putBack.temporaryName()) != 0) {
    policyFault("An identity-bound staging entry could not be removed.");
  }
  putBack.commit();
}

}  // namespace

CleanedStaging StagingBroker::cleanup(const CleanupStagingArguments& arguments) const {
  if (arguments.outputIdentity.has_value() != arguments.outputSha256.has_value()) {
    throw HelperFault(HelperErrorCode::invalidRequest, "The cleanup output binding is incomplete.");
  }
  std::vector<StagedOutputBinding> bindings;
  if (arguments.outputIdentity) {
    bindings.push_back(StagedOutputBinding{arguments.outputName, *arguments.outputIdentity, *arguments.outputSha256});
  }
  return cleanup(arguments.destinationPath, arguments.destinationIdentity, arguments.stagingId,
                 arguments.stagingName, arguments.stagingIdentity, arguments.ownerIdentity, {arguments.outputName},
                 bindings);
}

CleanedStaging StagingBroker::cleanup(std::string_view destinationPath,
                                      const ProtocolFileIdentity& destinationIdentity, std::string_view stagingId,
                                      std::string_view stagingName, const ProtocolFileIdentity& stagingIdentity,
                                      const ProtocolFileIdentity& ownerIdentity,
                                      const std::vector<std::string>& outputNames,
                                      const std::vector<StagedOutputBinding>& outputs) const {
  if (destinationPath != inheritedDescriptorPath) policyFault("Staging cleanup requires the inherited destination descriptor.");
  validateStagingName(stagingName);
  validateOutputNames(outputNames);
  validateStagingId(stagingId);

  {
    const std::set<std::string_view> planned(outputNames.begin(), outputNames.end());
    std::set<std::string_view> bound;
    bool valid = outputs.size() <= outputNames.size();
    for (const StagedOutputBinding& binding : outputs) {
      valid = valid && bound.insert(binding.outputName).second && planned.contains(binding.outputName);
    }
    if (!valid) throw HelperFault(HelperErrorCode::invalidRequest, "The cleanup output binding inventory is invalid.");
  }

  const FileIdentity expectedDestination(destinationIdentity);
  const FileIdentity expectedStaging(stagingIdentity);
  const FileIdentity expectedOwner(ownerIdentity);

  std::map<std::string, BoundOutput, std::less<>> table;
  std::int64_t totalBytes = 0;
  for (const StagedOutputBinding& binding : outputs) {
    if (!parseStagedOutputName(binding.outputName)) policyFault("The staged output name is invalid.");
    validateSha256(binding.sha256);
    const FileIdentity identity(binding.identity);
    if (identity.size < 1 || identity.size > HelperLimits::maximumOutputBytes) {
      throw HelperFault(HelperErrorCode::resourceLimit, "The cleanup output binding exceeds its byte limit.");
    }
    totalBytes += identity.size;
    if (totalBytes > HelperLimits::maximumOutputBytes) {
      throw HelperFault(HelperErrorCode::resourceLimit, "The cleanup output set exceeds its aggregate byte limit.");
    }
    table.emplace(binding.outputName, BoundOutput{identity, binding.sha256});
  }

  const UniqueFd destination = openInheritedDestination(expectedDestination);
  const std::string name(stagingName);
  const UniqueFd staging = openSubdirectory(destination.borrow(), name);
  if (!staging) policyFault("The owned staging directory is unavailable for cleanup.");
  verifyPrivateStagingDirectory(staging.borrow(), expectedStaging, expectedDestination.device);
  {
    const std::optional<struct stat> named = statEntry(destination.borrow(), name);
    if (!named || !S_ISDIR(named->st_mode) || !(FileIdentity::of(*named) == expectedStaging)) {
      policyFault("The staging directory identity changed.");
    }
  }

  // A cleanup that failed after it had removed everything but the directory
  // itself (its synchronisation or its own removal failed) put the empty
  // directory back, with no record left to prove it by. An empty private
  // directory under the staging name holds nothing to lose: it goes without.
  if (inventory(staging.borrow()).empty()) {
    RenameBack putBack(destination.borrow(), quarantineStagingRoot(destination.borrow(), name, expectedStaging), name);
    requireExactInventory(staging.borrow(), {});
    if (removeEntry(destination.borrow(), putBack.temporaryName(), true) != 0) {
      policyFault("The empty staging directory could not be removed.");
    }
    putBack.commit();
    return CleanedStaging{synchronizeDirectory(destination.borrow())};
  }

  const std::string record = encodedOwnerRecord(stagingId, outputNames);
  {
    // Device, inode, size and modification time, not the status-change time:
    // a cleanup that failed after it had quarantined the record moved it back,
    // which moves that time, and the parent still holds the identity
    // preparation reported. The bytes are proved below.
    const UniqueFd owner = openOwnedEntry(staging.borrow(), std::string(ownerRecordName),
                                          EntryExpectation(expectedOwner).linkCount(1, 1));
    verifyDescriptorBytes(owner.borrow(), record);
  }

  std::vector<std::string> present;
  for (const std::string& output : outputNames) {
    if (entryIsAbsent(staging.borrow(), output)) continue;
    const auto binding = table.find(output);
    if (binding == table.end()) policyFault("An unbound staged output prevents automatic cleanup.");
    const FileIdentity& expected = binding->second.identity;
    const UniqueFd entry = openOwnedEntry(staging.borrow(), output, EntryExpectation(expected).linkCount(1, 2));
    if (DescriptorDigest::sha256(entry.borrow(), HelperLimits::maximumOutputBytes) != binding->second.sha256) {
      policyFault("The staged output digest changed.");
    }
    present.push_back(output);
  }

  std::vector<std::string> leftovers;
  for (const std::string& entry : inventory(staging.borrow())) {
    if (isPublicationLeftover(staging.borrow(), entry)) leftovers.push_back(entry);
  }

  std::vector<std::string> expectedEntries{std::string(ownerRecordName)};
  expectedEntries.insert(expectedEntries.end(), present.begin(), present.end());
  expectedEntries.insert(expectedEntries.end(), leftovers.begin(), leftovers.end());
  requireExactInventory(staging.borrow(), expectedEntries);

  // From here on a failure moves the directory back under its staging name,
  // where a later cleanup can find it.
  RenameBack putBack(destination.borrow(), quarantineStagingRoot(destination.borrow(), name, expectedStaging), name);
  const std::string& quarantine = putBack.temporaryName();
  for (const std::string& output : present) {
    observe(TestPoint::beforeEntryRemoval, staging.borrow(), output);
    const BoundOutput& binding = table.find(output)->second;
    removeOwnedRegularEntry(staging.borrow(), output, binding.identity, std::nullopt, binding.sha256);
  }
  for (const std::string& leftover : leftovers) {
    observe(TestPoint::beforeEntryRemoval, staging.borrow(), leftover);
    removePublicationLeftover(staging.borrow(), leftover);
  }
  observe(TestPoint::beforeEntryRemoval, staging.borrow(), ownerRecordName);
  removeOwnedRegularEntry(staging.borrow(), std::string(ownerRecordName), expectedOwner, record, std::nullopt);
  requireExactInventory(staging.borrow(), {});
  // The record is gone, and with it the proof a later cleanup would need: a
  // failed synchronisation of the emptied directory, about to be removed
  // itself, is reported rather than undone.
  bool stagingSynchronized = false;
  try {
    stagingSynchronized = synchronizeDirectory(staging.borrow());
  } catch (const HelperFault&) {
    stagingSynchronized = false;
  }

  const std::optional<struct stat> emptied = statDescriptor(staging.borrow());
  if (!emptied) policyFault("The staging directory changed before final cleanup.");
  const std::optional<struct stat> quarantined = statEntry(destination.borrow(), quarantine);
  if (!quarantined || !S_ISDIR(quarantined->st_mode) || !(FileIdentity::of(*quarantined) == FileIdentity::of(*emptied))) {
    policyFault("The staging directory identity changed.");
  }
  if (removeEntry(destination.borrow(), quarantine, true) != 0) {
    policyFault("The empty staging directory could not be removed.");
  }
  putBack.commit();
  const bool destinationSynchronized = synchronizeDirectory(destination.borrow());
  return CleanedStaging{stagingSynchronized && destinationSynchronized};
}

}  // namespace quorvantelmic
