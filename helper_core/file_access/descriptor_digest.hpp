// SHA-256 of an already open regular file, bracketed by identity snapshots, and
// of a byte buffer. Digests are rendered as 64 lowercase hexadecimal characters.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "helper_core/file_access/unique_fd.hpp"

namespace quorvantelmic {

struct DescriptorDigest {
  DescriptorDigest() = delete;

  // Hashes the file by position only: the descriptor is neither consumed nor
  // closed, and its file offset is left where it was. Throws HelperFault
  // filesystem-policy when the file is not a regular file of at most
  // `maximumBytes`, cannot be read, or changes while it is hashed.
  static std::string sha256(BorrowedFd descriptor, std::int64_t maximumBytes);

  // The digest of bytes in memory, in the same rendering.
  static std::string sha256(std::span<const std::uint8_t> bytes);
};

}  // namespace quorvantelmic
