#include "tests/support/helper_process.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "helper_core/file_access/unique_fd.hpp"

extern char** environ;

namespace quorvantelmic::testing {

namespace {
UniqueFd memoryFile(const char* name) { return UniqueFd(::memfd_create(name, MFD_CLOEXEC)); }

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

// When QUORVANTELMIC_RECORD_MESSAGES names a directory, every session is kept
// there as two files with one stem: the bytes sent (.requests) and the bytes
// answered (.responses), so that a later test can check each message against
// the published schemas. The stem is made unique by mkostemps, which keeps
// parallel test processes apart.
void recordSession(const std::string& session, const std::string& answered) {
  const char* directory = std::getenv("QUORVANTELMIC_RECORD_MESSAGES");
  if (directory == nullptr || *directory == '\0') return;
  std::string path = std::string(directory) + "/session-XXXXXX.requests";
  const UniqueFd requests(
      ::mkostemps(path.data(), static_cast<int>(std::string_view(".requests").size()), O_CLOEXEC));
  if (!requests) return;
  const std::string stem = path.substr(0, path.size() - std::string_view(".requests").size());
  const UniqueFd responses(::open((stem + ".responses").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  const auto writeAll = [](int descriptor, const std::string& bytes) {
    for (std::size_t offset = 0; offset < bytes.size();) {
      const ssize_t wrote = ::write(descriptor, bytes.data() + offset, bytes.size() - offset);
      if (wrote <= 0) return;
      offset += static_cast<std::size_t>(wrote);
    }
  };
  writeAll(requests.get(), session);
  if (responses) writeAll(responses.get(), answered);
}

// Moves a descriptor above every number the child uses, so that a dup2 in the
// child never collides with a source that is already at its target number.
UniqueFd highCopy(int descriptor) { return UniqueFd(::fcntl(descriptor, F_DUPFD_CLOEXEC, 1100)); }
}  // namespace

const char* helperBinaryPath() { return QUORVANTELMIC_HELPER_BINARY; }

std::vector<nlohmann::json> HelperRun::responses() const {
  std::vector<nlohmann::json> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = standardOutput.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(nlohmann::json::parse(standardOutput.substr(start, end - start)));
  }
  EXPECT_EQ(start, standardOutput.size()) << "the helper wrote a partial line";
  return lines;
}

HelperRun runHelper(const std::string& session, const std::map<int, int>& descriptors) {
  UniqueFd input = memoryFile("session");
  UniqueFd output = memoryFile("stdout");
  UniqueFd error = memoryFile("stderr");
  for (std::size_t offset = 0; offset < session.size();) {
    const ssize_t wrote = ::write(input.get(), session.data() + offset, session.size() - offset);
    if (wrote <= 0) break;
    offset += static_cast<std::size_t>(wrote);
  }
  ::lseek(input.get(), 0, SEEK_SET);

  std::vector<UniqueFd> copies;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, error.get(), STDERR_FILENO);
  int highestTarget = STDERR_FILENO;
  for (const auto& [target, source] : descriptors) {
    copies.push_back(highCopy(source));
    posix_spawn_file_actions_adddup2(&actions, copies.back().get(), target);
    highestTarget = std::max(highestTarget, target);
  }
  // The child gets exactly its standard streams and the descriptors named
  // here, as a parent would arrange it: whatever the test runner left open
  // (CTest leaves a descriptor at 3) must not stand in for a missing one.
  for (int number = STDERR_FILENO + 1; number < highestTarget; ++number) {
    if (!descriptors.contains(number)) posix_spawn_file_actions_addclose(&actions, number);
  }
  posix_spawn_file_actions_addclosefrom_np(&actions, highestTarget + 1);

  HelperRun run;
  char* const arguments[] = {const_cast<char*>(helperBinaryPath()), nullptr};
  pid_t child = -1;
  const int spawned = ::posix_spawn(&child, helperBinaryPath(), &actions, nullptr, arguments, environ);
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(spawned, 0) << "could not start " << helperBinaryPath();
  if (spawned != 0) return run;

  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.standardOutput = contents(output.get());
  run.standardError = contents(error.get());
  recordSession(session, run.standardOutput);
  return run;
}

}  // namespace quorvantelmic::testing
