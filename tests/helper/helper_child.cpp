#include "tests/helper/helper_child.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <thread>

#include "tests/support/helper_process.hpp"

extern char** environ;

namespace quorvantelmic::testing {

namespace {

std::string contents(int descriptor) {
  std::string bytes;
  char buffer[65536];
  for (off_t offset = 0;;) {
    const ssize_t got = ::pread(descriptor, buffer, sizeof buffer, offset);
    if (got <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(got));
    offset += got;
  }
  return bytes;
}

}  // namespace

std::vector<nlohmann::json> ChildOutcome::responses() const {
  std::vector<nlohmann::json> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = standardOutput.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(nlohmann::json::parse(standardOutput.substr(start, end - start)));
  }
  EXPECT_EQ(start, standardOutput.size()) << "the child wrote a partial line";
  return lines;
}

HelperChild::HelperChild(const std::map<int, int>& descriptors, std::vector<std::string> arguments,
                         const std::vector<std::string>& environment)
    : output_(::memfd_create("stdout", MFD_CLOEXEC)), error_(::memfd_create("stderr", MFD_CLOEXEC)) {
  // A child that ends early closes its input: the test must see a failed
  // write, not die of SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  if (arguments.empty()) arguments.emplace_back(helperBinaryPath());
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return;
  UniqueFd inputRead(pipeEnds[0]);
  input_.reset(pipeEnds[1]);

  // Every source is first moved above the numbers the child uses, so that no
  // dup2 in the child overwrites a source it still has to copy.
  std::vector<UniqueFd> copies;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inputRead.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output_.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, error_.get(), STDERR_FILENO);
  int highest = STDERR_FILENO;
  for (const auto& [target, source] : descriptors) {
    copies.emplace_back(::fcntl(source, F_DUPFD_CLOEXEC, 1100));
    posix_spawn_file_actions_adddup2(&actions, copies.back().get(), target);
    highest = std::max(highest, target);
  }
  for (int number = STDERR_FILENO + 1; number < highest; ++number) {
    if (!descriptors.contains(number)) posix_spawn_file_actions_addclose(&actions, number);
  }
  posix_spawn_file_actions_addclosefrom_np(&actions, highest + 1);

  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  // Programs read the first entry of a name, so a replaced entry must go.
  std::vector<std::string> entries(environment.begin(), environment.end());
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const bool replaced = std::any_of(environment.begin(), environment.end(), [&](const std::string& own) {
      return text.substr(0, text.find('=') + 1) == std::string_view(own).substr(0, own.find('=') + 1);
    });
    if (!replaced) entries.emplace_back(text);
  }
  std::vector<char*> envp;
  for (std::string& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  start_ = std::chrono::steady_clock::now();
  const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(spawned, 0) << "could not start " << arguments[0];
  if (spawned != 0) pid_ = -1;
}

HelperChild::~HelperChild() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

bool HelperChild::send(const std::string& bytes) {
  for (std::size_t offset = 0; offset < bytes.size();) {
    const ssize_t wrote = ::write(input_.get(), bytes.data() + offset, bytes.size() - offset);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    offset += static_cast<std::size_t>(wrote);
  }
  return true;
}

std::string HelperChild::waitForLines(std::size_t count, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::string output = contents(output_.get());
    if (static_cast<std::size_t>(std::count(output.begin(), output.end(), '\n')) >= count ||
        std::chrono::steady_clock::now() >= deadline) {
      return output;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

ChildOutcome HelperChild::finish(std::chrono::milliseconds timeout) {
  ChildOutcome outcome;
  input_.reset();
  if (pid_ <= 0) return outcome;
  const auto deadline = start_ + timeout;
  int status = 0;
  rusage usage{};
  for (;;) {
    const pid_t ended = ::wait4(pid_, &status, WNOHANG, &usage);
    if (ended == pid_) break;
    if (ended < 0 && errno != EINTR) break;
    if (!outcome.timedOut && std::chrono::steady_clock::now() >= deadline) {
      outcome.timedOut = true;
      ::kill(pid_, SIGKILL);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  pid_ = -1;
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  outcome.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  outcome.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  outcome.peakKilobytes = usage.ru_maxrss;
  outcome.standardOutput = contents(output_.get());
  outcome.standardError = contents(error_.get());
  return outcome;
}

ChildOutcome runSession(const std::string& session, const std::map<int, int>& descriptors,
                        std::chrono::milliseconds timeout, const std::vector<std::string>& environment) {
  HelperChild child(descriptors, {}, environment);
  // A helper that ends early closes the pipe; what it answered still counts.
  (void)child.send(session);
  return child.finish(timeout);
}

}  // namespace quorvantelmic::testing
