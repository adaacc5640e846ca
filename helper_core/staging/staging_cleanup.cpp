// Identity-bound removal of a staging directory and what is left in it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>

#include "helper_core/file_access/descriptor_digest.hpp"
#include "helper_core/file_access/system_calls.hpp"
#include "helper_core/image/raster_types.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"
#include "helper_core/staging/staging_broker.hpp"
#include "helper_core/staging/staging_internal.hpp"

namespace quorvantelmic {

using staging_detail::exclusiveRename;
using staging_detail::policyFault;

namespace {

struct BoundOutput {
  FileIdentity identity;
  std::string sha256;
};

// Opens `name` in `directory` and checks descriptor and name against each
// other and against `matches`; returns the open descriptor.
template <typename Matches>
UniqueFd openOwnedEntry(BorrowedFd directory, const std::string& name, Matches&& matches) {
  UniqueFd entry(retryOnInterrupt(
      [&] { return ::openat(directory.get(), name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC); }));
  if (!entry) policyFault("An owned staging entry is unavailable.");
  struct stat byDescriptor {};
  struct stat byName {};
  if (::fstat(entry.get(), &byDescriptor) != 0 ||
      ::fstatat(directory.get(), name.c_str(), &byName, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(byDescriptor.st_mode) ||
      !S_ISREG(byName.st_mode) || !matches(byDescriptor, byName) || byName.st_nlink != byDescriptor.st_nlink) {
    policyFault("An owned staging entry changed.");
  }
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
  if (destinationPath != "/dev/fd/3") policyFault("Staging cleanup requires the inherited destination descriptor.");
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
  const UniqueFd staging(retryOnInterrupt(
      [&] { return ::openat(destination.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC); }));
  if (!staging) policyFault("The owned staging directory is unavailable for cleanup.");
  verifyPrivateStagingDirectory(staging.borrow(), expectedStaging, expectedDestination.device);
  {
    struct stat named {};
    if (::fstatat(destination.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(named.st_mode) ||
        !(FileIdentity::of(named) == expectedStaging)) {
      policyFault("The staging directory identity changed.");
    }
  }

  const std::string record = encodedOwnerRecord(stagingId, outputNames);
  {
    const UniqueFd owner = openOwnedEntry(
        staging.borrow(), std::string(ownerRecordName), [&](const struct stat& byDescriptor, const struct stat& byName) {
          return FileIdentity::of(byDescriptor) == expectedOwner && FileIdentity::of(byName) == expectedOwner &&
                 byName.st_nlink == 1;
        });
    verifyDescriptorBytes(owner.borrow(), record);
  }

  std::vector<std::string> present;
  for (const std::string& output : outputNames) {
    struct stat status {};
    if (::fstatat(staging.get(), output.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) continue;
    const auto binding = table.find(output);
    if (binding == table.end()) policyFault("An unbound staged output prevents automatic cleanup.");
    const FileIdentity& expected = binding->second.identity;
    const UniqueFd entry =
        openOwnedEntry(staging.borrow(), output, [&](const struct stat& byDescriptor, const struct stat& byName) {
          return FileIdentity::of(byDescriptor).sameContentStamp(expected) &&
                 FileIdentity::of(byName).sameContentStamp(expected) && byName.st_nlink >= 1 && byName.st_nlink <= 2;
        });
    if (DescriptorDigest::sha256(entry.borrow(), HelperLimits::maximumOutputBytes) != binding->second.sha256) {
      policyFault("The staged output digest changed.");
    }
    present.push_back(output);
  }

  std::vector<std::string> expectedEntries{std::string(ownerRecordName)};
  expectedEntries.insert(expectedEntries.end(), present.begin(), present.end());
  requireExactInventory(staging.borrow(), expectedEntries);

  const std::string quarantine = quarantineStagingRoot(destination.borrow(), name, expectedStaging);
  try {
    for (const std::string& output : present) {
      observe(TestPoint::beforeEntryRemoval, staging.borrow(), output);
      const BoundOutput& binding = table.find(output)->second;
      removeOwnedRegularEntry(staging.borrow(), output, binding.identity, std::nullopt, binding.sha256);
    }
    observe(TestPoint::beforeEntryRemoval, staging.borrow(), ownerRecordName);
    removeOwnedRegularEntry(staging.borrow(), std::string(ownerRecordName), expectedOwner, record, std::nullopt);
    requireExactInventory(staging.borrow(), {});
    const bool stagingSynchronized = synchronizeDirectory(staging.borrow());

    struct stat emptied {};
    if (::fstat(staging.get(), &emptied) != 0) policyFault("The staging directory changed before final cleanup.");
    struct stat quarantined {};
    if (::fstatat(destination.get(), quarantine.c_str(), &quarantined, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(quarantined.st_mode) || !(FileIdentity::of(quarantined) == FileIdentity::of(emptied))) {
      policyFault("The staging directory identity changed.");
    }
    if (retryOnInterrupt([&] { return ::unlinkat(destination.get(), quarantine.c_str(), AT_REMOVEDIR); }) != 0) {
      policyFault("The empty staging directory could not be removed.");
    }
    const bool destinationSynchronized = synchronizeDirectory(destination.borrow());
    return CleanedStaging{stagingSynchronized && destinationSynchronized};
  } catch (...) {
    (void)exclusiveRename(destination.borrow(), quarantine, destination.borrow(), name);
    throw;
  }
}

}  // namespace quorvantelmic
