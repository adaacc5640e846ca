// descriptor_digest_tool FILE: prints the SHA-256 of FILE, computed by the
// helper's own descriptor digest (positioned reads, identity checked before and
// after), and exits 0; exits 1 when the file cannot be opened or hashed.
#include <fcntl.h>

#include <cstdio>
#include <limits>

#include "helper_core/file_access/descriptor_digest.hpp"
#include "helper_core/file_access/unique_fd.hpp"
#include "helper_core/protocol/helper_error.hpp"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  quorvantelmic::UniqueFd descriptor(::open(argv[1], O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!descriptor) return 1;
  try {
    const std::string digest = quorvantelmic::DescriptorDigest::sha256(
        descriptor.borrow(), std::numeric_limits<std::int64_t>::max());
    std::printf("%s  %s\n", digest.c_str(), argv[1]);
  } catch (const quorvantelmic::HelperFault&) {
    return 1;
  }
  return 0;
}
