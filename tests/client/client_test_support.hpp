// Runs the real quorvantelmic-convert binary (which runs the real helper) on
// real files in temporary directories.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "helper_core/file_access/unique_fd.hpp"
#include "tests/file_access/file_test_support.hpp"
#include "tests/support/child_process.hpp"

namespace quorvantelmic::client_testing {

using testing_support::TemporaryDirectory;

inline std::string fixture(const std::string& relative) {
  return std::string(QUORVANTELMIC_SOURCE_DIR) + "/tests/fixtures/" + relative;
}

struct ConvertRun {
  int exitStatus = -1;  // -1 when the client did not exit normally
  std::string standardOutput;
  std::string standardError;
};

using testing::contentsOf;

// quorvantelmic-convert started with `arguments`, its journal in `journal`,
// and nothing inherited beyond standard streams on files of their own.
class StartedConvert {
 public:
  StartedConvert(std::vector<std::string> arguments, const std::string& journal)
      : output_(testing::memoryFile("stdout")), error_(testing::memoryFile("stderr")) {
    const UniqueFd input(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    arguments.insert(arguments.begin(), {QUORVANTELMIC_CONVERT_BINARY, "--journal", journal});
    child_ = testing::spawnChild(std::move(arguments), input.get(), output_.get(), error_.get());
  }
  StartedConvert(const StartedConvert&) = delete;
  StartedConvert& operator=(const StartedConvert&) = delete;
  ~StartedConvert() {
    if (child_ > 0) (void)wait();
  }

  pid_t pid() const noexcept { return child_; }

  ConvertRun wait() {
    ConvertRun run;
    if (child_ <= 0) return run;
    int status = 0;
    while (::waitpid(child_, &status, 0) < 0 && errno == EINTR) {
    }
    child_ = -1;
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.standardOutput = contentsOf(output_.get());
    run.standardError = contentsOf(error_.get());
    return run;
  }

 private:
  UniqueFd output_;
  UniqueFd error_;
  pid_t child_ = -1;
};

inline ConvertRun runConvert(std::vector<std::string> arguments, const std::string& journal) {
  return StartedConvert(std::move(arguments), journal).wait();
}

inline std::string describe(const ConvertRun& run) {
  return "status " + std::to_string(run.exitStatus) + "\nstdout:\n" + run.standardOutput + "stderr:\n" +
         run.standardError;
}

// Every name in a directory, hidden ones included.
inline std::set<std::string> listing(const std::string& directory) { return testing_support::entriesOf(directory); }

inline void writeExecutable(const std::string& path, const std::string& text) {
  testing_support::writeFile(path, text);
  ::chmod(path.c_str(), 0700);
}

// A destination, a journal and a scratch directory for one test.
class ClientFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(destination().c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(journal().c_str(), 0700), 0);
  }
  std::string destination() const { return root_ / "destination"; }
  std::string journal() const { return root_ / "journal"; }
  std::string in(const std::string& name) const { return destination() + "/" + name; }
  std::set<std::string> journalEntries() const { return listing(journal()); }
  ConvertRun convert(const std::vector<std::string>& arguments) const { return runConvert(arguments, journal()); }

  // Runs `arguments` uninterrupted into a destination of its own; returns
  // that destination, which then holds what the run published.
  std::string referenceRun(const std::vector<std::string>& arguments) const {
    const std::string elsewhere = root_ / "reference";
    ::mkdir(elsewhere.c_str(), 0700);
    std::vector<std::string> full = arguments;
    full.insert(full.end(), {"--dest", elsewhere});
    const ConvertRun run = runConvert(full, root_ / "reference-journal");
    EXPECT_EQ(run.exitStatus, 0) << describe(run);
    return elsewhere;
  }

  TemporaryDirectory root_;
};

}  // namespace quorvantelmic::client_testing
