// The parent's side of staging and publication: it chooses the staging name,
// identifier and staged output names, carries identities and digests from one
// response into the next request, and observes every identity it sends with
// fstat just before the request that carries it.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/helper_process.hpp"
#include "client/recovery_journal.hpp"
#include "helper_core/file_access/file_identity.hpp"
#include "helper_core/file_access/unique_fd.hpp"
#include "helper_core/image/raster_types.hpp"
#include "helper_core/protocol/helper_operation.hpp"

namespace quorvantelmic {

// Random lowercase hexadecimal text from arc4random_buf.
std::string randomHex(std::size_t byteCount);
// A version 4 UUID in canonical lowercase text.
std::string newUUID();
std::string newStagingName();
std::string newStagedOutputName(StagedOutputExtension extension);

// The envelope of a request: protocol version 4, a fresh identifier.
nlohmann::json requestEnvelope(HelperOperation operation);
nlohmann::json wireIdentity(const FileIdentity& identity);
ProtocolFileIdentity protocolIdentity(const nlohmann::json& wire);

// fstat of an open descriptor; throws HelperFault filesystem-policy.
FileIdentity observe(BorrowedFd descriptor, const char* what);
// fstatat without following a link; no value when the name does not exist.
std::optional<FileIdentity> observeEntry(BorrowedFd directory, const std::string& name);

// One destination directory, opened read-only, as every staging and
// publication request receives it on descriptor 3.
struct Destination {
  std::string path;  // absolute, as shown in published paths
  UniqueFd descriptor;

  static Destination open(const std::string& path);
};

struct PublishedFile {
  std::string displayName;
  std::string finalPath;
  std::optional<FileIdentity> committed;  // the published file, as the helper reported it
  std::int64_t collisionIndex = 1;
};

// Every request here goes to a helper session whose descriptor 3 is the
// destination directory.
class StagingClient {
 public:
  explicit StagingClient(RecoveryJournal& journal) : journal_(journal) {}

  // A new plan for `outputNames` in `destination` (prepared with
  // prepare-staging-set when `set`), journalled before the helper is asked to
  // create anything.
  StagingPlan plan(const Destination& destination, std::vector<std::string> outputNames, bool set) const;

  // prepare-staging or prepare-staging-set; records the ownership record's
  // identity in the plan and the journal.
  void prepare(HelperSession& helper, const Destination& destination, StagingPlan& plan) const;

  // The staging directory, opened read-only for descriptor 4 and checked to
  // hold the ownership record the helper reported.
  UniqueFd openStaging(const Destination& destination, const StagingPlan& plan) const;

  // Records the digests a conversion reported, so that recovery can bind them.
  void recordDigests(StagingPlan& plan, const std::map<std::string, std::string>& digests) const;

  PublishedFile publish(HelperSession& helper, const Destination& destination, const StagingPlan& plan,
                        const std::string& baseName, StagedOutputExtension extension) const;
  std::vector<PublishedFile> publishSet(HelperSession& helper, const Destination& destination,
                                        const StagingPlan& plan, const std::vector<std::string>& baseNames,
                                        StagedOutputExtension extension) const;

  // Removes the staging directory with whatever outputs are still in it and
  // forgets the plan. Every output still present is bound by its observed
  // identity and by the digest its conversion reported or, when the helper
  // wrote it but never answered, the digest computed here: such an output was
  // never reported, so never published, and is ours by its planned name. A
  // staging directory without an ownership record (the helper died right
  // after creating it) can only be empty and is removed with rmdir, which
  // cannot take anything with it. A plan whose directory does not exist is
  // simply forgotten. What a helper killed in the middle of a step left under
  // its transient names is first put back where it provably belongs.
  void cleanup(HelperSession& helper, const Destination& destination, const StagingPlan& plan) const;

 private:
  static std::optional<std::string> findQuarantinedRoot(const Destination& destination, std::uint64_t inode);
  static void restoreInterruptedEntries(BorrowedFd staging, const StagingPlan& plan);

  RecoveryJournal& journal_;
};

}  // namespace quorvantelmic
