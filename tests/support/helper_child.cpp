#include "tests/support/helper_child.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "tests/support/child_process.hpp"
#include "tests/support/helper_process.hpp"

namespace quorvantelmic::testing {

std::vector<nlohmann::json> ChildOutcome::responses() const { return jsonLines(standardOutput); }

HelperChild::HelperChild(const std::map<int, int>& descriptors, std::vector<std::string> arguments,
                         const std::vector<std::string>& environment)
    : output_(memoryFile("stdout")), error_(memoryFile("stderr")) {
  // A child that ends early closes its input: the test must see a failed
  // write, not die of SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  if (arguments.empty()) arguments.emplace_back(helperBinaryPath());
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return;
  const UniqueFd inputRead(pipeEnds[0]);
  input_.reset(pipeEnds[1]);
  start_ = std::chrono::steady_clock::now();
  pid_ = spawnChild(std::move(arguments), inputRead.get(), output_.get(), error_.get(), descriptors, environment);
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
    std::string output = contentsOf(output_.get());
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
  outcome.standardOutput = contentsOf(output_.get());
  outcome.standardError = contentsOf(error_.get());
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
