// Work on the entries of one open directory, always relative to its
// descriptor and never following a link at the leaf: the status of a name,
// opening it, the exclusive rename to a fresh hidden name, the proof that a
// name still leads to an open file, directory synchronisation, and a guard
// that undoes a step unless the caller commits it.
//
// Functions that can fail in a way the caller reports take the caller's
// message and throw HelperFault filesystem-policy with it, so one primitive
// serves callers that must say different things.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "helper_core/file_access/file_identity.hpp"
#include "helper_core/file_access/unique_fd.hpp"

namespace quorvantelmic {

[[noreturn]] void filesystemPolicyFault(const char* message);

// fstatat with AT_SYMLINK_NOFOLLOW; nothing when it fails (errno is kept).
std::optional<struct stat> statEntry(BorrowedFd directory, const std::string& name) noexcept;

// fstat; nothing when it fails.
std::optional<struct stat> statDescriptor(BorrowedFd descriptor) noexcept;

// Whether the name is proven gone: fstatat reports ENOENT. A present entry
// and an error that proves nothing are both false.
bool entryIsAbsent(BorrowedFd directory, const std::string& name) noexcept;

// Opens a leaf for reading: O_NOFOLLOW so a link is never followed, and
// O_NONBLOCK so a FIFO planted under the name cannot stall the helper.
UniqueFd openEntryForReading(BorrowedFd directory, const std::string& name) noexcept;

// Opens a subdirectory without following a link.
UniqueFd openSubdirectory(BorrowedFd directory, const std::string& name) noexcept;

// renameat2 with RENAME_NOREPLACE, retried on EINTR. A file system that
// refuses the flag fails the rename; there is deliberately no fallback to a
// plain rename, which could replace an entry.
int renameExclusively(BorrowedFd fromDirectory, const std::string& from, BorrowedFd toDirectory,
                      const std::string& to) noexcept;

// linkat of `from` as `to`, which never replaces an existing name (EEXIST);
// retried on EINTR.
int linkEntry(BorrowedFd fromDirectory, const std::string& from, BorrowedFd toDirectory,
              const std::string& to) noexcept;

// unlinkat of a file, or of an empty directory with `isDirectory`; retried
// on EINTR.
int removeEntry(BorrowedFd directory, const std::string& name, bool isDirectory = false) noexcept;

// fsync of a file, retried on EINTR; 0 on success.
int synchronizeFile(BorrowedFd file) noexcept;

// `byteCount` random bytes as lowercase hexadecimal.
std::string randomLowercaseHex(std::size_t byteCount);

// What to say when no fresh name could be found, and when the rename failed
// for another reason.
struct FreshNameFaults {
  const char* exhausted;
  const char* failed;
};

// Renames `name` to `prefix` followed by 32 random hexadecimal digits in the
// same directory, exclusively; a taken name moves on to the next of at most
// 32 attempts. Returns the new name, or nothing when `name` does not exist.
// Nothing has changed when it throws or returns nothing.
std::optional<std::string> tryRenameToFreshName(BorrowedFd directory, const std::string& name,
                                                std::string_view prefix, FreshNameFaults faults);

// The same, for an entry that must exist: a missing one is `faults.failed`.
std::string renameToFreshName(BorrowedFd directory, const std::string& name, std::string_view prefix,
                              FreshNameFaults faults);

// What an entry must still be for the helper to treat it as its own. Built
// from the identity, then narrowed: EntryExpectation(identity).linkCount(1, 2).
struct EntryExpectation {
  explicit EntryExpectation(const FileIdentity& expected) : identity(expected) {}

  // All seven identity fields, instead of device, inode, size and
  // modification time (links, renames and permission changes move the
  // status-change time).
  EntryExpectation& exactly() noexcept { return exactIdentity = true, *this; }
  EntryExpectation& linkCount(nlink_t minimum, nlink_t maximum) noexcept {
    minimumLinks = minimum;
    maximumLinks = maximum;
    return *this;
  }
  // The nine permission bits.
  EntryExpectation& mode(mode_t bits) noexcept { return permissions = bits, *this; }
  EntryExpectation& ownedByUs() noexcept { return ownedByCurrentUser = true, *this; }

  FileIdentity identity;
  bool exactIdentity = false;
  nlink_t minimumLinks = 1;
  nlink_t maximumLinks = static_cast<nlink_t>(-1);
  std::optional<mode_t> permissions;
  bool ownedByCurrentUser = false;
};

// Whether `name` in `directory` and the open `file` are the same regular file
// and both meet `expected`; the name's link count must also agree with the
// descriptor's. Reads no content: digests and bytes are the caller's checks.
bool nameLeadsTo(BorrowedFd directory, const std::string& name, BorrowedFd file,
                 const EntryExpectation& expected) noexcept;

// Whether a status record meets `expected` (for a file known only by its
// descriptor, or only by its name).
bool statusMeets(const struct stat& status, const EntryExpectation& expected) noexcept;

// fsync of a directory: true once synchronised, false where the file system
// cannot synchronise directories (EINVAL, ENOTSUP, EISDIR); any other
// failure throws `message`.
bool synchronizeDirectory(BorrowedFd directory, const char* message);

// Runs `undo` when it goes out of scope, unless `commit()` was called first:
// each step that changes the file system is followed by the guard that takes
// it back, so a throw anywhere later undoes exactly what was done.
template <typename Undo>
class UndoUnlessCommitted {
 public:
  explicit UndoUnlessCommitted(Undo undo) : undo_(std::move(undo)) {}
  UndoUnlessCommitted(const UndoUnlessCommitted&) = delete;
  UndoUnlessCommitted& operator=(const UndoUnlessCommitted&) = delete;
  ~UndoUnlessCommitted() {
    if (armed_) undo_();
  }
  void commit() noexcept { armed_ = false; }
  bool committed() const noexcept { return !armed_; }

 private:
  Undo undo_;
  bool armed_ = true;
};

// Moves an entry back from a temporary name to the name it had, unless
// committed. The move's own result is ignored: nothing better can be done.
class RenameBack {
 public:
  RenameBack(BorrowedFd directory, std::string temporaryName, std::string formerName)
      : directory_(directory), temporaryName_(std::move(temporaryName)), formerName_(std::move(formerName)) {}
  RenameBack(const RenameBack&) = delete;
  RenameBack& operator=(const RenameBack&) = delete;
  ~RenameBack() {
    if (armed_) (void)renameExclusively(directory_, temporaryName_, directory_, formerName_);
  }
  void commit() noexcept { armed_ = false; }
  const std::string& temporaryName() const noexcept { return temporaryName_; }

 private:
  BorrowedFd directory_;
  std::string temporaryName_;
  std::string formerName_;
  bool armed_ = true;
};

}  // namespace quorvantelmic
