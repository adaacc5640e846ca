// Runs the real quorvantelmic-helper binary as a child process: a session on its
// standard input, descriptors passed down at chosen numbers, and everything it
// wrote on standard output and standard error collected.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace quorvantelmic::testing {

struct HelperRun {
  int exitStatus = -1;  // the exit status, or -1 when the child did not exit normally
  std::string standardOutput;
  std::string standardError;

  // The output cut into JSON lines; fails the test on a partial line.
  std::vector<nlohmann::json> responses() const;
};

// `descriptors` maps a child descriptor number (3, 4, ...) to a descriptor of
// this process, which stays open and owned by the caller. The session is fed
// from a regular file, so the helper reads it in whole chunks of 8192 bytes.
HelperRun runHelper(const std::string& session, const std::map<int, int>& descriptors = {});

// The path of the helper binary under test.
const char* helperBinaryPath();

}  // namespace quorvantelmic::testing
