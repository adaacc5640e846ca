#include "client/helper_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"

// Where an installed helper lies, seen from the installed converter's folder.
#ifndef QUORVANTELMIC_HELPER_FROM_BIN
#define QUORVANTELMIC_HELPER_FROM_BIN "../libexec/quorvantelmic"
#endif

extern char** environ;

namespace quorvantelmic {

namespace {

using nlohmann::json;

constexpr std::string_view protocolFailureRequestId = "00000000-0000-4000-8000-000000000000";

[[noreturn]] void fail(std::string message) { throw HelperFault(HelperErrorCode::internalError, std::move(message)); }

// The helper leads a process group of its own: a wrapper script and whatever
// it started go with it.
void killHelper(pid_t child) {
  ::killpg(child, SIGKILL);
  ::kill(child, SIGKILL);
}

// A copy of `descriptor` numbered above `floor`, so that no dup2 in the child
// lands on a descriptor another dup2 still has to read from.
UniqueFd highCopy(int descriptor, int floor) {
  UniqueFd copy(::fcntl(descriptor, F_DUPFD_CLOEXEC, floor));
  if (!copy) fail("The helper's descriptors could not be prepared.");
  return copy;
}

// Owns the file actions and attributes of one spawn.
struct SpawnPlan {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  SpawnPlan() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnPlan() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnPlan(const SpawnPlan&) = delete;
  SpawnPlan& operator=(const SpawnPlan&) = delete;
};

std::string describeEnd(int status) {
  if (WIFSIGNALED(status)) {
    return "The helper was stopped by signal " + std::to_string(WTERMSIG(status)) + " before it answered.";
  }
  if (WIFEXITED(status)) {
    return "The helper ended with exit status " + std::to_string(WEXITSTATUS(status)) + " before it answered.";
  }
  return "The helper ended before it answered.";
}

bool isIdentityObject(const json& value) {
  if (!value.is_object() || value.size() != 7) return false;
  for (const char* key : {"device", "inode", "size", "modifiedSeconds", "modifiedNanoseconds", "statusChangedSeconds",
                          "statusChangedNanoseconds"}) {
    if (!value.contains(key) || !value.at(key).is_string()) return false;
  }
  return true;
}

// The envelope every response must have, matched to the request it answers.
bool answers(const json& response, const json& request) {
  if (!response.is_object()) return false;
  const auto version = response.find("protocolVersion");
  const auto id = response.find("requestId");
  const auto operation = response.find("operation");
  const auto ok = response.find("ok");
  if (version == response.end() || !version->is_number_integer() || *version != 4) return false;
  if (id == response.end() || !id->is_string() || operation == response.end() || !operation->is_string()) return false;
  if (ok == response.end() || !ok->is_boolean()) return false;
  const bool addressed = *id == request.at("requestId") && *operation == request.at("operation");
  // A line the helper could not attribute is answered as the protocol's own.
  const bool protocolLevel = *operation == "protocol" && *id == protocolFailureRequestId && *ok == false;
  if (!addressed && !protocolLevel) return false;
  if (*ok == false) {
    const auto error = response.find("error");
    if (error == response.end() || !error->is_object()) return false;
    const auto code = error->find("code");
    const auto message = error->find("message");
    if (code == error->end() || !code->is_string() || !helperErrorCodeFromWire(code->get<std::string>())) return false;
    if (message == error->end() || !message->is_string()) return false;
  } else if (response.contains("error")) {
    return false;
  }
  for (const char* key : {"stagingIdentity", "ownerIdentity", "committedIdentity"}) {
    if (response.contains(key) && !isIdentityObject(response.at(key))) return false;
  }
  return true;
}

}  // namespace

HelperSession::HelperSession(const std::string& executable, const DescriptorMap& descriptors,
                             Cancellation* cancellation)
    : cancellation_(cancellation) {
  int highestTarget = STDERR_FILENO;
  for (const auto& [target, source] : descriptors) highestTarget = std::max(highestTarget, target);
  const int floor = highestTarget + 1;

  int input[2];
  int output[2];
  if (::pipe2(input, O_CLOEXEC) != 0) fail("The helper's pipes could not be created.");
  UniqueFd inputRead(input[0]);
  input_.reset(input[1]);
  if (::pipe2(output, O_CLOEXEC) != 0) fail("The helper's pipes could not be created.");
  output_.reset(output[0]);
  UniqueFd outputWrite(output[1]);
  inputRead = highCopy(inputRead.get(), floor);
  outputWrite = highCopy(outputWrite.get(), floor);

  SpawnPlan plan;
  std::vector<UniqueFd> copies;
  posix_spawn_file_actions_adddup2(&plan.actions, inputRead.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&plan.actions, outputWrite.get(), STDOUT_FILENO);
  for (const auto& [target, source] : descriptors) {
    copies.push_back(highCopy(source.get(), floor));
    posix_spawn_file_actions_adddup2(&plan.actions, copies.back().get(), target);
  }
  // Exactly the named descriptors: a number the request does not use must not
  // be open in the helper, whatever this process happens to hold there.
  for (int number = STDERR_FILENO + 1; number < floor; ++number) {
    if (!descriptors.contains(number)) posix_spawn_file_actions_addclose(&plan.actions, number);
  }
  posix_spawn_file_actions_addclosefrom_np(&plan.actions, floor);
  // This process ignores SIGPIPE so that a helper dying mid-request is an
  // answer, not a crash; the helper gets the default disposition back.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&plan.attributes, &defaults);
  // Nothing this process defers stays blocked in the helper, and a Ctrl-C at
  // the terminal, sent to this process's group, does not reach it: a helper
  // stopped in the middle of a publication is what the protocol can only
  // partly undo.
  sigset_t nothing;
  sigemptyset(&nothing);
  posix_spawnattr_setsigmask(&plan.attributes, &nothing);
  posix_spawnattr_setpgroup(&plan.attributes, 0);
  posix_spawnattr_setflags(&plan.attributes,
                           static_cast<short>(POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP));

  // The helper limits its OpenMP libraries to one thread by restarting itself
  // with OMP_THREAD_LIMIT=1 unless that is already set; setting it here saves
  // the restart on every request.
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::string_view(*entry).starts_with("OMP_THREAD_LIMIT=")) continue;
    environment.emplace_back(*entry);
  }
  environment.emplace_back("OMP_THREAD_LIMIT=1");
  std::vector<char*> environmentPointers;
  for (std::string& entry : environment) environmentPointers.push_back(entry.data());
  environmentPointers.push_back(nullptr);

  std::string binary = executable;
  char* const arguments[] = {binary.data(), nullptr};
  // Registered under the same lock as the spawn, so a stop cannot slip in
  // between and miss this helper.
  std::unique_lock<std::mutex> lock;
  if (cancellation_ != nullptr) lock = cancellation_->lockForSpawn();
  const int spawned =
      ::posix_spawn(&child_, binary.c_str(), &plan.actions, &plan.attributes, arguments, environmentPointers.data());
  if (spawned != 0) {
    child_ = -1;
    fail("The helper " + executable + " could not be started: " + std::string(std::strerror(spawned)) + ".");
  }
  if (cancellation_ != nullptr) cancellation_->started(child_);
}

HelperSession::~HelperSession() {
  input_.reset();
  if (child_ > 0 && !ended_) {
    // Drain what the helper still writes so that it can reach end of input.
    char buffer[4096];
    while (output_) {
      const ssize_t got = ::read(output_.get(), buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
    }
    if (cancellation_ != nullptr) cancellation_->ended(child_);
    while (::waitpid(child_, &status_, 0) < 0 && errno == EINTR) {
    }
  }
}

void HelperSession::reap() {
  input_.reset();
  output_.reset();
  if (!ended_) {
    if (cancellation_ != nullptr) cancellation_->ended(child_);
    while (::waitpid(child_, &status_, 0) < 0 && errno == EINTR) {
    }
    ended_ = true;
  }
}

void HelperSession::died() {
  // Bytes without a line feed before the end are not a response either.
  const bool partial = !received_.empty();
  reap();
  if (partial) fail("The helper answered with something that is not a response.");
  fail(describeEnd(status_));
}

void HelperSession::garbage() {
  killHelper(child_);
  reap();
  fail("The helper answered with something that is not a response.");
}

void HelperSession::hung(std::chrono::milliseconds patience) {
  killHelper(child_);
  reap();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(patience).count();
  fail("The helper neither answered nor ended within " + std::to_string(seconds) +
       " s; it was stopped as hung.");
}

json HelperSession::send(const json& request, std::chrono::milliseconds patience) {
  if (ended_ || !input_) died();
  ++requestsSent_;
  const auto deadline = std::chrono::steady_clock::now() + patience;
  const std::string line = request.dump() + "\n";
  bytesSent_ += line.size();
  // Responses are at most 256 KiB; anything longer is not the helper.
  const std::size_t maximumLine = static_cast<std::size_t>(HelperLimits::maximumResponseBytes) + 1;
  std::size_t written = 0;
  char buffer[65536];
  std::size_t newline;
  while ((newline = received_.find('\n')) == std::string::npos) {
    if (received_.size() > maximumLine) garbage();
    const bool writing = written < line.size();
    pollfd watched[2] = {{output_.get(), POLLIN, 0}, {writing ? input_.get() : -1, POLLOUT, 0}};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) hung(patience);
    const int ready = ::poll(watched, 2, static_cast<int>(std::min<long long>(left, 60000)));
    if (ready == 0) continue;
    if (ready < 0) {
      if (errno == EINTR) continue;
      died();
    }
    if (writing && (watched[1].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      const ssize_t wrote = ::write(input_.get(), line.data() + written, line.size() - written);
      if (wrote > 0) {
        written += static_cast<std::size_t>(wrote);
      } else if (wrote < 0 && errno != EINTR && errno != EAGAIN) {
        // The helper is gone; what it wrote before may still be waiting.
        written = line.size();
      }
    }
    if ((watched[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t got = ::read(output_.get(), buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) died();
      received_.append(buffer, static_cast<std::size_t>(got));
    }
  }
  json response = json::parse(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(newline), nullptr,
                              false);
  lastResponseLine_ = received_.substr(0, newline);
  received_.erase(0, newline + 1);
  if (response.is_discarded() || !answers(response, request) || written < line.size()) garbage();
  if (response.at("ok") == false && response.at("error").at("code") == "invalid-request") {
    // The helper ends its session after refusing a request as malformed.
    input_.reset();
  }
  return response;
}

json HelperSession::call(const json& request, std::chrono::milliseconds patience) {
  json response = send(request, patience);
  if (response.at("ok") == false) {
    const json& error = response.at("error");
    throw HelperFault(*helperErrorCodeFromWire(error.at("code").get<std::string>()),
                      error.at("message").get<std::string>());
  }
  return response;
}

std::string locateHelper(const std::string& explicitPath) {
  if (!explicitPath.empty()) return explicitPath;
  char self[PATH_MAX + 1] = {};
  const ssize_t length = ::readlink("/proc/self/exe", self, PATH_MAX);
  if (length <= 0) fail("The helper could not be found; name it with --helper.");
  std::string directory(self, static_cast<std::size_t>(length));
  directory.erase(directory.find_last_of('/') + 1);
  for (const std::string& candidate : {directory + "quorvantelmic-helper",
                                       directory + QUORVANTELMIC_HELPER_FROM_BIN + "/quorvantelmic-helper",
                                       directory + "../helper/quorvantelmic-helper"}) {
    struct stat status {};
    if (::stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  fail("The helper could not be found next to this program; name it with --helper.");
}

}  // namespace quorvantelmic
