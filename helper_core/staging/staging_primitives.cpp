// The primitives of StagingBroker shared by preparation and cleanup.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <set>

#include "helper_core/file_access/descriptor_digest.hpp"
#include "helper_core/file_access/directory_entries.hpp"
#include "helper_core/file_access/system_calls.hpp"
#include "helper_core/image/raster_types.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"
#include "helper_core/protocol/utf8.hpp"
#include "helper_core/staging/staging_broker.hpp"
#include "helper_core/staging/staging_internal.hpp"

namespace quorvantelmic {

namespace {

constexpr std::size_t verifyChunkBytes = 4096;

bool isLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

}  // namespace

namespace staging_detail {

[[noreturn]] void policyFault(const char* message) { filesystemPolicyFault(message); }

}  // namespace staging_detail

using staging_detail::policyFault;

void StagingBroker::validateStagingName(std::string_view stagingName) {
  if (!stagingName.starts_with(stagingNamePrefix) || stagingName.size() != stagingNamePrefix.size() + 32 ||
      !std::all_of(stagingName.begin() + static_cast<std::ptrdiff_t>(stagingNamePrefix.size()), stagingName.end(),
                   isLowerHex)) {
    policyFault("The staging directory name is invalid.");
  }
}

void StagingBroker::validateStagingId(std::string_view stagingId) {
  // A UUID in canonical text, and already in lowercase.
  bool valid = stagingId.size() == 36;
  for (std::size_t index = 0; valid && index < stagingId.size(); ++index) {
    const bool hyphenPosition = index == 8 || index == 13 || index == 18 || index == 23;
    valid = hyphenPosition ? stagingId[index] == '-' : isLowerHex(stagingId[index]);
  }
  if (!valid) policyFault("The staging identifier is invalid.");
}

void StagingBroker::validateOutputNames(const std::vector<std::string>& outputNames) {
  const std::set<std::string_view> distinct(outputNames.begin(), outputNames.end());
  if (outputNames.empty() || outputNames.size() > static_cast<std::size_t>(HelperLimits::maximumOutputSetFiles) ||
      distinct.size() != outputNames.size()) {
    policyFault("The staged output-name inventory is invalid.");
  }
  for (const std::string& name : outputNames) {
    if (!parseStagedOutputName(name)) policyFault("The staged output name is invalid.");
  }
}

void StagingBroker::validateSha256(std::string_view sha256) {
  if (sha256.size() != 64 || !std::all_of(sha256.begin(), sha256.end(), isLowerHex)) {
    throw HelperFault(HelperErrorCode::invalidRequest, "The output digest is invalid.");
  }
}

UniqueFd StagingBroker::openInheritedDestination(const FileIdentity& expected) const {
  UniqueFd duplicate(::fcntl(inheritedDestinationDescriptor_, F_DUPFD_CLOEXEC, 0));
  if (!duplicate) policyFault("The inherited destination descriptor is unavailable.");
  const int flags = ::fcntl(duplicate.get(), F_GETFL);
  struct stat status {};
  if (!opensForReadingOnly(flags) || ::fstat(duplicate.get(), &status) != 0 ||
      !S_ISDIR(status.st_mode) || !(FileIdentity::of(status) == expected)) {
    policyFault("The inherited destination identity changed.");
  }
  return duplicate;
}

void StagingBroker::verifyPrivateStagingDirectory(BorrowedFd descriptor,
                                                  const std::optional<FileIdentity>& exactIdentity,
                                                  dev_t expectedDevice) {
  const std::optional<struct stat> status = statDescriptor(descriptor);
  if (!status || !S_ISDIR(status->st_mode) || status->st_uid != ::geteuid() ||
      (status->st_mode & (S_IRWXG | S_IRWXO)) != 0 || (status->st_mode & S_IRWXU) != S_IRWXU ||
      status->st_dev != expectedDevice || (exactIdentity && !(FileIdentity::of(*status) == *exactIdentity))) {
    policyFault("The staging directory failed its private-directory policy.");
  }
}

void StagingBroker::verifyDescriptorBytes(BorrowedFd descriptor, std::string_view expected) {
  std::string collected;
  collected.reserve(expected.size());
  std::array<char, verifyChunkBytes> scratch{};
  while (collected.size() < expected.size()) {
    const std::size_t wanted = std::min(expected.size() - collected.size(), verifyChunkBytes);
    const ssize_t got = retryOnInterrupt([&] {
      return ::pread(descriptor.get(), scratch.data(), wanted, static_cast<off_t>(collected.size()));
    });
    if (got < 0) policyFault("The staging ownership record could not be verified.");
    if (got == 0) break;
    collected.append(scratch.data(), static_cast<std::size_t>(got));
  }
  const ssize_t beyond = retryOnInterrupt(
      [&] { return ::pread(descriptor.get(), scratch.data(), 1, static_cast<off_t>(collected.size())); });
  if (beyond != 0 || collected != expected) policyFault("The staging ownership record changed.");
}

std::vector<std::string> StagingBroker::inventory(BorrowedFd descriptor) {
  UniqueFd duplicate(::fcntl(descriptor.get(), F_DUPFD_CLOEXEC, 0));
  if (!duplicate) policyFault("The staging inventory could not be opened.");
  UniqueDir stream(::fdopendir(duplicate.get()));
  if (!stream) policyFault("The staging inventory could not be opened.");
  duplicate.release();  // the stream owns it now
  // The duplicate shares its position with `descriptor`; an earlier listing
  // through the same open directory must not make this one start at its end.
  ::rewinddir(stream.get());

  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream.get());
    if (entry == nullptr) break;
    const std::size_t length = ::strnlen(entry->d_name, sizeof entry->d_name);
    if (!isWellFormedUTF8(std::string_view(entry->d_name, length))) policyFault("The staging inventory contains an invalid name.");
    const std::string_view name(entry->d_name, length);
    if (name == "." || name == "..") continue;
    if (names.size() == maximumStagingInventoryNames) policyFault("The staging inventory exceeds the entry limit.");
    names.emplace_back(name);
  }
  if (errno != 0) policyFault("The staging inventory could not be read.");
  return names;
}

void StagingBroker::requireExactInventory(BorrowedFd descriptor, std::vector<std::string> expectedNames) {
  std::vector<std::string> present = inventory(descriptor);
  std::sort(present.begin(), present.end());
  std::sort(expectedNames.begin(), expectedNames.end());
  if (present != expectedNames) policyFault("The staging directory contains an unexpected entry inventory.");
}

void StagingBroker::removeOwnedRegularEntry(BorrowedFd parentDescriptor, const std::string& name,
                                            const FileIdentity& expected,
                                            const std::optional<std::string>& expectedBytes,
                                            const std::optional<std::string>& expectedSha256) {
  RenameBack putBack(parentDescriptor,
                     renameToFreshName(parentDescriptor, name, entryQuarantinePrefix,
                                       {"A unique staging-entry quarantine name could not be allocated.",
                                        "An owned staging entry could not be quarantined."}),
                     name);
  const std::string& quarantine = putBack.temporaryName();
  UniqueFd entry = openEntryForReading(parentDescriptor, quarantine);
  if (!entry) policyFault("An owned staging entry is unavailable.");
  if (!nameLeadsTo(parentDescriptor, quarantine, entry.borrow(),
                   EntryExpectation(expected).linkCount(1, 2))) {
    policyFault("An owned staging entry changed.");
  }
  if (expectedBytes) verifyDescriptorBytes(entry.borrow(), *expectedBytes);
  if (expectedSha256 && DescriptorDigest::sha256(entry.borrow(), HelperLimits::maximumOutputBytes) != *expectedSha256) {
    policyFault("The staged output digest changed.");
  }
  entry.reset();
  if (removeEntry(parentDescriptor, quarantine) != 0) {
    policyFault("An identity-bound staging entry could not be removed.");
  }
  putBack.commit();
}

std::string StagingBroker::quarantineStagingRoot(BorrowedFd destinationDescriptor, const std::string& stagingName,
                                                 const FileIdentity& expected) {
  RenameBack putBack(destinationDescriptor,
                     renameToFreshName(destinationDescriptor, stagingName, cleanupQuarantinePrefix,
                                       {"A unique staging-directory quarantine name could not be allocated.",
                                        "The staging directory could not be quarantined for cleanup."}),
                     stagingName);
  const std::optional<struct stat> moved = statEntry(destinationDescriptor, putBack.temporaryName());
  if (!moved || !S_ISDIR(moved->st_mode) || !FileIdentity::of(*moved).sameContentStamp(expected)) {
    policyFault("The staging directory identity changed.");
  }
  if (!entryIsAbsent(destinationDescriptor, stagingName)) {
    policyFault("The staging directory name changed during cleanup.");
  }
  putBack.commit();
  return putBack.temporaryName();
}

bool StagingBroker::synchronizeDirectory(BorrowedFd descriptor) {
  return quorvantelmic::synchronizeDirectory(descriptor, "A staging directory could not be synchronized.");
}

std::string StagingBroker::randomHex(std::size_t byteCount) { return randomLowercaseHex(byteCount); }

}  // namespace quorvantelmic
