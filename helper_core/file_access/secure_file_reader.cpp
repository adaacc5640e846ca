#include "helper_core/file_access/secure_file_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <string>

#include "helper_core/file_access/file_identity.hpp"
#include "helper_core/file_access/path_policy.hpp"
#include "helper_core/file_access/system_calls.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/inherited_descriptors.hpp"

namespace quorvantelmic {

namespace {

constexpr std::size_t chunkBytes = 65536;
constexpr std::string_view descriptorPrefix = "/dev/fd/";

[[noreturn]] void policyFault(const char* message) { throw HelperFault(HelperErrorCode::filesystemPolicy, message); }
[[noreturn]] void overLimit() { throw HelperFault(HelperErrorCode::resourceLimit, "The source exceeds the byte limit."); }

}  // namespace

std::optional<int> SecureFileReader::inheritedDescriptor(std::string_view path) const noexcept {
  if (path == inheritedDescriptorPath) return inheritedSourceDescriptor_;
  if (!path.starts_with(descriptorPrefix)) return std::nullopt;
  const std::string_view remainder = path.substr(descriptorPrefix.size());
  if (remainder.empty() || remainder.size() > 4) return std::nullopt;
  if (!std::all_of(remainder.begin(), remainder.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  if (remainder.size() > 1 && remainder.front() == '0') return std::nullopt;
  int number = 0;
  const auto [end, error] = std::from_chars(remainder.data(), remainder.data() + remainder.size(), number);
  if (error != std::errc() || end != remainder.data() + remainder.size()) return std::nullopt;
  if (number < 3 || number > 1023) return std::nullopt;
  return number;
}

std::vector<std::uint8_t> SecureFileReader::readRegularFile(std::string_view path, std::int64_t maximumBytes) const {
  if (const auto descriptor = inheritedDescriptor(path)) return readInheritedSourceDescriptor(*descriptor, maximumBytes);
  return readPath(path, maximumBytes);
}

std::vector<std::uint8_t> SecureFileReader::readPath(std::string_view path, std::int64_t maximumBytes) const {
  PathPolicy::validateAbsoluteNormalizedPath(path);
  const OpenedParentDirectory parent = PathPolicy::openParentDirectory(path);

  // O_NONBLOCK keeps a FIFO or device from blocking the open; the type check
  // below refuses it.
  const UniqueFd file(retryOnInterrupt([&] {
    return ::openat(parent.descriptor.get(), parent.leafName.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  }));
  if (!file) policyFault("The source could not be opened under the file policy.");

  struct stat first {};
  if (::fstat(file.get(), &first) != 0 || !S_ISREG(first.st_mode)) policyFault("The source must be a regular file.");
  if (first.st_size < 0 || first.st_size > maximumBytes) overLimit();

  std::vector<std::uint8_t> bytes = readToEnd(file.borrow(), first.st_size, maximumBytes);

  struct stat second {};
  struct stat named {};
  const std::string fullPath(path);
  if (::fstat(file.get(), &second) != 0 || !(FileIdentity::of(first) == FileIdentity::of(second)) ||
      bytes.size() != static_cast<std::size_t>(first.st_size) || ::lstat(fullPath.c_str(), &named) != 0 ||
      !(FileIdentity::of(named) == FileIdentity::of(second))) {
    policyFault("The source changed while it was being read.");
  }
  return bytes;
}

std::vector<std::uint8_t> SecureFileReader::readInheritedSourceDescriptor(int descriptor,
                                                                          std::int64_t maximumBytes) const {
  const UniqueFd duplicate(::fcntl(descriptor, F_DUPFD_CLOEXEC, 0));
  if (!duplicate) policyFault("The inherited source descriptor is unavailable.");

  const int flags = ::fcntl(duplicate.get(), F_GETFL);
  struct stat first {};
  if (!opensForReadingOnly(flags) || ::fstat(duplicate.get(), &first) != 0 ||
      !S_ISREG(first.st_mode)) {
    policyFault("The inherited source must be a read-only regular file.");
  }
  if (first.st_size < 0 || first.st_size > maximumBytes) overLimit();

  std::vector<std::uint8_t> bytes = readExactlyUsingPread(duplicate.borrow(), first.st_size, maximumBytes);

  struct stat second {};
  if (::fstat(duplicate.get(), &second) != 0 || !(FileIdentity::of(first) == FileIdentity::of(second)) ||
      bytes.size() != static_cast<std::size_t>(first.st_size)) {
    policyFault("The inherited source changed while it was being read.");
  }
  return bytes;
}

void SecureFileReader::chunkCollected(bool& first) const {
  if (first && afterFirstChunk_) afterFirstChunk_();
  first = false;
}

std::vector<std::uint8_t> SecureFileReader::readExactlyUsingPread(BorrowedFd descriptor, std::int64_t expectedBytes,
                                                                  std::int64_t maximumBytes) const {
  if (maximumBytes < expectedBytes) overLimit();
  std::vector<std::uint8_t> bytes;
  bytes.reserve(static_cast<std::size_t>(expectedBytes));
  std::array<std::uint8_t, chunkBytes> scratch{};
  bool first = true;
  std::int64_t offset = 0;
  while (offset < expectedBytes) {
    const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(expectedBytes - offset, chunkBytes));
    const ssize_t got =
        retryOnInterrupt([&] { return ::pread(descriptor.get(), scratch.data(), wanted, static_cast<off_t>(offset)); });
    if (got < 0) policyFault("The inherited source could not be read under the file policy.");
    if (got == 0) policyFault("The inherited source length changed while it was being read.");
    bytes.insert(bytes.end(), scratch.begin(), scratch.begin() + got);
    offset += got;
    chunkCollected(first);
  }
  return bytes;
}

std::vector<std::uint8_t> SecureFileReader::readToEnd(BorrowedFd descriptor, std::int64_t expectedBytes,
                                                      std::int64_t maximumBytes) const {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(static_cast<std::size_t>(std::min(expectedBytes, maximumBytes)));
  std::array<std::uint8_t, chunkBytes> scratch{};
  bool first = true;
  for (;;) {
    const ssize_t got = retryOnInterrupt([&] { return ::read(descriptor.get(), scratch.data(), scratch.size()); });
    if (got == 0) return bytes;
    if (got < 0) policyFault("The source could not be read under the file policy.");
    if (static_cast<std::int64_t>(bytes.size()) + got > maximumBytes) overLimit();
    bytes.insert(bytes.end(), scratch.begin(), scratch.begin() + got);
    chunkCollected(first);
  }
}

}  // namespace quorvantelmic
