// Preparation of a private staging directory and its ownership record.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "helper_core/file_access/directory_entries.hpp"
#include "helper_core/file_access/system_calls.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/inherited_descriptors.hpp"
#include "helper_core/staging/staging_broker.hpp"
#include "helper_core/staging/staging_internal.hpp"

namespace quorvantelmic {

using staging_detail::policyFault;

namespace {

constexpr std::size_t maximumOwnerRecordBytes = 32768;
constexpr mode_t permissionBits = S_IRWXU | S_IRWXG | S_IRWXO;

}  // namespace

std::string StagingBroker::encodedOwnerRecord(std::string_view stagingId, const std::vector<std::string>& outputNames) {
  std::vector<std::string> entryNames;
  entryNames.reserve(outputNames.size() + 1);
  entryNames.emplace_back(ownerRecordName);
  entryNames.insert(entryNames.end(), outputNames.begin(), outputNames.end());
  // nlohmann's objects keep their keys sorted and its compact dump leaves "/"
  // unescaped, so the same record always gives the same bytes.
  const nlohmann::json record = {
      {"expectedEntryNames", entryNames},
      {"schemaVersion", 1},
      {"stagingId", std::string(stagingId)},
  };
  std::string bytes = record.dump();
  if (bytes.empty() || bytes.size() > maximumOwnerRecordBytes) {
    throw HelperFault(HelperErrorCode::resourceLimit, "The staging ownership record exceeds its byte limit.");
  }
  return bytes;
}

FileIdentity StagingBroker::createOwnerRecord(std::string_view bytes, BorrowedFd stagingDescriptor) {
  const std::string name(ownerRecordName);
  const UniqueFd writer(retryOnInterrupt([&] {
    return ::openat(stagingDescriptor.get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR);
  }));
  if (!writer) policyFault("The staging ownership record could not be created.");

  // From its exclusive creation on, the record is ours: any failure below
  // removes it again while its name still leads to this very file, so that a
  // failed preparation (which reports no identity to clean up with) can roll
  // the whole directory back.
  try {
    if (::fchmod(writer.get(), S_IRUSR) != 0) {
      policyFault("The staging ownership record permissions could not be fixed.");
    }

    std::size_t written = 0;
    while (written < bytes.size()) {
      const ssize_t result =
          retryOnInterrupt([&] { return ::write(writer.get(), bytes.data() + written, bytes.size() - written); });
      if (result < 0) policyFault("The staging ownership record could not be written.");
      if (result == 0) policyFault("The staging ownership record write did not complete.");
      written += static_cast<std::size_t>(result);
    }
    if (synchronizeFile(writer.borrow()) != 0) {
      policyFault("The staging ownership record could not be synchronized.");
    }
    const std::optional<struct stat> created = statDescriptor(writer.borrow());
    if (!created || !S_ISREG(created->st_mode) || created->st_uid != ::geteuid() ||
        (created->st_mode & permissionBits) != S_IRUSR || created->st_nlink != 1 ||
        created->st_size != static_cast<off_t>(bytes.size())) {
      policyFault("The staging ownership record failed its file policy.");
    }
    const FileIdentity ownerIdentity = FileIdentity::of(*created);

    verifyDescriptorBytes(writer.borrow(), bytes);
    const UniqueFd reader = openEntryForReading(stagingDescriptor, name);
    if (!reader) policyFault("An owned staging entry is unavailable.");
    if (!nameLeadsTo(stagingDescriptor, name, reader.borrow(),
                     EntryExpectation(ownerIdentity).exactly().linkCount(1, 1))) {
      policyFault("An owned staging entry changed.");
    }
    verifyDescriptorBytes(reader.borrow(), bytes);
    return ownerIdentity;
  } catch (...) {
    try {
      const std::optional<struct stat> current = statDescriptor(writer.borrow());
      if (current) {
        removeOwnedRegularEntry(stagingDescriptor, name, FileIdentity::of(*current), std::nullopt, std::nullopt);
      }
    } catch (...) {
      // The record stays where it is; the original fault is what matters.
    }
    throw;
  }
}

PreparedStaging StagingBroker::prepare(std::string_view destinationPath,
                                       const ProtocolFileIdentity& destinationIdentity, std::string_view stagingId,
                                       std::string_view stagingName, const std::vector<std::string>& outputNames) const {
  if (destinationPath != inheritedDescriptorPath) policyFault("Staging preparation requires the inherited destination descriptor.");
  validateStagingName(stagingName);
  validateOutputNames(outputNames);
  validateStagingId(stagingId);
  const FileIdentity expectedDestination(destinationIdentity);
  const UniqueFd destination = openInheritedDestination(expectedDestination);

  const std::string name(stagingName);
  if (retryOnInterrupt([&] { return ::mkdirat(destination.get(), name.c_str(), S_IRWXU); }) != 0) {
    if (errno == EEXIST) {
      throw HelperFault(HelperErrorCode::outputExists, "The private staging directory already exists.");
    }
    policyFault("The private staging directory could not be created.");
  }
  // An open failure leaves the empty directory: without a descriptor nothing
  // proves that the name still leads to it.
  const UniqueFd staging = openSubdirectory(destination.borrow(), name);
  if (!staging) policyFault("The private staging directory could not be opened.");

  std::optional<FileIdentity> ownerIdentity;
  try {
    if (::fchmod(staging.get(), S_IRWXU) != 0) policyFault("The private staging directory permissions could not be fixed.");
    verifyPrivateStagingDirectory(staging.borrow(), std::nullopt, expectedDestination.device);
    const std::string record = encodedOwnerRecord(stagingId, outputNames);
    ownerIdentity = createOwnerRecord(record, staging.borrow());
    observe(TestPoint::ownerRecordCreated, staging.borrow());
    requireExactInventory(staging.borrow(), {std::string(ownerRecordName)});

    const bool stagingSynchronized = synchronizeDirectory(staging.borrow());
    const bool destinationSynchronized = synchronizeDirectory(destination.borrow());

    const std::optional<struct stat> stagingStatus = statDescriptor(staging.borrow());
    if (!stagingStatus) policyFault("The private staging directory identity could not be recorded.");
    observe(TestPoint::stagingIdentityRecorded, staging.borrow());
    const std::optional<struct stat> named = statEntry(destination.borrow(), name);
    if (!named || !S_ISDIR(named->st_mode) || !(FileIdentity::of(*named) == FileIdentity::of(*stagingStatus))) {
      policyFault("The staging directory identity changed.");
    }
    return PreparedStaging{FileIdentity::of(*stagingStatus), *ownerIdentity,
                           stagingSynchronized && destinationSynchronized};
  } catch (...) {
    // Roll back only what can be proved to be ours; every failure here leaves
    // the entry where it is and the original fault is thrown.
    if (ownerIdentity) {
      try {
        removeOwnedRegularEntry(staging.borrow(), std::string(ownerRecordName), *ownerIdentity, std::nullopt,
                                std::nullopt);
      } catch (...) {
      }
    }
    try {
      const std::optional<struct stat> stagingStatus =
          inventory(staging.borrow()).empty() ? statDescriptor(staging.borrow()) : std::nullopt;
      if (stagingStatus) {
        const std::string quarantine =
            quarantineStagingRoot(destination.borrow(), name, FileIdentity::of(*stagingStatus));
        (void)removeEntry(destination.borrow(), quarantine, true);
      }
    } catch (...) {
    }
    throw;
  }
}

}  // namespace quorvantelmic
