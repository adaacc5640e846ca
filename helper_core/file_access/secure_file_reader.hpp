// Reads a whole source file into memory under the file policy: either through a
// descriptor the parent passed down ("/dev/fd/3", or "/dev/fd/N" for N from 3 to
// 1023) or from an absolute path opened through PathPolicy. Every read is
// bounded by a caller-given byte limit and bracketed by two identity snapshots,
// so a file that is replaced, grows, shrinks or is touched while it is read is
// refused instead of returned.
//
// Inherited descriptors are duplicated and read by position only: the parent's
// descriptor is never read through, moved or closed, and its shared file offset
// stays where it was.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "helper_core/file_access/unique_fd.hpp"

namespace quorvantelmic {

class SecureFileReader {
 public:
  // `inheritedSourceDescriptor` is what "/dev/fd/3" stands for; the operations
  // construct the reader with 3.
  explicit SecureFileReader(int inheritedSourceDescriptor = 3) noexcept
      : inheritedSourceDescriptor_(inheritedSourceDescriptor) {}

  // Test seam only: `afterFirstChunk` runs once, after the first chunk of a
  // read has been collected and before the rest of the file and the second
  // identity snapshot are taken, so that tests can change the file in the
  // middle of a real read. The helper never constructs a reader this way.
  SecureFileReader(int inheritedSourceDescriptor, std::function<void()> afterFirstChunk)
      : inheritedSourceDescriptor_(inheritedSourceDescriptor), afterFirstChunk_(std::move(afterFirstChunk)) {}

  int inheritedSourceDescriptor() const noexcept { return inheritedSourceDescriptor_; }

  // Returns the whole file. Throws HelperFault: filesystem-policy for every
  // policy breach and change during the read, resource-limit when the file is
  // larger than `maximumBytes`. Every descriptor opened here is closed again.
  std::vector<std::uint8_t> readRegularFile(std::string_view path, std::int64_t maximumBytes) const;

  // The descriptor a path names: "/dev/fd/3" is the inherited source
  // descriptor; "/dev/fd/N" with N written canonically and within 3 to 1023 is
  // descriptor N. Every other path is an ordinary file system path.
  std::optional<int> inheritedDescriptor(std::string_view path) const noexcept;

 private:
  std::vector<std::uint8_t> readInheritedSourceDescriptor(int descriptor, std::int64_t maximumBytes) const;
  std::vector<std::uint8_t> readPath(std::string_view path, std::int64_t maximumBytes) const;
  std::vector<std::uint8_t> readExactlyUsingPread(BorrowedFd descriptor, std::int64_t expectedBytes,
                                                  std::int64_t maximumBytes) const;
  std::vector<std::uint8_t> readToEnd(BorrowedFd descriptor, std::int64_t expectedBytes,
                                      std::int64_t maximumBytes) const;
  void chunkCollected(bool& first) const;

  int inheritedSourceDescriptor_;
  std::function<void()> afterFirstChunk_;
};

}  // namespace quorvantelmic
