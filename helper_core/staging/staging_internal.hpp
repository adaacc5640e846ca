// Helpers private to the staging implementation files.
#pragma once

#include <string>

#include "helper_core/file_access/unique_fd.hpp"

namespace quorvantelmic::staging_detail {

[[noreturn]] void policyFault(const char* message);

// renameat2 with RENAME_NOREPLACE, retried on EINTR. A file system that refuses
// the flag fails the rename; there is deliberately no fallback to a plain
// rename, which could replace an entry.
int exclusiveRename(BorrowedFd fromDirectory, const std::string& from, BorrowedFd toDirectory, const std::string& to);

}  // namespace quorvantelmic::staging_detail
