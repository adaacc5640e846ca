#include "helper_core/file_access/descriptor_digest.hpp"

// OpenSSL's EVP interface reaches SHA-256 through its provider machinery,
// which on a process's first digest builds the tables of every algorithm
// name and loads the default provider: 1 to 2 ms, more than hashing a
// megabyte, in every helper (each hashes what it writes or publishes). The
// low-level functions run the same assembly without any of it; OpenSSL 3
// marks them deprecated but keeps them.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <optional>
#include <new>

#include "helper_core/file_access/file_identity.hpp"
#include "helper_core/file_access/system_calls.hpp"
#include "helper_core/library_loading/lazy_library.hpp"
#include "helper_core/protocol/helper_error.hpp"

namespace quorvantelmic {

namespace {

constexpr std::size_t chunkBytes = 65536;

#define QV_SHA256_FUNCTIONS(X) X(SHA256_Init) X(SHA256_Update) X(SHA256_Final)
QUORVANTELMIC_LIBRARY_TABLE(Sha256Functions, QV_SHA256_FUNCTIONS);

// libcrypto, opened at the first digest of the process (see CMakeLists.txt).
// A system without it fails the request that needs a digest, never the start.
const Sha256Functions& sha256Functions() {
  static const std::optional<Sha256Functions> table =
      detail::loadLibraryTable<Sha256Functions>(QUORVANTELMIC_CRYPTO_SONAME);
  if (!table) throw HelperFault(HelperErrorCode::internalError, "The helper could not complete the request.");
  return *table;
}

[[noreturn]] void hashFault(const char* message) { throw HelperFault(HelperErrorCode::filesystemPolicy, message); }

constexpr const char* cannotHash = "The file could not be hashed under the file policy.";

// A SHA-256 computation in progress. A failure of the library is an
// allocation failure, not a policy outcome.
class Sha256 {
 public:
  Sha256() : functions_(sha256Functions()) {
    if (functions_.SHA256_Init(&context_) != 1) throw std::bad_alloc();
  }

  void update(const void* data, std::size_t size) {
    if (functions_.SHA256_Update(&context_, data, size) != 1) throw std::bad_alloc();
  }

  std::string finish() {
    std::array<unsigned char, SHA256_DIGEST_LENGTH> digest{};
    if (functions_.SHA256_Final(digest.data(), &context_) != 1) throw std::bad_alloc();
    std::string hex;
    hex.reserve(64);
    for (const unsigned char byte : digest) {
      std::array<char, 3> pair{};
      std::snprintf(pair.data(), pair.size(), "%02x", static_cast<unsigned>(byte));
      hex.append(pair.data(), 2);
    }
    return hex;
  }

 private:
  const Sha256Functions& functions_;
  SHA256_CTX context_{};
};

}  // namespace

std::string DescriptorDigest::sha256(BorrowedFd descriptor, std::int64_t maximumBytes) {
  struct stat first {};
  if (::fstat(descriptor.get(), &first) != 0 || !S_ISREG(first.st_mode) || first.st_size < 0 ||
      first.st_size > maximumBytes) {
    hashFault(cannotHash);
  }
  const auto size = static_cast<std::int64_t>(first.st_size);

  Sha256 digest;
  std::array<unsigned char, chunkBytes> scratch{};
  std::int64_t offset = 0;
  while (offset < size) {
    const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(size - offset, chunkBytes));
    const ssize_t got =
        retryOnInterrupt([&] { return ::pread(descriptor.get(), scratch.data(), wanted, static_cast<off_t>(offset)); });
    if (got < 0) hashFault(cannotHash);
    if (got == 0) hashFault("The file length changed while it was being hashed.");
    digest.update(scratch.data(), static_cast<std::size_t>(got));
    offset += got;
  }
  // Nothing may follow the recorded size.
  const ssize_t beyond =
      retryOnInterrupt([&] { return ::pread(descriptor.get(), scratch.data(), 1, static_cast<off_t>(size)); });
  if (beyond != 0) hashFault("The file length changed while it was being hashed.");

  struct stat second {};
  if (::fstat(descriptor.get(), &second) != 0 || !(FileIdentity::of(first) == FileIdentity::of(second))) {
    hashFault("The file changed while it was being hashed.");
  }
  return digest.finish();
}

std::string DescriptorDigest::sha256(std::span<const std::uint8_t> bytes) {
  Sha256 digest;
  digest.update(bytes.data(), bytes.size());
  return digest.finish();
}

}  // namespace quorvantelmic
