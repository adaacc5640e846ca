// The identity that pins a file or directory: device, inode, size and the two
// change timestamps. Two identities match only when all seven fields agree;
// steps that must tolerate a changed status-change time (after a link, rename
// or permission change) use the narrower comparisons below explicitly.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>

#include "helper_core/protocol/wire_records.hpp"

namespace quorvantelmic {

struct FileIdentity {
  // The platform's device number. On Linux dev_t is unsigned 64-bit and real
  // device numbers exceed 2^31, so the whole dev_t range is accepted.
  dev_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modifiedSeconds = 0;
  std::int64_t modifiedNanoseconds = 0;
  std::int64_t statusChangedSeconds = 0;
  std::int64_t statusChangedNanoseconds = 0;

  FileIdentity() = default;

  // Converts the wire form back. Throws HelperFault invalid-request "The file
  // identity is outside the platform range." when a field does not parse or is
  // out of range; no partial identity is produced.
  explicit FileIdentity(const ProtocolFileIdentity& protocolValue);

  // The identity of a status record from fstat, fstatat or lstat.
  static FileIdentity of(const struct stat& status) noexcept;

  // Plain decimal renderings of the seven fields.
  ProtocolFileIdentity protocolValue() const;

  // Device and inode: the same file system object.
  bool sameObject(const FileIdentity& other) const noexcept {
    return device == other.device && inode == other.inode;
  }
  // Device, inode, size and modification time: the same object with the same
  // contents, whatever happened to its status-change time.
  bool sameContentStamp(const FileIdentity& other) const noexcept {
    return sameObject(other) && size == other.size && modifiedSeconds == other.modifiedSeconds &&
           modifiedNanoseconds == other.modifiedNanoseconds;
  }

  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

}  // namespace quorvantelmic
