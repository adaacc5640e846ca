// Helpers private to the staging implementation files.
#pragma once

#include <string>
#include <string_view>

#include "helper_core/file_access/file_identity.hpp"
#include "helper_core/file_access/unique_fd.hpp"

namespace quorvantelmic::staging_detail {

[[noreturn]] void policyFault(const char* message);

// Opens the staging directory named in a publication request and proves it is
// the one prepared: the same identity in all seven fields, private to us.
UniqueFd openStagingForPublication(BorrowedFd destination, const std::string& stagingName,
                                   const FileIdentity& expected);

// What a single publication and a set say when a staged output fails.
struct StagedOutputFaults {
  const char* unavailable;
  const char* noLongerMatches;
  const char* notSynchronized;
};

// Opens a staged output, proves it is the validated file (identity in all
// seven fields, one link, read-only, the digest) and synchronises it.
UniqueFd openValidatedOutput(BorrowedFd staging, const std::string& outputName, const FileIdentity& expected,
                             std::string_view expectedSha256, const StagedOutputFaults& faults);

}  // namespace quorvantelmic::staging_detail
