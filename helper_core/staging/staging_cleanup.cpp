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

  const std::string record = encodedOwnerRecord(stagingId, outputNames);
  {
    const UniqueFd owner = openOwnedEntry(staging.borrow(), std::string(ownerRecordName),
                                          EntryExpectation(expectedOwner).exactly().linkCount(1, 1));
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

  std::vector<std::string> expectedEntries{std::string(ownerRecordName)};
  expectedEntries.insert(expectedEntries.end(), present.begin(), present.end());
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
  observe(TestPoint::beforeEntryRemoval, staging.borrow(), ownerRecordName);
  removeOwnedRegularEntry(staging.borrow(), std::string(ownerRecordName), expectedOwner, record, std::nullopt);
  requireExactInventory(staging.borrow(), {});
  const bool stagingSynchronized = synchronizeDirectory(staging.borrow());

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
