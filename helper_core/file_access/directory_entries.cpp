#include "helper_core/file_access/directory_entries.hpp"

#include <fcntl.h>
#include <stdio.h>   // renameat2, RENAME_NOREPLACE
#include <stdlib.h>  // arc4random_buf
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "helper_core/file_access/system_calls.hpp"
#include "helper_core/protocol/helper_error.hpp"

namespace quorvantelmic {

namespace {

constexpr int maximumFreshNameAttempts = 32;
constexpr std::size_t freshNameRandomBytes = 16;
constexpr mode_t permissionBits = S_IRWXU | S_IRWXG | S_IRWXO;

}  // namespace

void filesystemPolicyFault(const char* message) { throw HelperFault(HelperErrorCode::filesystemPolicy, message); }

std::optional<struct stat> statEntry(BorrowedFd directory, const std::string& name) noexcept {
  struct stat status {};
  if (::fstatat(directory.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return status;
}

std::optional<struct stat> statDescriptor(BorrowedFd descriptor) noexcept {
  struct stat status {};
  if (::fstat(descriptor.get(), &status) != 0) return std::nullopt;
  return status;
}

bool entryIsAbsent(BorrowedFd directory, const std::string& name) noexcept {
  return !statEntry(directory, name) && errno == ENOENT;
}

UniqueFd openEntryForReading(BorrowedFd directory, const std::string& name) noexcept {
  return UniqueFd(retryOnInterrupt(
      [&] { return ::openat(directory.get(), name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC); }));
}

UniqueFd openSubdirectory(BorrowedFd directory, const std::string& name) noexcept {
  return UniqueFd(retryOnInterrupt(
      [&] { return ::openat(directory.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC); }));
}

int renameExclusively(BorrowedFd fromDirectory, const std::string& from, BorrowedFd toDirectory,
                      const std::string& to) noexcept {
  return retryOnInterrupt([&] {
    return ::renameat2(fromDirectory.get(), from.c_str(), toDirectory.get(), to.c_str(), RENAME_NOREPLACE);
  });
}

int linkEntry(BorrowedFd fromDirectory, const std::string& from, BorrowedFd toDirectory,
              const std::string& to) noexcept {
  return retryOnInterrupt(
      [&] { return ::linkat(fromDirectory.get(), from.c_str(), toDirectory.get(), to.c_str(), 0); });
}

int removeEntry(BorrowedFd directory, const std::string& name, bool isDirectory) noexcept {
  return retryOnInterrupt(
      [&] { return ::unlinkat(directory.get(), name.c_str(), isDirectory ? AT_REMOVEDIR : 0); });
}

int synchronizeFile(BorrowedFd file) noexcept {
  return retryOnInterrupt([&] { return ::fsync(file.get()); });
}

std::string randomLowercaseHex(std::size_t byteCount) {
  std::vector<unsigned char> bytes(byteCount);
  ::arc4random_buf(bytes.data(), bytes.size());
  static constexpr char digits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(byteCount * 2);
  for (const unsigned char byte : bytes) {
    hex.push_back(digits[byte >> 4]);
    hex.push_back(digits[byte & 0x0f]);
  }
  return hex;
}

std::optional<std::string> tryRenameToFreshName(BorrowedFd directory, const std::string& name,
                                                std::string_view prefix, FreshNameFaults faults) {
  for (int attempt = 0; attempt < maximumFreshNameAttempts; ++attempt) {
    std::string candidate = std::string(prefix) + randomLowercaseHex(freshNameRandomBytes);
    if (renameExclusively(directory, name, directory, candidate) == 0) return candidate;
    if (errno == ENOENT) return std::nullopt;
    if (errno != EEXIST) filesystemPolicyFault(faults.failed);
  }
  filesystemPolicyFault(faults.exhausted);
}

std::string renameToFreshName(BorrowedFd directory, const std::string& name, std::string_view prefix,
                              FreshNameFaults faults) {
  std::optional<std::string> renamed = tryRenameToFreshName(directory, name, prefix, faults);
  if (!renamed) filesystemPolicyFault(faults.failed);
  return std::move(*renamed);
}

bool statusMeets(const struct stat& status, const EntryExpectation& expected) noexcept {
  const FileIdentity identity = FileIdentity::of(status);
  return S_ISREG(status.st_mode) &&
         (expected.exactIdentity ? identity == expected.identity : identity.sameContentStamp(expected.identity)) &&
         status.st_nlink >= expected.minimumLinks && status.st_nlink <= expected.maximumLinks &&
         (!expected.permissions || (status.st_mode & permissionBits) == *expected.permissions) &&
         (!expected.ownedByCurrentUser || status.st_uid == ::geteuid());
}

bool nameLeadsTo(BorrowedFd directory, const std::string& name, BorrowedFd file,
                 const EntryExpectation& expected) noexcept {
  const std::optional<struct stat> byDescriptor = statDescriptor(file);
  const std::optional<struct stat> byName = statEntry(directory, name);
  return byDescriptor && byName && statusMeets(*byDescriptor, expected) && statusMeets(*byName, expected) &&
         byName->st_nlink == byDescriptor->st_nlink;
}

bool synchronizeDirectory(BorrowedFd directory, const char* message) {
  if (synchronizeFile(directory) == 0) return true;
  if (errno == EINVAL || errno == ENOTSUP || errno == EISDIR) return false;
  filesystemPolicyFault(message);
}

}  // namespace quorvantelmic
