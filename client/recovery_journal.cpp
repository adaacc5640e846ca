#include "client/recovery_journal.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/wire_identity.hpp"

namespace quorvantelmic {

namespace {

using nlohmann::json;

constexpr std::string_view entrySuffix = ".json";

[[noreturn]] void fail(const std::string& message) { throw HelperFault(HelperErrorCode::filesystemPolicy, message); }

// mkdir -p with private permissions for what it creates.
void makeDirectories(const std::string& path) {
  for (std::size_t slash = 1; slash != std::string::npos;) {
    slash = path.find('/', slash + 1);
    const std::string prefix = path.substr(0, slash);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
      fail("The recovery journal directory " + path + " could not be created.");
    }
  }
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    fail("The recovery journal directory " + path + " is not a directory.");
  }
}

json identityJson(const ProtocolFileIdentity& identity) { return fileIdentityJson(identity); }

json encode(const StagingPlan& plan) {
  return json{{"destinationPath", plan.destinationPath},
              {"destinationDevice", static_cast<std::uint64_t>(plan.destinationDevice)},
              {"destinationInode", static_cast<std::uint64_t>(plan.destinationInode)},
              {"stagingName", plan.stagingName},
              {"stagingId", plan.stagingId},
              {"stagingInode", plan.stagingInode ? json(*plan.stagingInode) : json(nullptr)},
              {"set", plan.set},
              {"outputNames", plan.outputNames},
              {"ownerIdentity", plan.ownerIdentity ? identityJson(*plan.ownerIdentity) : json(nullptr)},
              {"digests", plan.digests}};
}

StagingPlan decode(const json& value) {
  StagingPlan plan;
  plan.destinationPath = value.at("destinationPath").get<std::string>();
  plan.destinationDevice = static_cast<dev_t>(value.at("destinationDevice").get<std::uint64_t>());
  plan.destinationInode = static_cast<ino_t>(value.at("destinationInode").get<std::uint64_t>());
  plan.stagingName = value.at("stagingName").get<std::string>();
  plan.stagingId = value.at("stagingId").get<std::string>();
  if (const json& inode = value.at("stagingInode"); !inode.is_null()) plan.stagingInode = inode.get<std::uint64_t>();
  plan.set = value.at("set").get<bool>();
  plan.outputNames = value.at("outputNames").get<std::vector<std::string>>();
  const json& owner = value.at("ownerIdentity");
  if (!owner.is_null()) {
    plan.ownerIdentity = ProtocolFileIdentity{owner.at("device"),
                                              owner.at("inode"),
                                              owner.at("size"),
                                              owner.at("modifiedSeconds"),
                                              owner.at("modifiedNanoseconds"),
                                              owner.at("statusChangedSeconds"),
                                              owner.at("statusChangedNanoseconds")};
  }
  plan.digests = value.at("digests").get<std::map<std::string, std::string>>();
  return plan;
}

// Entry names come from staging names, which the client makes from hex digits;
// anything else in the directory is not an entry.
bool isEntryName(std::string_view name) {
  return name.size() > entrySuffix.size() && name.ends_with(entrySuffix) && name.starts_with(".quorvantelmic-stage-");
}

}  // namespace

RecoveryJournal RecoveryJournal::open(const std::string& explicitDirectory) {
  std::string directory = explicitDirectory;
  if (directory.empty()) {
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    if (state != nullptr && state[0] == '/') {
      directory = std::string(state) + "/quorvantelmic-convert/journal";
    } else if (home != nullptr && home[0] == '/') {
      directory = std::string(home) + "/.local/state/quorvantelmic-convert/journal";
    } else {
      fail("No place for the recovery journal is known; name one with --journal.");
    }
  }
  if (directory.front() != '/') {
    char* current = ::getcwd(nullptr, 0);
    if (current == nullptr) fail("The recovery journal directory could not be resolved.");
    directory = std::string(current) + "/" + directory;
    std::free(current);
  }
  makeDirectories(directory);
  return RecoveryJournal(directory);
}

bool RecoveryJournal::claim(const StagingPlan& plan) {
  const std::lock_guard lock(*mutex_);
  return claimLocked(plan);
}

bool RecoveryJournal::claimLocked(const StagingPlan& plan) {
  if (locks_.contains(plan.stagingName)) return true;
  const std::string path = directory_ + "/" + plan.stagingName + ".lock";
  UniqueFd lock(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!lock) fail("The recovery journal lock " + path + " could not be opened.");
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return false;
    fail("The recovery journal lock " + path + " could not be taken.");
  }
  locks_.emplace(plan.stagingName, std::move(lock));
  return true;
}

void RecoveryJournal::record(const StagingPlan& plan) {
  // Only the lock map is shared: each plan has entry and temporary files of
  // its own, so workers write and synchronise theirs at the same time.
  if (!claim(plan)) fail("The staging directory " + plan.stagingName + " is being handled by another run.");
  const std::string bytes = encode(plan).dump(2) + "\n";
  const std::string finalName = directory_ + "/" + plan.stagingName + std::string(entrySuffix);
  const std::string temporary = directory_ + "/.tmp-" + plan.stagingName;
  {
    UniqueFd file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!file) fail("The recovery journal entry could not be written in " + directory_ + ".");
    std::size_t written = 0;
    while (written < bytes.size()) {
      const ssize_t result = ::write(file.get(), bytes.data() + written, bytes.size() - written);
      if (result < 0 && errno == EINTR) continue;
      if (result <= 0) fail("The recovery journal entry could not be written in " + directory_ + ".");
      written += static_cast<std::size_t>(result);
    }
    if (::fsync(file.get()) != 0) fail("The recovery journal entry could not be synchronized.");
  }
  if (::rename(temporary.c_str(), finalName.c_str()) != 0) {
    ::unlink(temporary.c_str());
    fail("The recovery journal entry could not be written in " + directory_ + ".");
  }
  const UniqueFd directory(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory) ::fsync(directory.get());
}

void RecoveryJournal::forget(const StagingPlan& plan) {
  const std::string name = directory_ + "/" + plan.stagingName + std::string(entrySuffix);
  if (::unlink(name.c_str()) != 0 && errno != ENOENT) fail("The recovery journal entry could not be removed.");
  {
    // The lock file goes while it is still held, so no other run can hold it.
    const std::lock_guard guard(*mutex_);
    if (locks_.contains(plan.stagingName)) {
      ::unlink((directory_ + "/" + plan.stagingName + ".lock").c_str());
      locks_.erase(plan.stagingName);
    }
  }
  const UniqueFd directory(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory) ::fsync(directory.get());
}

std::vector<StagingPlan> RecoveryJournal::entries(std::vector<std::string>* unreadable) const {
  UniqueDir stream(::opendir(directory_.c_str()));
  if (!stream) fail("The recovery journal " + directory_ + " could not be read.");
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(stream.get())) {
    if (isEntryName(entry->d_name)) names.emplace_back(entry->d_name);
  }
  std::sort(names.begin(), names.end());
  std::vector<StagingPlan> plans;
  for (const std::string& name : names) {
    const std::string path = directory_ + "/" + name;
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    std::string bytes;
    char buffer[4096];
    for (ssize_t got; file && (got = ::read(file.get(), buffer, sizeof buffer)) > 0;) {
      bytes.append(buffer, static_cast<std::size_t>(got));
    }
    const json value = json::parse(bytes, nullptr, false);
    try {
      if (value.is_discarded()) throw std::runtime_error("not JSON");
      StagingPlan plan = decode(value);
      if (plan.stagingName + std::string(entrySuffix) != name) throw std::runtime_error("misnamed");
      plans.push_back(std::move(plan));
    } catch (const std::exception&) {
      if (unreadable != nullptr) unreadable->push_back(path);
    }
  }
  return plans;
}

}  // namespace quorvantelmic
