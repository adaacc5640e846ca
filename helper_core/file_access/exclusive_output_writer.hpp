// Creates every output file: exclusively (never overwriting, never following a
// link at the leaf), read-only for its owner, completely written, synchronised,
// read back and compared, checked against the name it was created under, handed
// to a caller-supplied validator and examined once more. Only then does the
// caller get a WrittenOutputBinding. After a failure past creation the file is
// removed, but only while its name still leads to the very file created here.
//
// Outputs normally go into the directory the parent passed as descriptor 4:
// "/dev/fd/4/" followed by a staged output name. Plain absolute paths are
// opened through PathPolicy.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "helper_core/file_access/file_identity.hpp"
#include "helper_core/file_access/path_policy.hpp"
#include "helper_core/file_access/unique_fd.hpp"

namespace quorvantelmic {

// A finished output: the path exactly as the caller passed it, and the identity
// of the file after validation.
struct WrittenOutputBinding {
  std::string path;
  FileIdentity identity;

  friend bool operator==(const WrittenOutputBinding&, const WrittenOutputBinding&) = default;
};

class ExclusiveOutputWriter {
 public:
  // Receives the bytes as read back from the file (the caller's own buffer,
  // once every byte of the file has been read and found equal to it); returns
  // to accept them or throws (a HelperFault thrown here reaches the caller of
  // `write` unchanged).
  using Validator = std::function<void(std::span<const std::uint8_t> readBack)>;

  // `inheritedOutputDirectoryDescriptor` is what "/dev/fd/4/" stands for; the
  // operations construct the writer with 4.
  explicit ExclusiveOutputWriter(int inheritedOutputDirectoryDescriptor = 4) noexcept
      : inheritedOutputDirectoryDescriptor_(inheritedOutputDirectoryDescriptor) {}

  int inheritedOutputDirectoryDescriptor() const noexcept { return inheritedOutputDirectoryDescriptor_; }

  // Writes 1 to 536870912 bytes to a new file at `path`. Throws HelperFault:
  // resource-limit for an empty or oversized buffer (nothing opened),
  // output-exists when the name is taken by anything (file, directory, link,
  // dangling link), filesystem-policy for every other breach, or the
  // validator's fault.
  WrittenOutputBinding write(std::span<const std::uint8_t> bytes, std::string_view path,
                             const Validator& validate) const;

  // The directory an output path lands in, and its leaf. For "/dev/fd/4/<name>"
  // that is a checked duplicate of the inherited directory (read-only, a
  // directory owned by the effective user with no group or other permission
  // bits) and the staged output name; for other paths PathPolicy's parent walk.
  // Multi-output operations use it to reach an earlier output when they roll it
  // back.
  OpenedParentDirectory openOutputParent(std::string_view path) const;

  // Unlinks `leafName` in `parentDescriptor` only if it is still the object of
  // `expected` (device and inode). Silent: reports nothing, throws nothing.
  static void removeIfStillOwned(BorrowedFd parentDescriptor, const std::string& leafName,
                                 const FileIdentity& expected) noexcept;

 private:
  int inheritedOutputDirectoryDescriptor_;
};

}  // namespace quorvantelmic
