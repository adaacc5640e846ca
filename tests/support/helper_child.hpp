// A running helper (or any program) as a child of the test: its standard
// input is a pipe the test keeps open for as long as it likes, its output and
// error land in memory files the test can read while it runs, and its end is
// collected with wait4, so that the test sees the exit status, the peak
// resident memory and the time it took. A child that outlives its deadline is
// killed, so a hang fails the test instead of stalling it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "helper_core/file_access/unique_fd.hpp"

namespace quorvantelmic::testing {

struct ChildOutcome {
  int exitStatus = -1;     // -1 when the child did not exit by itself
  int signal = 0;          // the signal that ended it, if any
  bool timedOut = false;   // killed by the test at its deadline
  long peakKilobytes = 0;  // ru_maxrss of the child
  double seconds = 0;      // from start to end
  std::string standardOutput;
  std::string standardError;

  // The output cut into JSON lines; fails the test on a partial line.
  std::vector<nlohmann::json> responses() const;
};

class HelperChild {
 public:
  // `descriptors` maps a child descriptor number to one of the caller's, as
  // in runHelper; `arguments` starts with the program to run (the helper
  // binary when empty); `environment` entries ("NAME=value") replace or
  // extend the test's own environment.
  explicit HelperChild(const std::map<int, int>& descriptors = {}, std::vector<std::string> arguments = {},
                       const std::vector<std::string>& environment = {});
  HelperChild(const HelperChild&) = delete;
  HelperChild& operator=(const HelperChild&) = delete;
  ~HelperChild();

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }

  // Writes to the child's standard input; false when the pipe is gone.
  bool send(const std::string& bytes);
  // Waits until the child has written `count` complete lines, or until the
  // timeout; returns the output so far.
  std::string waitForLines(std::size_t count, std::chrono::milliseconds timeout) const;
  // Ends the input, waits for the child (killing it at the deadline) and
  // collects everything.
  ChildOutcome finish(std::chrono::milliseconds timeout);

 private:
  UniqueFd input_;
  UniqueFd output_;
  UniqueFd error_;
  pid_t pid_ = -1;
  std::chrono::steady_clock::time_point start_;
};

// One whole session: `session` is written, the input closed, the outcome
// collected within `timeout`.
ChildOutcome runSession(const std::string& session, const std::map<int, int>& descriptors,
                        std::chrono::milliseconds timeout, const std::vector<std::string>& environment = {});

}  // namespace quorvantelmic::testing
