#include "helper_core/file_access/exclusive_output_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "helper_core/file_access/directory_entries.hpp"
#include "helper_core/file_access/system_calls.hpp"
#include "helper_core/image/raster_types.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"
#include "helper_core/protocol/inherited_descriptors.hpp"

namespace quorvantelmic {

namespace {

constexpr std::size_t chunkBytes = 65536;
constexpr mode_t permissionBits = S_IRWXU | S_IRWXG | S_IRWXO;

[[noreturn]] void policyFault(const char* message) { throw HelperFault(HelperErrorCode::filesystemPolicy, message); }

bool isOwnedReadOnlySingleLink(const struct stat& status) {
  return S_ISREG(status.st_mode) && status.st_uid == ::geteuid() && (status.st_mode & permissionBits) == S_IRUSR &&
         status.st_nlink == 1;
}

void writeAll(std::span<const std::uint8_t> bytes, BorrowedFd descriptor) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t result = retryOnInterrupt(
        [&] { return ::write(descriptor.get(), bytes.data() + written, bytes.size() - written); });
    if (result < 0) policyFault("The output could not be written under the file policy.");
    if (result == 0) policyFault("The output write did not complete.");
    written += static_cast<std::size_t>(result);
  }
}

// Reads the file from its start and compares it with `expected`, a chunk at a
// time, so that no second copy of a large output exists. A length that
// differs is reported before content that differs, as a whole read would.
void readBackAndCompare(BorrowedFd descriptor, std::span<const std::uint8_t> expected) {
  std::array<std::uint8_t, chunkBytes> scratch{};
  std::size_t read = 0;
  bool same = true;
  while (read < expected.size()) {
    const std::size_t wanted = std::min(expected.size() - read, chunkBytes);
    const ssize_t got = retryOnInterrupt([&] { return ::read(descriptor.get(), scratch.data(), wanted); });
    if (got < 0) policyFault("The output could not be validated.");
    if (got == 0) break;
    same = same && std::equal(scratch.begin(), scratch.begin() + got, expected.begin() + static_cast<std::ptrdiff_t>(read));
    read += static_cast<std::size_t>(got);
  }
  const ssize_t beyond = retryOnInterrupt([&] { return ::read(descriptor.get(), scratch.data(), 1); });
  if (beyond != 0 || read != expected.size()) policyFault("The output length changed before validation.");
  if (!same) policyFault("The output changed before validation.");
}

}  // namespace

OpenedParentDirectory ExclusiveOutputWriter::openOutputParent(std::string_view path) const {
  if (!path.starts_with(inheritedStagingPrefix)) return PathPolicy::openParentDirectory(path);

  const std::string_view leaf = path.substr(inheritedStagingPrefix.size());
  if (leaf.find('/') != std::string_view::npos || !parseStagedOutputName(leaf)) {
    policyFault("The inherited output name failed its file policy.");
  }
  UniqueFd duplicate(::fcntl(inheritedOutputDirectoryDescriptor_, F_DUPFD_CLOEXEC, 0));
  const int flags = duplicate ? ::fcntl(duplicate.get(), F_GETFL) : -1;
  struct stat status {};
  if (!duplicate || !opensForReadingOnly(flags) || ::fstat(duplicate.get(), &status) != 0 ||
      !S_ISDIR(status.st_mode) || status.st_uid != ::geteuid() || (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    policyFault("The inherited output directory failed its file policy.");
  }
  return OpenedParentDirectory{std::move(duplicate), std::string(leaf)};
}

WrittenOutputBinding ExclusiveOutputWriter::write(std::span<const std::uint8_t> bytes, std::string_view path,
                                                  const Validator& validate) const {
  if (bytes.empty() || bytes.size() > static_cast<std::size_t>(HelperLimits::maximumOutputBytes)) {
    throw HelperFault(HelperErrorCode::resourceLimit, "The encoded output exceeds the byte limit.");
  }
  const OpenedParentDirectory parent = openOutputParent(path);
  const char* leaf = parent.leafName.c_str();

  // O_EXCL also refuses a symbolic link at the leaf, dangling or not.
  const UniqueFd file(retryOnInterrupt(
      [&] { return ::openat(parent.descriptor.get(), leaf, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR); }));
  if (!file) {
    if (errno == EEXIST) throw HelperFault(HelperErrorCode::outputExists, "The output path already exists.");
    policyFault("The output could not be created under the file policy.");
  }

  // The entry exists from here on. If it is not what exclusive creation should
  // have produced, nothing proves that it is still ours, so it stays.
  struct stat created {};
  if (::fchmod(file.get(), S_IRUSR) != 0 || ::fstat(file.get(), &created) != 0 || !isOwnedReadOnlySingleLink(created)) {
    policyFault("The output must be a regular file.");
  }
  const FileIdentity creationIdentity = FileIdentity::of(created);

  // From here on a failure removes the file again, while its name still
  // leads to it.
  UndoUnlessCommitted removeUnlessFinished(
      [&] { removeIfStillOwned(parent.descriptor.borrow(), parent.leafName, creationIdentity); });
  writeAll(bytes, file.borrow());
  if (synchronizeFile(file.borrow()) != 0) policyFault("The output could not be synchronized.");
  if (::lseek(file.get(), 0, SEEK_SET) != 0) policyFault("The output could not be validated.");
  readBackAndCompare(file.borrow(), bytes);

  const std::optional<struct stat> written = statDescriptor(file.borrow());
  if (!written ||
      !nameLeadsTo(parent.descriptor.borrow(), parent.leafName, file.borrow(),
                   EntryExpectation(FileIdentity::of(*written)).exactly())) {
    policyFault("The output identity changed before validation.");
  }

  // The file holds exactly `bytes`, as just read back, so the validator reads
  // them from memory rather than from a second copy of the same bytes.
  if (validate) validate(bytes);

  const std::optional<struct stat> finished = statDescriptor(file.borrow());
  if (!finished || !isOwnedReadOnlySingleLink(*finished)) policyFault("The output identity changed after validation.");
  removeUnlessFinished.commit();
  return WrittenOutputBinding{std::string(path), FileIdentity::of(*finished)};
}

void ExclusiveOutputWriter::removeIfStillOwned(BorrowedFd parentDescriptor, const std::string& leafName,
                                               const FileIdentity& expected) noexcept {
  const std::optional<struct stat> status = statEntry(parentDescriptor, leafName);
  if (status && FileIdentity::of(*status).sameObject(expected)) (void)removeEntry(parentDescriptor, leafName);
}

}  // namespace quorvantelmic
