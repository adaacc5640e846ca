// Starting a program under test the way a parent does: standard streams on
// descriptors the test chose, chosen descriptors passed down at chosen
// numbers, nothing else inherited. Shared by the helper and converter tests.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "helper_core/file_access/unique_fd.hpp"

namespace quorvantelmic::testing {

// Spawns `arguments` (the program first) with `input`, `output` and `error`
// as its standard streams. `descriptors` maps a child descriptor number
// (3, 4, ...) to a descriptor of this process, which stays open and owned by
// the caller; every other number is closed in the child, whatever the test
// runner left open (CTest leaves one at 3). `environment` entries
// ("NAME=value") replace or extend the test's own environment. Returns the
// child's pid, or -1 after reporting a failed start.
pid_t spawnChild(std::vector<std::string> arguments, int input, int output, int error,
                 const std::map<int, int>& descriptors = {}, const std::vector<std::string>& environment = {});

// An anonymous in-memory file, for a child's output or a session's input.
UniqueFd memoryFile(const char* name);

// Everything written to a file so far, read by position so the file's offset
// (shared with a child still writing) is left alone.
std::string contentsOf(int descriptor);

// Output cut into JSON lines; fails the test on a partial last line.
std::vector<nlohmann::json> jsonLines(const std::string& output);

}  // namespace quorvantelmic::testing
