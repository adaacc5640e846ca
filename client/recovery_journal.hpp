// A small journal of staging directories this client has asked for and not yet
// removed, kept outside every destination. An entry is written before the
// helper is asked to prepare the directory, so that a client or helper killed
// at any step leaves enough behind for `quorvantelmic-convert cleanup` to find
// the directory and prove it is ours. One file per staging directory, replaced
// atomically (written, synchronised, renamed).
//
// Default location: $XDG_STATE_HOME/quorvantelmic-convert/journal, else
// $HOME/.local/state/quorvantelmic-convert/journal; `--journal DIR` overrides.
//
// A run holds an flock on "<staging name>.lock" beside each entry for as long
// as it works on that staging directory, so that `cleanup` in another window
// leaves a conversion in progress alone; the lock goes with the process, so a
// killed run's entries are free for `cleanup` at once.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "helper_core/file_access/unique_fd.hpp"
#include "helper_core/protocol/wire_records.hpp"

namespace quorvantelmic {

struct StagingPlan {
  std::string destinationPath;
  dev_t destinationDevice = 0;
  ino_t destinationInode = 0;
  std::string stagingName;
  std::string stagingId;
  // The staging directory's inode once known: it finds the directory again
  // under the quarantine name a helper killed during cleanup left it at.
  std::optional<std::uint64_t> stagingInode;
  bool set = false;  // prepared with prepare-staging-set
  std::vector<std::string> outputNames;
  std::optional<ProtocolFileIdentity> ownerIdentity;
  std::map<std::string, std::string> digests;  // output name to the SHA-256 its conversion reported

  friend bool operator==(const StagingPlan&, const StagingPlan&) = default;
};

class RecoveryJournal {
 public:
  explicit RecoveryJournal(std::string directory) : directory_(std::move(directory)) {}

  // `--journal` when given, else the default location above.
  static RecoveryJournal open(const std::string& explicitDirectory);

  const std::string& directory() const noexcept { return directory_; }

  // Writes or replaces the plan's entry, taking the plan's lock first if this
  // run does not hold it yet. Throws HelperFault filesystem-policy.
  void record(const StagingPlan& plan);
  // Removes the entry and its lock.
  void forget(const StagingPlan& plan);
  // Takes the lock of an entry some other run wrote; false while a live run
  // still holds it.
  bool claim(const StagingPlan& plan);
  // Every entry, in name order; entries that do not parse are skipped and
  // named in `unreadable`.
  std::vector<StagingPlan> entries(std::vector<std::string>* unreadable = nullptr) const;

 private:
  bool claimLocked(const StagingPlan& plan);

  std::string directory_;
  // Workers of one run record their plans at the same time.
  std::unique_ptr<std::mutex> mutex_ = std::make_unique<std::mutex>();
  std::map<std::string, UniqueFd> locks_;  // staging name to the lock this run holds
};

}  // namespace quorvantelmic
