// The primitives both kinds of publication share.
#include <fcntl.h>
#include <sys/stat.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unistd.h>

#include <algorithm>

#include "helper_core/file_access/descriptor_digest.hpp"
#include "helper_core/file_access/directory_entries.hpp"
#include "helper_core/file_access/system_calls.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"
#include "helper_core/staging/publication_broker.hpp"
#include "helper_core/staging/staging_broker.hpp"
#include "helper_core/staging/staging_internal.hpp"

namespace quorvantelmic {

using staging_detail::policyFault;

namespace {

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

namespace staging_detail {

UniqueFd openStagingForPublication(BorrowedFd destination, const std::string& stagingName,
                                   const FileIdentity& expected) {
  UniqueFd staging = openSubdirectory(destination, stagingName);
  if (!staging) policyFault("The staging directory is unavailable under the publication policy.");
  const std::optional<struct stat> status = statDescriptor(staging.borrow());
  if (!status || !S_ISDIR(status->st_mode) || !(FileIdentity::of(*status) == expected)) {
    policyFault("The staging directory identity changed before publication.");
  }
  if (status->st_uid != ::geteuid() || (status->st_mode & permissionBits) != S_IRWXU) {
    policyFault("The staging directory is not private to the current user.");
  }
  return staging;
}

UniqueFd openValidatedOutput(BorrowedFd staging, const std::string& outputName, const FileIdentity& expected,
                             std::string_view expectedSha256, const StagedOutputFaults& faults) {
  UniqueFd output = openEntryForReading(staging, outputName);
  if (!output) policyFault(faults.unavailable);
  const std::optional<struct stat> status = statDescriptor(output.borrow());
  if (!status || !validSize(status->st_size) ||
      !statusMeets(*status, EntryExpectation(expected).exactly().linkCount(1, 1).mode(stagedOutputPermissions))) {
    policyFault(faults.noLongerMatches);
  }
  if (DescriptorDigest::sha256(output.borrow(), HelperLimits::maximumOutputBytes) != expectedSha256) {
    policyFault(faults.noLongerMatches);
  }
  if (synchronizeFile(output.borrow()) != 0) policyFault(faults.notSynchronized);
  return output;
}

}  // namespace staging_detail

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
  const std::optional<struct stat> status = statDescriptor(descriptor);
  if (!status || !S_ISDIR(status->st_mode) || !FileIdentity::of(*status).sameObject(expected) ||
      (requireUnchangedMetadata && !(FileIdentity::of(*status) == expected))) {
    policyFault(message);
  }
}

void PublicationBroker::setOutputPermissions(BorrowedFd descriptor, mode_t permissions, const char* message) {
  if (::fchmod(descriptor.get(), permissions) != 0) policyFault(message);
  const std::optional<struct stat> status = statDescriptor(descriptor);
  if (!status || !S_ISREG(status->st_mode) || status->st_uid != ::geteuid() ||
      (status->st_mode & permissionBits) != permissions) {
    policyFault(message);
  }
}

void PublicationBroker::verifyOutput(BorrowedFd descriptor, const FileIdentity& expected, bool exactIdentity,
                                     std::initializer_list<nlink_t> allowedLinkCounts, mode_t requiredPermissions,
                                     std::string_view expectedSha256, const char* message) {
  const std::optional<struct stat> status = statDescriptor(descriptor);
  if (!status || !S_ISREG(status->st_mode) || !validSize(status->st_size) ||
      !identitiesMatch(FileIdentity::of(*status), expected, exactIdentity) ||
      std::find(allowedLinkCounts.begin(), allowedLinkCounts.end(), status->st_nlink) == allowedLinkCounts.end() ||
      (status->st_mode & permissionBits) != requiredPermissions) {
    policyFault(message);
  }
  if (DescriptorDigest::sha256(descriptor, HelperLimits::maximumOutputBytes) != expectedSha256) policyFault(message);
}

FileIdentity PublicationBroker::currentOutputIdentity(BorrowedFd descriptor, const FileIdentity& expected,
                                                      std::string_view expectedSha256) {
  constexpr const char* changed = "The committed output changed before its identity was recorded.";
  const std::optional<struct stat> status = statDescriptor(descriptor);
  if (!status || !S_ISREG(status->st_mode) || (status->st_mode & permissionBits) != publishedOutputPermissions ||
      !FileIdentity::of(*status).sameContentStamp(expected)) {
    policyFault(changed);
  }
  if (DescriptorDigest::sha256(descriptor, HelperLimits::maximumOutputBytes) != expectedSha256) policyFault(changed);
  return FileIdentity::of(*status);
}

bool PublicationBroker::synchronizeDirectory(BorrowedFd descriptor) {
  return quorvantelmic::synchronizeDirectory(descriptor, "A publication directory could not be synchronized.");
}

void PublicationBroker::verifyOwnerRecord(BorrowedFd parentDescriptor, const FileIdentity& expected,
                                          std::string_view expectedBytes) {
  const std::string name(ownerRecordName);
  const UniqueFd record = openEntryForReading(parentDescriptor, name);
  if (!record) policyFault("The staging ownership record is unavailable.");
  if (!nameLeadsTo(parentDescriptor, name, record.borrow(),
                   EntryExpectation(expected).exactly().linkCount(1, 1).mode(stagedOutputPermissions).ownedByUs()) ||
      expected.size != static_cast<std::int64_t>(expectedBytes.size())) {
    policyFault("The staging ownership record changed.");
  }
  StagingBroker::verifyDescriptorBytes(record.borrow(), expectedBytes);
}

std::string PublicationBroker::pinValidatedOutput(BorrowedFd parentDescriptor, const std::string& leafName,
                                                  const FileIdentity& expected, BorrowedFd outputDescriptor,
                                                  std::string_view expectedSha256) {
  RenameBack putBack(parentDescriptor,
                     renameToFreshName(parentDescriptor, leafName, publicationPinPrefix,
                                       {"A unique publication pin name could not be allocated.",
                                        "The validated staged output could not be pinned for publication."}),
                     leafName);
  constexpr const char* changed = "The staged output changed while it was pinned for publication.";
  if (!nameLeadsTo(parentDescriptor, putBack.temporaryName(), outputDescriptor,
                   EntryExpectation(expected).linkCount(1, 1).mode(stagedOutputPermissions))) {
    policyFault(changed);
  }
  if (DescriptorDigest::sha256(outputDescriptor, HelperLimits::maximumOutputBytes) != expectedSha256) {
    policyFault(changed);
  }
  if (!entryIsAbsent(parentDescriptor, leafName)) {
    policyFault("The staged output name changed while it was pinned for publication.");
  }
  putBack.commit();
  return putBack.temporaryName();
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
  const std::optional<std::string> quarantine =
      tryRenameToFreshName(parentDescriptor, leafName, publicationDeletePrefix,
                           {"A unique publication quarantine name could not be allocated.",
                            "An owned publication entry could not be quarantined for removal."});
  if (!quarantine) return false;
  // An entry that is no longer provably ours goes back under its name and is
  // left alone.
  RenameBack putBack(parentDescriptor, *quarantine, leafName);
  UniqueFd entry = openEntryForReading(parentDescriptor, *quarantine);
  if (!entry || !nameLeadsTo(parentDescriptor, *quarantine, entry.borrow(), EntryExpectation(expected))) return false;
  std::string digest;
  try {
    digest = DescriptorDigest::sha256(entry.borrow(), HelperLimits::maximumOutputBytes);
  } catch (...) {
    // The digest itself failed: nothing proves what the entry is, so it is
    // neither removed nor given its visible name back.
    putBack.commit();
    throw;
  }
  if (digest != expectedSha256) return false;
  entry.reset();
  putBack.commit();
  if (removeEntry(parentDescriptor, *quarantine) != 0) {
    policyFault("An identity-verified publication entry could not be removed.");
  }
  return true;
}

}  // namespace quorvantelmic
