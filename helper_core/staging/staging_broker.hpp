// Private staging directories inside the user's destination directory: their
// preparation with an ownership record, their identity-bound cleanup, and the
// primitives both share (argument validators, the inherited destination, the
// private-directory check, byte-exact read-back, inventories, quarantine names,
// identity-bound removal and directory synchronisation).
//
// Nothing owned is ever unlinked in place: an entry is first moved to a fresh
// hidden quarantine name with an exclusive rename, then proved by identity (and
// bytes or digest where known) and only then removed; a failed proof moves it
// back.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "helper_core/file_access/file_identity.hpp"
#include "helper_core/file_access/unique_fd.hpp"
#include "helper_core/protocol/staging_request_arguments.hpp"
#include "helper_core/protocol/wire_records.hpp"

namespace quorvantelmic {

struct PreparedStaging {
  FileIdentity stagingIdentity;
  FileIdentity ownerIdentity;
  // True only when both the staging directory and the destination could be
  // synchronised.
  bool directorySyncSupported = false;

  friend bool operator==(const PreparedStaging&, const PreparedStaging&) = default;
};

struct CleanedStaging {
  bool directorySyncSupported = false;

  friend bool operator==(const CleanedStaging&, const CleanedStaging&) = default;
};

inline constexpr std::string_view stagingNamePrefix = ".quorvantelmic-stage-";
inline constexpr std::string_view ownerRecordName = ".owner.json";
inline constexpr std::string_view entryQuarantinePrefix = ".quorvantelmic-entry-";
inline constexpr std::string_view cleanupQuarantinePrefix = ".quorvantelmic-cleanup-";
// 96 outputs and the ownership record.
inline constexpr std::size_t maximumStagingInventoryNames = 97;

class StagingBroker {
 public:
  // Test seam only: points inside preparation and cleanup at which tests may
  // interfere with the real directories, the way another process could. The
  // helper never constructs a broker with an observer.
  enum class TestPoint {
    ownerRecordCreated,       // preparation, after `.owner.json` was written and verified
    stagingIdentityRecorded,  // preparation, after the staging directory's identity was taken
    beforeEntryRemoval,       // cleanup, before each entry of the quarantined directory is removed
  };
  using TestObserver =
      std::function<void(TestPoint point, BorrowedFd stagingDirectory, std::string_view entryName)>;

  // `inheritedDestinationDescriptor` is the user's destination directory; the
  // request processor builds the broker with 3.
  explicit StagingBroker(int inheritedDestinationDescriptor = 3) noexcept
      : inheritedDestinationDescriptor_(inheritedDestinationDescriptor) {}
  StagingBroker(int inheritedDestinationDescriptor, TestObserver observer)
      : inheritedDestinationDescriptor_(inheritedDestinationDescriptor), observer_(std::move(observer)) {}

  int inheritedDestinationDescriptor() const noexcept { return inheritedDestinationDescriptor_; }

  // Creates the staging directory `stagingName` (mode 0700) in the destination,
  // writes `.owner.json` naming the record and every planned output, and
  // synchronises. `destinationPath` must be "/dev/fd/3". Every failure after the
  // directory exists rolls it back as far as it can prove it is still ours.
  PreparedStaging prepare(std::string_view destinationPath, const ProtocolFileIdentity& destinationIdentity,
                          std::string_view stagingId, std::string_view stagingName,
                          const std::vector<std::string>& outputNames) const;

  // cleanup-staging: the optional output identity and digest come as a pair.
  CleanedStaging cleanup(const CleanupStagingArguments& arguments) const;

  // Removes the staging directory, its record and every planned output still in
  // it, each proved against the identities and digests given. Any failure after
  // the directory was quarantined moves it back under `stagingName`.
  CleanedStaging cleanup(std::string_view destinationPath, const ProtocolFileIdentity& destinationIdentity,
                         std::string_view stagingId, std::string_view stagingName,
                         const ProtocolFileIdentity& stagingIdentity, const ProtocolFileIdentity& ownerIdentity,
                         const std::vector<std::string>& outputNames,
                         const std::vector<StagedOutputBinding>& outputs) const;

  // The ownership record: compact JSON, keys sorted, no trailing newline:
  // {"expectedEntryNames":[".owner.json",...],"schemaVersion":1,"stagingId":"..."}
  static std::string encodedOwnerRecord(std::string_view stagingId, const std::vector<std::string>& outputNames);
  // Creates `.owner.json` exclusively (0400), writes and verifies it; returns its
  // identity.
  static FileIdentity createOwnerRecord(std::string_view bytes, BorrowedFd stagingDescriptor);

  // Validators; each throws HelperFault.
  static void validateStagingName(std::string_view stagingName);
  static void validateStagingId(std::string_view stagingId);
  static void validateOutputNames(const std::vector<std::string>& outputNames);
  static void validateSha256(std::string_view sha256);

  // A private duplicate of the inherited destination, checked to be a read-only
  // directory with exactly the expected identity.
  UniqueFd openInheritedDestination(const FileIdentity& expected) const;

  // A directory owned by the effective user, mode rwx for the owner and nothing
  // for anyone else, on `expectedDevice`, and equal to `exactIdentity` if given.
  static void verifyPrivateStagingDirectory(BorrowedFd descriptor, const std::optional<FileIdentity>& exactIdentity,
                                            dev_t expectedDevice);
  // The open file holds exactly `expected`, read by position.
  static void verifyDescriptorBytes(BorrowedFd descriptor, std::string_view expected);
  // The entry names of a directory (without "." and ".."), at most 97.
  static std::vector<std::string> inventory(BorrowedFd descriptor);
  // The directory holds exactly `expectedNames`, in any order.
  static void requireExactInventory(BorrowedFd descriptor, std::vector<std::string> expectedNames);
  // `byteCount` random bytes as lowercase hexadecimal text.
  static std::string randomHex(std::size_t byteCount);

  // Moves `name` to a fresh ".quorvantelmic-entry-" name, proves it is the
  // expected regular file (device, inode, size, modification time; one or two
  // links; the bytes or digest when given) and unlinks it. A failed proof or
  // removal moves it back under `name`.
  static void removeOwnedRegularEntry(BorrowedFd parentDescriptor, const std::string& name,
                                      const FileIdentity& expected, const std::optional<std::string>& expectedBytes,
                                      const std::optional<std::string>& expectedSha256);
  // Moves the staging directory to a fresh ".quorvantelmic-cleanup-" name in the
  // destination and proves it; returns that name. A failed proof moves it back.
  static std::string quarantineStagingRoot(BorrowedFd destinationDescriptor, const std::string& stagingName,
                                           const FileIdentity& expected);
  // fsync of a directory: false when the file system cannot synchronise
  // directories (EINVAL, ENOTSUP, EISDIR), a fault on any other failure.
  static bool synchronizeDirectory(BorrowedFd descriptor);

 private:
  void observe(TestPoint point, BorrowedFd stagingDirectory, std::string_view entryName = {}) const {
    if (observer_) observer_(point, stagingDirectory, entryName);
  }

  int inheritedDestinationDescriptor_;
  TestObserver observer_;
};

}  // namespace quorvantelmic
