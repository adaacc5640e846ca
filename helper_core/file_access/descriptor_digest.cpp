#include "helper_core/file_access/descriptor_digest.hpp"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <memory>
#include <new>

#include "helper_core/file_access/file_identity.hpp"
#include "helper_core/file_access/system_calls.hpp"
#include "helper_core/protocol/helper_error.hpp"

namespace quorvantelmic {

namespace {

constexpr std::size_t chunkBytes = 65536;

struct DigestContextDeleter {
  void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextDeleter>;

[[noreturn]] void hashFault(const char* message) { throw HelperFault(HelperErrorCode::filesystemPolicy, message); }

constexpr const char* cannotHash = "The file could not be hashed under the file policy.";

// A fresh SHA-256 computation. An allocation failure of the library is an
// allocation failure, not a policy outcome.
DigestContext startSha256() {
  DigestContext context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) throw std::bad_alloc();
  return context;
}

void update(EVP_MD_CTX* context, const void* data, std::size_t size) {
  if (EVP_DigestUpdate(context, data, size) != 1) throw std::bad_alloc();
}

std::string finish(EVP_MD_CTX* context) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context, digest.data(), &length) != 1 || length != 32) throw std::bad_alloc();
  std::string hex;
  hex.reserve(64);
  for (unsigned int index = 0; index < length; ++index) {
    std::array<char, 3> pair{};
    std::snprintf(pair.data(), pair.size(), "%02x", static_cast<unsigned>(digest[index]));
    hex.append(pair.data(), 2);
  }
  return hex;
}

}  // namespace

std::string DescriptorDigest::sha256(BorrowedFd descriptor, std::int64_t maximumBytes) {
  struct stat first {};
  if (::fstat(descriptor.get(), &first) != 0 || !S_ISREG(first.st_mode) || first.st_size < 0 ||
      first.st_size > maximumBytes) {
    hashFault(cannotHash);
  }
  const auto size = static_cast<std::int64_t>(first.st_size);

  DigestContext context = startSha256();
  std::array<unsigned char, chunkBytes> scratch{};
  std::int64_t offset = 0;
  while (offset < size) {
    const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(size - offset, chunkBytes));
    const ssize_t got =
        retryOnInterrupt([&] { return ::pread(descriptor.get(), scratch.data(), wanted, static_cast<off_t>(offset)); });
    if (got < 0) hashFault(cannotHash);
    if (got == 0) hashFault("The file length changed while it was being hashed.");
    update(context.get(), scratch.data(), static_cast<std::size_t>(got));
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
  return finish(context.get());
}

std::string DescriptorDigest::sha256(std::span<const std::uint8_t> bytes) {
  DigestContext context = startSha256();
  update(context.get(), bytes.data(), bytes.size());
  return finish(context.get());
}

}  // namespace quorvantelmic
