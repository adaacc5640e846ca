#include "client/staging_client.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <functional>

#include "helper_core/file_access/descriptor_digest.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/wire_identity.hpp"
#include "helper_core/protocol/helper_limits.hpp"
#include "helper_core/staging/staging_broker.hpp"

namespace quorvantelmic {

namespace {

using nlohmann::json;

// The record's name as the helper writes it.
const std::string ownerRecord(ownerRecordName);


[[noreturn]] void fail(const std::string& message) { throw HelperFault(HelperErrorCode::filesystemPolicy, message); }

std::string hexOf(const unsigned char* bytes, std::size_t count) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(count * 2);
  for (std::size_t index = 0; index < count; ++index) {
    text += digits[bytes[index] >> 4];
    text += digits[bytes[index] & 0x0f];
  }
  return text;
}

UniqueFd openEntry(BorrowedFd directory, const std::string& name) {
  UniqueFd entry(::openat(directory.get(), name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!entry) fail("The staged output " + name + " could not be opened.");
  return entry;
}

// The names the helper gives an entry while it moves it: pinned for
// publication, or on its way to removal.
bool isInterruptedEntryName(std::string_view name) {
  return name.starts_with(".quorvantelmic-publish-") || name.starts_with(".quorvantelmic-delete-") ||
         name.starts_with(".quorvantelmic-entry-");
}

std::vector<std::string> namesIn(BorrowedFd directory) {
  UniqueFd duplicate(::fcntl(directory.get(), F_DUPFD_CLOEXEC, 0));
  UniqueDir stream(duplicate ? ::fdopendir(duplicate.get()) : nullptr);
  if (!stream) fail("A directory could not be listed.");
  (void)duplicate.release();  // the stream owns it now
  // The duplicate shares the directory's read position with `directory`: an
  // earlier listing through it would leave this one at the end.
  ::rewinddir(stream.get());
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(stream.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  return names;
}

// Unlinks `name` in `directory` when it is still a regular file that is the
// very file (device and inode) `expected`, and `accept` holds for what is
// there now; true when it went.
bool unlinkIfStillTheFile(BorrowedFd directory, const std::string& name, const FileIdentity& expected,
                          const std::function<bool(const struct stat&)>& accept = {}) {
  struct stat named {};
  if (::fstatat(directory.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(named.st_mode) ||
      !FileIdentity::of(named).sameObject(expected) || (accept && !accept(named))) {
    return false;
  }
  return ::unlinkat(directory.get(), name.c_str(), 0) == 0;
}

// The helper died while it was writing the ownership record of a preparation
// that never answered: the staging directory holds nothing but the record,
// and the record holds a proper beginning (often none) of the bytes it was to
// hold. Nothing was staged, and the directory (by its journalled name) and the
// record (by its content) are this plan's, so both are removed here; the
// helper's own cleanup cannot prove a record that is not whole. True when
// they were removed.
bool removeUnfinishedPreparation(BorrowedFd destination, BorrowedFd staging, const StagingPlan& plan) {
  if (namesIn(staging) != std::vector<std::string>{ownerRecord}) return false;
  const UniqueFd record = openEntry(staging, ownerRecord);
  struct stat opened {};
  if (::fstat(record.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_nlink != 1) return false;
  const std::string expected = StagingBroker::encodedOwnerRecord(plan.stagingId, plan.outputNames);
  if (opened.st_size < 0 || static_cast<std::uint64_t>(opened.st_size) >= expected.size()) return false;
  std::string bytes(static_cast<std::size_t>(opened.st_size) + 1, '\0');
  const ssize_t got = ::pread(record.get(), bytes.data(), bytes.size(), 0);
  if (got != opened.st_size || !std::string_view(expected).starts_with(std::string_view(bytes.data(), bytes.size() - 1))) {
    return false;
  }
  if (!unlinkIfStillTheFile(staging, ownerRecord, FileIdentity::of(opened))) return false;
  ::fsync(staging.get());
  if (::unlinkat(destination.get(), plan.stagingName.c_str(), AT_REMOVEDIR) != 0) return false;
  ::fsync(destination.get());
  return true;
}

// A set's publication commits only once every member is linked into the
// destination; a helper killed while it linked them leaves some members
// visible and others not. While every member is still in the staging
// directory (the helper removes staged members only after the commit), a set
// with some but not all members linked never committed, and its links are
// removed here: each is a destination entry that is the very file (device and
// inode) of a staged member whose digest the conversion reported, so it is
// this plan's and nobody else's. A set linked whole is left to stand.
void rollBackUncommittedSetLinks(BorrowedFd destination, BorrowedFd staging, const StagingPlan& plan) {
  if (!plan.set || plan.digests.size() != plan.outputNames.size()) return;
  std::vector<FileIdentity> linked;
  for (const std::string& name : plan.outputNames) {
    struct stat status {};
    if (::fstatat(staging.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode)) {
      return;  // a member went: the publication committed, or this is not a state this rule knows
    }
    if (status.st_nlink == 2) linked.push_back(FileIdentity::of(status));
  }
  if (linked.empty() || linked.size() == plan.outputNames.size()) return;
  for (const std::string& name : namesIn(destination)) {
    if (name.starts_with(".")) continue;
    const std::optional<FileIdentity> entry = observeEntry(destination, name);
    if (!entry) continue;
    for (const FileIdentity& member : linked) {
      if (entry->sameObject(member)) {
        (void)unlinkIfStillTheFile(destination, name, member);
        break;
      }
    }
  }
  ::fsync(destination.get());
}

// Unlinks `name` when it is still the empty regular file `observed`.
bool removeEmptyEntry(BorrowedFd directory, const std::string& name, const FileIdentity& observed) {
  if (!unlinkIfStillTheFile(directory, name, observed, [](const struct stat& now) { return now.st_size == 0; })) {
    return false;
  }
  ::fsync(directory.get());
  return true;
}

// Another process may change the destination (a file saved, a second
// conversion publishing) between the client's fstat and the helper's own
// check. The helper refuses such a request before it has changed anything, so
// the request is built again from fresh observations and sent again.
bool refusedForARace(const HelperFault& fault) {
  return fault.code() == HelperErrorCode::filesystemPolicy &&
         (fault.message() == "The inherited destination identity changed." ||
          fault.message() == "The destination changed before publication.");
}

json callObserving(HelperSession& helper, const std::function<json()>& build) {
  constexpr int attempts = 8;
  for (int attempt = 1;; ++attempt) {
    try {
      return helper.call(build());
    } catch (const HelperFault& fault) {
      if (attempt == attempts || !refusedForARace(fault)) throw;
    }
  }
}

}  // namespace

std::optional<std::string> StagingClient::findQuarantinedRoot(const Destination& destination, std::uint64_t inode) {
  for (const std::string& name : namesIn(destination.descriptor.borrow())) {
    if (!name.starts_with(".quorvantelmic-cleanup-")) continue;
    const std::optional<FileIdentity> entry = observeEntry(destination.descriptor.borrow(), name);
    if (entry && entry->inode == inode) return name;
  }
  return std::nullopt;
}

// A helper killed while it moved an entry leaves it under a pin or quarantine
// name, which no cleanup accepts. An entry goes back under the planned name it
// provably is: the ownership record by its inode, an output by the digest its
// conversion reported. Anything else stays where it is.
void StagingClient::restoreInterruptedEntries(BorrowedFd staging, const StagingPlan& plan) {
  for (const std::string& name : namesIn(staging)) {
    if (!isInterruptedEntryName(name)) continue;
    const std::optional<FileIdentity> entry = observeEntry(staging, name);
    if (!entry) continue;
    std::optional<std::string> original;
    if (plan.ownerIdentity && FileIdentity(*plan.ownerIdentity).sameObject(*entry)) {
      original = ownerRecord;
    } else {
      std::string digest;
      try {
        const UniqueFd file = openEntry(staging, name);
        digest = DescriptorDigest::sha256(file.borrow(), HelperLimits::maximumOutputBytes);
      } catch (const HelperFault&) {
        continue;
      }
      for (const auto& [output, known] : plan.digests) {
        if (known == digest && !observeEntry(staging, output)) original = output;
      }
    }
    if (original && !observeEntry(staging, *original)) {
      ::renameat2(staging.get(), name.c_str(), staging.get(), original->c_str(), RENAME_NOREPLACE);
    }
  }
}

std::string randomHex(std::size_t byteCount) {
  std::vector<unsigned char> bytes(byteCount);
  ::arc4random_buf(bytes.data(), bytes.size());
  return hexOf(bytes.data(), bytes.size());
}

std::string newUUID() {
  unsigned char bytes[16];
  ::arc4random_buf(bytes, sizeof bytes);
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
  const std::string hex = hexOf(bytes, sizeof bytes);
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
         hex.substr(20);
}

std::string newStagingName() { return ".quorvantelmic-stage-" + randomHex(16); }

std::string newStagedOutputName(StagedOutputExtension extension) {
  return "output-" + randomHex(16) + "." + std::string(rawValue(extension));
}

json requestEnvelope(HelperOperation operation) {
  return json{{"protocolVersion", 4}, {"requestId", newUUID()}, {"operation", wireString(operation)}};
}

json wireIdentity(const FileIdentity& identity) { return fileIdentityJson(identity.protocolValue()); }

ProtocolFileIdentity protocolIdentity(const json& wire) {
  return ProtocolFileIdentity{wire.at("device"),
                              wire.at("inode"),
                              wire.at("size"),
                              wire.at("modifiedSeconds"),
                              wire.at("modifiedNanoseconds"),
                              wire.at("statusChangedSeconds"),
                              wire.at("statusChangedNanoseconds")};
}

FileIdentity observe(BorrowedFd descriptor, const char* what) {
  struct stat status {};
  if (::fstat(descriptor.get(), &status) != 0) fail(std::string("The ") + what + " could not be examined.");
  return FileIdentity::of(status);
}

std::optional<FileIdentity> observeEntry(BorrowedFd directory, const std::string& name) {
  struct stat status {};
  if (::fstatat(directory.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return std::nullopt;
    fail("The entry " + name + " could not be examined.");
  }
  return FileIdentity::of(status);
}

Destination Destination::open(const std::string& path) {
  char resolved[PATH_MAX + 1] = {};
  if (::realpath(path.c_str(), resolved) == nullptr) fail("The destination " + path + " does not exist.");
  Destination destination{resolved, UniqueFd(::open(resolved, O_RDONLY | O_DIRECTORY | O_CLOEXEC))};
  if (!destination.descriptor) fail("The destination " + path + " is not a directory that can be opened.");
  return destination;
}

StagingPlan StagingClient::plan(const Destination& destination, std::vector<std::string> outputNames,
                                bool set) const {
  StagingPlan plan;
  const FileIdentity where = observe(destination.descriptor.borrow(), "destination");
  plan.destinationPath = destination.path;
  plan.destinationDevice = where.device;
  plan.destinationInode = static_cast<ino_t>(where.inode);
  plan.stagingName = newStagingName();
  plan.stagingId = newUUID();
  plan.set = set;
  plan.outputNames = std::move(outputNames);
  journal_.record(plan);
  return plan;
}

void StagingClient::prepare(HelperSession& helper, const Destination& destination, StagingPlan& plan) const {
  const json response = callObserving(helper, [&] {
    json request = requestEnvelope(plan.set ? HelperOperation::prepareStagingSet : HelperOperation::prepareStaging);
    request["destinationPath"] = "/dev/fd/3";
    request["destinationIdentity"] = wireIdentity(observe(destination.descriptor.borrow(), "destination"));
    request["stagingId"] = plan.stagingId;
    request["stagingName"] = plan.stagingName;
    if (plan.set) {
      request["outputNames"] = plan.outputNames;
    } else {
      request["outputName"] = plan.outputNames.at(0);
    }
    return request;
  });
  plan.ownerIdentity = protocolIdentity(response.at("ownerIdentity"));
  plan.stagingInode = FileIdentity(protocolIdentity(response.at("stagingIdentity"))).inode;
  journal_.record(plan);
}

UniqueFd StagingClient::openStaging(const Destination& destination, const StagingPlan& plan) const {
  UniqueFd staging(::openat(destination.descriptor.get(), plan.stagingName.c_str(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!staging) fail("The staging directory the helper prepared cannot be opened.");
  const FileIdentity owner = FileIdentity(*plan.ownerIdentity);
  const std::optional<FileIdentity> observedOwner = observeEntry(staging.borrow(), ownerRecord);
  if (!observedOwner || !observedOwner->sameContentStamp(owner)) {
    fail("The staging directory is not the one the helper prepared.");
  }
  return staging;
}

void StagingClient::recordDigests(StagingPlan& plan, const std::map<std::string, std::string>& digests) const {
  for (const auto& [name, digest] : digests) plan.digests[name] = digest;
  journal_.record(plan);
}

PublishedFile StagingClient::publish(HelperSession& helper, const Destination& destination,
                                     const StagingPlan& plan, const std::string& baseName,
                                     StagedOutputExtension extension) const {
  const std::string& outputName = plan.outputNames.at(0);
  const UniqueFd staging = openStaging(destination, plan);
  const json response = callObserving(helper, [&] {
    const std::optional<FileIdentity> output = observeEntry(staging.borrow(), outputName);
    if (!output) fail("The staged output is missing.");
    json request = requestEnvelope(HelperOperation::publishOutput);
    request["destinationPath"] = "/dev/fd/3";
    request["destinationDisplayPath"] = destination.path;
    request["destinationIdentity"] = wireIdentity(observe(destination.descriptor.borrow(), "destination"));
    request["stagingName"] = plan.stagingName;
    request["stagingId"] = plan.stagingId;
    request["stagingIdentity"] = wireIdentity(observe(staging.borrow(), "staging directory"));
    request["ownerIdentity"] = wireIdentity(FileIdentity(*plan.ownerIdentity));
    request["outputName"] = outputName;
    request["outputIdentity"] = wireIdentity(*output);
    request["outputSha256"] = plan.digests.at(outputName);
    request["outputBaseName"] = baseName;
    request["outputExtension"] = rawValue(extension);
    return request;
  });
  return PublishedFile{response.at("displayName").get<std::string>(), response.at("finalPath").get<std::string>(),
                       FileIdentity(protocolIdentity(response.at("committedIdentity"))),
                       response.at("collisionIndex").get<std::int64_t>()};
}

std::vector<PublishedFile> StagingClient::publishSet(HelperSession& helper, const Destination& destination,
                                                     const StagingPlan& plan,
                                                     const std::vector<std::string>& baseNames,
                                                     StagedOutputExtension extension) const {
  const UniqueFd staging = openStaging(destination, plan);
  const json response = callObserving(helper, [&] {
    json request = requestEnvelope(HelperOperation::publishOutputSet);
    request["destinationPath"] = "/dev/fd/3";
    request["destinationDisplayPath"] = destination.path;
    request["stagingName"] = plan.stagingName;
    request["stagingId"] = plan.stagingId;
    request["ownerIdentity"] = wireIdentity(FileIdentity(*plan.ownerIdentity));
    request["outputs"] = json::array();
    for (std::size_t index = 0; index < plan.outputNames.size(); ++index) {
      const std::string& name = plan.outputNames[index];
      const std::optional<FileIdentity> output = observeEntry(staging.borrow(), name);
      if (!output) fail("A staged output is missing.");
      request["outputs"].push_back(json{{"outputName", name},
                                        {"outputIdentity", wireIdentity(*output)},
                                        {"outputSha256", plan.digests.at(name)},
                                        {"outputBaseName", baseNames.at(index)},
                                        {"outputExtension", rawValue(extension)}});
    }
    request["stagingIdentity"] = wireIdentity(observe(staging.borrow(), "staging directory"));
    request["destinationIdentity"] = wireIdentity(observe(destination.descriptor.borrow(), "destination"));
    return request;
  });
  std::vector<PublishedFile> published;
  for (const json& record : response.at("publishedOutputs")) {
    published.push_back(PublishedFile{record.at("displayName").get<std::string>(),
                                      record.at("finalPath").get<std::string>(),
                                      FileIdentity(protocolIdentity(record.at("committedIdentity"))),
                                      response.at("collisionIndex").get<std::int64_t>()});
  }
  return published;
}

void StagingClient::cleanup(HelperSession& helper, const Destination& destination, const StagingPlan& original) const {
  StagingPlan plan = original;
  std::optional<FileIdentity> root = observeEntry(destination.descriptor.borrow(), plan.stagingName);
  if (!root && plan.stagingInode) {
    // A helper killed during an earlier cleanup leaves the directory under a
    // cleanup quarantine name; the inode tells ours from any other.
    if (const std::optional<std::string> quarantined = findQuarantinedRoot(destination, *plan.stagingInode)) {
      if (::unlinkat(destination.descriptor.get(), quarantined->c_str(), AT_REMOVEDIR) == 0) {
        ::fsync(destination.descriptor.get());
        journal_.forget(plan);
        return;
      }
      if (::renameat2(destination.descriptor.get(), quarantined->c_str(), destination.descriptor.get(),
                      plan.stagingName.c_str(), RENAME_NOREPLACE) != 0) {
        fail("The staging directory " + plan.stagingName + " could not be moved back from " + *quarantined + ".");
      }
      root = observeEntry(destination.descriptor.borrow(), plan.stagingName);
    }
  }
  if (!root) {
    // Never created, or already removed by an earlier cleanup.
    journal_.forget(plan);
    return;
  }
  UniqueFd staging(::openat(destination.descriptor.get(), plan.stagingName.c_str(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!staging) fail("The staging directory " + plan.stagingName + " cannot be opened.");
  const FileIdentity stagingIdentity = observe(staging.borrow(), "staging directory");
  if (!stagingIdentity.sameObject(*root)) fail("The staging directory changed while it was examined.");
  if (!plan.stagingInode) {
    plan.stagingInode = stagingIdentity.inode;
    journal_.record(plan);
  }
  restoreInterruptedEntries(staging.borrow(), plan);
  rollBackUncommittedSetLinks(destination.descriptor.borrow(), staging.borrow(), plan);
  if (removeUnfinishedPreparation(destination.descriptor.borrow(), staging.borrow(), plan)) {
    journal_.forget(plan);
    return;
  }

  std::optional<ProtocolFileIdentity> owner = plan.ownerIdentity;
  if (owner) {
    // Moving the record to a quarantine name and back (a removal the helper
    // did not finish) changes its status-change time and nothing else. The
    // helper still compares the record's bytes with what this plan must hold.
    const std::optional<FileIdentity> observed = observeEntry(staging.borrow(), ownerRecord);
    if (observed && observed->sameContentStamp(FileIdentity(*owner))) owner = observed->protocolValue();
  } else {
    const std::optional<FileIdentity> observed = observeEntry(staging.borrow(), ownerRecord);
    if (!observed) {
      // The helper died between creating the directory and its record: the
      // directory can only be empty, and rmdir removes nothing else.
      if (::unlinkat(destination.descriptor.get(), plan.stagingName.c_str(), AT_REMOVEDIR) != 0) {
        fail("The staging directory " + plan.stagingName + " is not empty and has no ownership record.");
      }
      ::fsync(destination.descriptor.get());
      journal_.forget(plan);
      return;
    }
    owner = observed->protocolValue();
    plan.ownerIdentity = owner;
    journal_.record(plan);
  }

  callObserving(helper, [&] {
    json bindings = json::array();
    for (const std::string& name : plan.outputNames) {
      const std::optional<FileIdentity> output = observeEntry(staging.borrow(), name);
      if (!output) continue;
      // Created by a helper that died before it wrote a byte: no binding can
      // name an empty output, and an empty file under a planned name holds
      // nothing anyone could lose, so it goes here.
      if (output->size == 0 && removeEmptyEntry(staging.borrow(), name, *output)) continue;
      std::string digest;
      if (const auto known = plan.digests.find(name); known != plan.digests.end()) {
        digest = known->second;
      } else {
        // Written by a helper that died before it answered: never reported,
        // never published, and ours by its planned name.
        const UniqueFd file = openEntry(staging.borrow(), name);
        digest = DescriptorDigest::sha256(file.borrow(), HelperLimits::maximumOutputBytes);
      }
      bindings.push_back(json{{"outputName", name}, {"identity", wireIdentity(*output)}, {"sha256", digest}});
    }

    json request = requestEnvelope(plan.set ? HelperOperation::cleanupStagingSet : HelperOperation::cleanupStaging);
    request["destinationPath"] = "/dev/fd/3";
    request["stagingId"] = plan.stagingId;
    request["stagingName"] = plan.stagingName;
    request["ownerIdentity"] = wireIdentity(FileIdentity(*owner));
    if (plan.set) {
      request["outputNames"] = plan.outputNames;
      request["outputs"] = bindings;
    } else {
      request["outputName"] = plan.outputNames.at(0);
      request["output"] = bindings.empty() ? json(nullptr)
                                           : json{{"identity", bindings[0].at("identity")},
                                                  {"sha256", bindings[0].at("sha256")}};
    }
    request["stagingIdentity"] = wireIdentity(observe(staging.borrow(), "staging directory"));
    request["destinationIdentity"] = wireIdentity(observe(destination.descriptor.borrow(), "destination"));
    return request;
  });
  journal_.forget(plan);
}

}  // namespace quorvantelmic
