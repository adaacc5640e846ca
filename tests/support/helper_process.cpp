#include "tests/support/helper_process.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

#include "helper_core/file_access/unique_fd.hpp"
#include "tests/support/child_process.hpp"

namespace quorvantelmic::testing {

namespace {
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
}  // namespace

const char* helperBinaryPath() { return QUORVANTELMIC_HELPER_BINARY; }

std::vector<nlohmann::json> HelperRun::responses() const { return jsonLines(standardOutput); }

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

  HelperRun run;
  const pid_t child = spawnChild({helperBinaryPath()}, input.get(), output.get(), error.get(), descriptors);
  if (child < 0) return run;
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.standardOutput = contentsOf(output.get());
  run.standardError = contentsOf(error.get());
  recordSession(session, run.standardOutput);
  return run;
}

}  // namespace quorvantelmic::testing
