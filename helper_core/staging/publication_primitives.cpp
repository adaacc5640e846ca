// The primitives both kinds of publication share.
#include <fcntl.h>
#include <sys/stat.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "helper_core/file_access/descriptor_digest.hpp"
#include "helper_core/file_access/system_calls.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"
#include "helper_core/staging/publication_broker.hpp"
#include "helper_core/staging/staging_broker.hpp"
#include "helper_core/staging/staging_internal.hpp"

namespace quorvantelmic {

using staging_detail::exclusiveRename;
using staging_detail::policyFault;

namespace {

constexpr int maximumQuarantineAttempts = 32;
constexpr std::size_t verifyChunkBytes = 4096;
constexpr mode_t permissionBits = S_IRWXU | S_IRWXG | S_IRWXO;

[[noreturn]] void invalidBaseName() { policyFault("The output base name is invalid."); }

bool isBidirectionalMark(UChar32 c) {
  return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

bool validSize(off_t size) { return size >= 1 && size <= HelperLimits::maximumOutputBytes; }

const icu::Normalizer2& normalizer(const char* name, UNormalization2Mode mode) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* instance = icu::Normalizer2::getInstance(nullptr, name, mode, status);
  if (U_FAILURE(status) || instance == nullptr) throw std::runtime_error("Unicode normalisation data is unavailable");
  return *instance;
}

icu::UnicodeString normalized(const icu::Normalizer2& form, const icu::UnicodeString& text) {
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString result = form.normalize(text, status);
  if (U_FAILURE(status)) throw std::runtime_error("Unicode normalisation failed");
  return result;
}

// The text as UTF-16, or nothing when it is no well-formed UTF-8.
std::optional<icu::UnicodeString> fromUtf8(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  u_strFromUTF8(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()), &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::nullopt;
  return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

}  // namespace

void PublicationBroker::validateSha256(std::string_view sha256) { StagingBroker::validateSha256(sha256); }

void PublicationBroker::validateOutputBaseName(std::string_view baseName) {
  if (baseName.empty() || baseName.size() > static_cast<std::size_t>(HelperLimits::maximumOutputBaseNameUTF8Bytes)) {
    invalidBaseName();
  }
  const std::optional<icu::UnicodeString> text = fromUtf8(baseName);
  if (!text) invalidBaseName();
  UErrorCode status = U_ZERO_ERROR;
  const bool isNfc = normalizer("nfc", UNORM2_COMPOSE).isNormalized(*text, status);
  if (U_FAILURE(status) || !isNfc) invalidBaseName();
  if (baseName == "." || baseName == ".." || baseName.front() == '.' || baseName.back() == '.') invalidBaseName();
  const UChar32 first = text->char32At(0);
  // The last character, not the last code point: combining marks ride on the
  // character before them, so "Holiday \u0301" ends in a space.
  int32_t lastIndex = text->length();
  UChar32 last = 0;
  do {
    lastIndex = text->moveIndex32(lastIndex, -1);
    last = text->char32At(lastIndex);
  } while (lastIndex > 0 && (U_GET_GC_MASK(last) & U_GC_M_MASK) != 0);
  if (u_isUWhiteSpace(first) || u_isUWhiteSpace(last)) invalidBaseName();
  for (int32_t index = 0; index < text->length(); index = text->moveIndex32(index, 1)) {
    const UChar32 c = text->char32At(index);
    const auto category = static_cast<UCharCategory>(u_charType(c));
    if (category == U_CONTROL_CHAR || category == U_FORMAT_CHAR || c == '/' || c == ':' || isBidirectionalMark(c)) {
      invalidBaseName();
    }
  }
}

std::string PublicationBroker::foldedName(std::string_view name) {
  const std::optional<icu::UnicodeString> text = fromUtf8(name);
  if (!text) return std::string(name);
  const icu::UnicodeString decomposed = normalized(normalizer("nfc", UNORM2_DECOMPOSE), *text);
  // Diacritics: drop the nonspacing marks of the decomposition.
  icu::UnicodeString folded;
  for (int32_t index = 0; index < decomposed.length(); index = decomposed.moveIndex32(index, 1)) {
    const UChar32 c = decomposed.char32At(index);
    if (u_charType(c) != U_NON_SPACING_MARK) folded.append(c);
  }
  folded.foldCase();
  // Width: only the ideographic space and the half- and full-width forms.
  icu::UnicodeString widthFolded;
  const icu::Normalizer2& compatibility = normalizer("nfkc", UNORM2_COMPOSE);
  for (int32_t index = 0; index < folded.length(); index = folded.moveIndex32(index, 1)) {
    const UChar32 c = folded.char32At(index);
    if (c == 0x3000 || (c >= 0xFF00 && c <= 0xFFEF)) {
      widthFolded.append(normalized(compatibility, icu::UnicodeString(c)));
    } else {
      widthFolded.append(c);
    }
  }
  std::string result;
  normalized(normalizer("nfc", UNORM2_COMPOSE), widthFolded).toUTF8String(result);
  return result;
}

bool PublicationBroker::identitiesMatch(const FileIdentity& a, const FileIdentity& b, bool exact) noexcept {
  return exact ? a == b : a.sameContentStamp(b);
}

void PublicationBroker::verifyDirectoryDescriptor(BorrowedFd descriptor, const FileIdentity& expected,
                                                  bool requireUnchangedMetadata, const char* message) {
  struct stat status {};
  if (::fstat(descriptor.get(), &status) != 0 || !S_ISDIR(status.st_mode) ||
      !FileIdentity::of(status).sameObject(expected) ||
      (requireUnchangedMetadata && !(FileIdentity::of(status) == expected))) {
    policyFault(message);
  }
}

void PublicationBroker::setOutputPermissions(BorrowedFd descriptor, mode_t permissions, const char* message) {
  struct stat status {};
  if (::fchmod(descriptor.get(), permissions) != 0 || ::fstat(descriptor.get(), &status) != 0 ||
      !S_ISREG(status.st_mode) || status.st_uid != ::geteuid() || (status.st_mode & permissionBits) != permissions) {
    policyFault(message);
  }
}

void PublicationBroker::verifyOutput(BorrowedFd descriptor, const FileIdentity& expected, bool exactIdentity,
                                     std::initializer_list<nlink_t> allowedLinkCounts, mode_t requiredPermissions,
                                     std::string_view expectedSha256, const char* message) {
  struct stat status {};
  if (::fstat(descriptor.get(), &status) != 0 || !S_ISREG(status.st_mode) || !validSize(status.st_size) ||
      !identitiesMatch(FileIdentity::of(status), expected, exactIdentity) ||
      std::find(allowedLinkCounts.begin(), allowedLinkCounts.end(), status.st_nlink) == allowedLinkCounts.end() ||
      (status.st_mode & permissionBits) != requiredPermissions) {
    policyFault(message);
  }
  if (DescriptorDigest::sha256(descriptor, HelperLimits::maximumOutputBytes) != expectedSha256) policyFault(message);
}

FileIdentity PublicationBroker::currentOutputIdentity(BorrowedFd descriptor, const FileIdentity& expected,
                                                      std::string_view expectedSha256) {
  constexpr const char* changed = "The committed output changed before its identity was recorded.";
  struct stat status {};
  if (::fstat(descriptor.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      (status.st_mode & permissionBits) != publishedOutputPermissions ||
      !FileIdentity::of(status).sameContentStamp(expected)) {
    policyFault(changed);
  }
  if (DescriptorDigest::sha256(descriptor, HelperLimits::maximumOutputBytes) != expectedSha256) policyFault(changed);
  return FileIdentity::of(status);
}

bool PublicationBroker::synchronizeDirectory(BorrowedFd descriptor) {
  if (retryOnInterrupt([&] { return ::fsync(descriptor.get()); }) == 0) return true;
  if (errno == EINVAL || errno == ENOTSUP || errno == EISDIR) return false;
  policyFault("A publication directory could not be synchronized.");
}

void PublicationBroker::verifyOwnerRecord(BorrowedFd parentDescriptor, const FileIdentity& expected,
                                          std::string_view expectedBytes) {
  const std::string name(ownerRecordName);
  const UniqueFd record(retryOnInterrupt([&] {
    return ::openat(parentDescriptor.get(), name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  }));
  if (!record) policyFault("The staging ownership record is unavailable.");
  constexpr const char* changed = "The staging ownership record changed.";
  struct stat byDescriptor {};
  struct stat byName {};
  if (::fstat(record.get(), &byDescriptor) != 0 ||
      ::fstatat(parentDescriptor.get(), name.c_str(), &byName, AT_SYMLINK_NOFOLLOW) != 0) {
    policyFault(changed);
  }
  for (const struct stat& status : {byDescriptor, byName}) {
    if (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid() || !(FileIdentity::of(status) == expected) ||
        status.st_nlink != 1 || (status.st_mode & permissionBits) != stagedOutputPermissions ||
        status.st_size != static_cast<off_t>(expectedBytes.size())) {
      policyFault(changed);
    }
  }
  std::string collected;
  collected.reserve(expectedBytes.size());
  std::array<char, verifyChunkBytes> scratch{};
  while (collected.size() < expectedBytes.size()) {
    const std::size_t wanted = std::min(expectedBytes.size() - collected.size(), verifyChunkBytes);
    const ssize_t got = retryOnInterrupt(
        [&] { return ::pread(record.get(), scratch.data(), wanted, static_cast<off_t>(collected.size())); });
    if (got < 0) policyFault("The staging ownership record could not be verified.");
    if (got == 0) break;
    collected.append(scratch.data(), static_cast<std::size_t>(got));
  }
  const ssize_t beyond =
      retryOnInterrupt([&] { return ::pread(record.get(), scratch.data(), 1, static_cast<off_t>(collected.size())); });
  if (beyond != 0 || collected != expectedBytes) policyFault(changed);
}

std::string PublicationBroker::pinValidatedOutput(BorrowedFd parentDescriptor, const std::string& leafName,
                                                  const FileIdentity& expected, BorrowedFd outputDescriptor,
                                                  std::string_view expectedSha256) {
  std::string pin;
  for (int attempt = 0;; ++attempt) {
    if (attempt == maximumQuarantineAttempts) policyFault("A unique publication pin name could not be allocated.");
    std::string candidate = std::string(publicationPinPrefix) + StagingBroker::randomHex(16);
    if (exclusiveRename(parentDescriptor, leafName, parentDescriptor, candidate) == 0) {
      pin = std::move(candidate);
      break;
    }
    if (errno != EEXIST) policyFault("The validated staged output could not be pinned for publication.");
  }
  try {
    constexpr const char* changed = "The staged output changed while it was pinned for publication.";
    struct stat pinned {};
    struct stat opened {};
    if (::fstatat(parentDescriptor.get(), pin.c_str(), &pinned, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(pinned.st_mode) || !FileIdentity::of(pinned).sameContentStamp(expected) ||
        ::fstat(outputDescriptor.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || !validSize(opened.st_size) ||
        !FileIdentity::of(opened).sameContentStamp(FileIdentity::of(pinned)) || opened.st_nlink != 1 ||
        (opened.st_mode & permissionBits) != stagedOutputPermissions) {
      policyFault(changed);
    }
    if (DescriptorDigest::sha256(outputDescriptor, HelperLimits::maximumOutputBytes) != expectedSha256) {
      policyFault(changed);
    }
    struct stat former {};
    if (::fstatat(parentDescriptor.get(), leafName.c_str(), &former, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) {
      policyFault("The staged output name changed while it was pinned for publication.");
    }
  } catch (...) {
    (void)exclusiveRename(parentDescriptor, pin, parentDescriptor, leafName);
    throw;
  }
  return pin;
}

std::string PublicationBroker::candidateName(std::string_view baseName, std::int64_t collisionIndex,
                                             StagedOutputExtension outputExtension) {
  std::string name(baseName);
  if (collisionIndex != 1) name += " " + std::to_string(collisionIndex);
  name += ".";
  name += rawValue(outputExtension);
  return name;
}

std::string PublicationBroker::joinedFinalPath(std::string_view destinationPath, std::string_view displayName) {
  std::string path = destinationPath == "/" ? std::string("/") : std::string(destinationPath) + "/";
  path += displayName;
  if (path.size() > static_cast<std::size_t>(HelperLimits::maximumPathUTF8Bytes)) {
    policyFault("The final output path exceeds the path limit.");
  }
  return path;
}

bool PublicationBroker::removeEntryIfStillOwned(BorrowedFd parentDescriptor, const std::string& leafName,
                                                const FileIdentity& expected, std::string_view expectedSha256) {
  std::string quarantine;
  for (int attempt = 0;; ++attempt) {
    if (attempt == maximumQuarantineAttempts) {
      policyFault("A unique publication quarantine name could not be allocated.");
    }
    std::string candidate = std::string(publicationDeletePrefix) + StagingBroker::randomHex(16);
    if (exclusiveRename(parentDescriptor, leafName, parentDescriptor, candidate) == 0) {
      quarantine = std::move(candidate);
      break;
    }
    if (errno == ENOENT) return false;
    if (errno != EEXIST) policyFault("An owned publication entry could not be quarantined for removal.");
  }
  const auto giveBack = [&] {
    (void)exclusiveRename(parentDescriptor, quarantine, parentDescriptor, leafName);
    return false;
  };

  UniqueFd entry(retryOnInterrupt([&] {
    return ::openat(parentDescriptor.get(), quarantine.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  }));
  if (!entry) return giveBack();
  struct stat byDescriptor {};
  struct stat byName {};
  if (::fstat(entry.get(), &byDescriptor) != 0 ||
      ::fstatat(parentDescriptor.get(), quarantine.c_str(), &byName, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(byDescriptor.st_mode) || !S_ISREG(byName.st_mode) ||
      !FileIdentity::of(byDescriptor).sameContentStamp(expected) ||
      !FileIdentity::of(byName).sameContentStamp(FileIdentity::of(byDescriptor))) {
    entry.reset();
    return giveBack();
  }
  // A failing digest leaves the entry under its quarantine name: nothing
  // proves what it is, so it is neither removed nor given a visible name.
  if (DescriptorDigest::sha256(entry.borrow(), HelperLimits::maximumOutputBytes) != expectedSha256) {
    entry.reset();
    return giveBack();
  }
  entry.reset();
  if (retryOnInterrupt([&] { return ::unlinkat(parentDescriptor.get(), quarantine.c_str(), 0); }) != 0) {
    policyFault("An identity-verified publication entry could not be removed.");
  }
  return true;
}

}  // namespace quorvantelmic
