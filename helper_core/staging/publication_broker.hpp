// Publication of validated staged outputs into the user's destination
// directory: by hard link (never a copy, never a replacing rename), under the
// first free readable name, with the staged link removed only after the
// published file has been synchronised and proved by identity and digest.
// Before the commit point every failure removes the new destination entry
// (while it is still provably ours) and puts the staged output back under its
// staged name; after it, problems only mark the staging directory as needing
// cleanup.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "helper_core/file_access/file_identity.hpp"
#include "helper_core/file_access/unique_fd.hpp"
#include "helper_core/image/raster_types.hpp"
#include "helper_core/protocol/staging_request_arguments.hpp"

namespace quorvantelmic {

enum class PublicationPhase {
  linked,        // linked into the destination and made owner-writable
  synchronized,  // the destination was synchronised; the publication is committed
};

struct PublishedOutput {
  std::string displayName;
  std::string finalPath;
  std::int64_t collisionIndex = 1;
  bool directorySyncSupported = false;
  bool stagingCleanupPending = true;
  FileIdentity committedIdentity;

  friend bool operator==(const PublishedOutput&, const PublishedOutput&) = default;
};

struct PublishedSetOutput {
  std::string displayName;
  std::string finalPath;
  FileIdentity committedIdentity;

  friend bool operator==(const PublishedSetOutput&, const PublishedSetOutput&) = default;
};

struct PublishedOutputSet {
  std::vector<PublishedSetOutput> publishedOutputs;
  std::int64_t collisionIndex = 1;
  bool directorySyncSupported = false;
  bool stagingCleanupPending = true;

  friend bool operator==(const PublishedOutputSet&, const PublishedOutputSet&) = default;
};

// One member of a set while it is being published: its arguments, parsed
// extension and identity, the open staged file and its pin name.
struct PinnedSetOutput {
  PublishOutputSetMember arguments;
  StagedOutputExtension outputExtension = StagedOutputExtension::png;
  FileIdentity expectedIdentity;
  UniqueFd descriptor;
  std::string pinnedName;
};

inline constexpr mode_t stagedOutputPermissions = 0400;
inline constexpr mode_t publishedOutputPermissions = 0600;
inline constexpr std::string_view publicationPinPrefix = ".quorvantelmic-publish-";
inline constexpr std::string_view publicationDeletePrefix = ".quorvantelmic-delete-";
inline constexpr std::int64_t maximumCollisionIndex = 10000;

class PublicationBroker {
 public:
  // Called synchronously with the phase, the destination directory and the
  // display name. The request processor builds the broker without one.
  using PhaseObserver = std::function<void(PublicationPhase phase, BorrowedFd destination, std::string_view displayName)>;

  // Test seam only: called right before each member of a set is linked, so a
  // test can take a name between the free-name check and the link the way
  // another process could. The helper never sets it.
  using BeforeSetLinkObserver = std::function<void(BorrowedFd destination, std::string_view displayName)>;

  explicit PublicationBroker(int inheritedDestinationDescriptor = 3, PhaseObserver phaseObserver = {},
                             BeforeSetLinkObserver beforeSetLink = {})
      : inheritedDestinationDescriptor_(inheritedDestinationDescriptor),
        phaseObserver_(std::move(phaseObserver)),
        beforeSetLink_(std::move(beforeSetLink)) {}

  int inheritedDestinationDescriptor() const noexcept { return inheritedDestinationDescriptor_; }

  // publish-output: one staged output under Name.ext, Name 2.ext, ...
  PublishedOutput publish(const PublishOutputArguments& arguments) const;
  // publish-output-set: all members under one shared collision index, or none.
  PublishedOutputSet publishSet(const PublishOutputSetArguments& arguments) const;

  // Validators: a lowercase SHA-256 (invalid-request), and a readable base name
  // that is NFC, has no control, format, bidirectional or path characters and no
  // leading or trailing dot or white space (filesystem-policy).
  static void validateSha256(std::string_view sha256);
  static void validateOutputBaseName(std::string_view baseName);
  // The form in which two names of one set must differ: decomposed, without
  // nonspacing marks, case folded, full- and half-width forms folded, NFC.
  static std::string foldedName(std::string_view name);

  // Device, inode, size and modification time; with `exact`, all seven fields.
  static bool identitiesMatch(const FileIdentity& a, const FileIdentity& b, bool exact) noexcept;

  // Each throws HelperFault filesystem-policy with `message` on a mismatch.
  static void verifyDirectoryDescriptor(BorrowedFd descriptor, const FileIdentity& expected,
                                        bool requireUnchangedMetadata, const char* message);
  static void setOutputPermissions(BorrowedFd descriptor, mode_t permissions, const char* message);
  static void verifyOutput(BorrowedFd descriptor, const FileIdentity& expected, bool exactIdentity,
                           std::initializer_list<nlink_t> allowedLinkCounts, mode_t requiredPermissions,
                           std::string_view expectedSha256, const char* message);
  // The identity of a published output (0600, the expected contents).
  static FileIdentity currentOutputIdentity(BorrowedFd descriptor, const FileIdentity& expected,
                                            std::string_view expectedSha256);
  // Like the staging one, with this broker's own failure message.
  static bool synchronizeDirectory(BorrowedFd descriptor);
  static void verifyOwnerRecord(BorrowedFd parentDescriptor, const FileIdentity& expected,
                                std::string_view expectedBytes);
  // Moves the staged name to a fresh pin name and proves it; returns the pin.
  static std::string pinValidatedOutput(BorrowedFd parentDescriptor, const std::string& leafName,
                                        const FileIdentity& expected, BorrowedFd outputDescriptor,
                                        std::string_view expectedSha256);
  static std::string candidateName(std::string_view baseName, std::int64_t collisionIndex,
                                   StagedOutputExtension outputExtension);
  static std::string joinedFinalPath(std::string_view destinationPath, std::string_view displayName);
  // Quarantines, proves and unlinks `leafName`; false when it is absent or no
  // longer the expected file (which is then left under its name).
  static bool removeEntryIfStillOwned(BorrowedFd parentDescriptor, const std::string& leafName,
                                      const FileIdentity& expected, std::string_view expectedSha256);

  // Unlinks every member's display name (last first) and, when all went,
  // restores the staged permissions. False when the rollback was not exact.
  static bool rollbackPreparedSetBeforeCommit(std::vector<PinnedSetOutput>& outputs,
                                              const std::vector<std::string>& displayNames,
                                              BorrowedFd destinationDescriptor);
  // The identity of an fstat showing a regular file, otherwise `fallback`.
  static FileIdentity observedOutputIdentity(BorrowedFd descriptor, const FileIdentity& fallback) noexcept;

 private:
  void observe(PublicationPhase phase, BorrowedFd destination, std::string_view displayName) const {
    if (phaseObserver_) phaseObserver_(phase, destination, displayName);
  }

  int inheritedDestinationDescriptor_;
  PhaseObserver phaseObserver_;
  BeforeSetLinkObserver beforeSetLink_;
};

}  // namespace quorvantelmic
