// The commands of quorvantelmic-convert. Each one drives the real helper
// through the protocol exactly as the desktop application does.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace quorvantelmic {

// Runs the command line (without the program name) and returns the exit
// status: 0 when everything asked for was done, 1 when something failed, 2 for
// a command line that cannot be run. User-facing progress and errors go to
// `errors`, the summary of published paths and inspections to `output`.
int runConvertCommand(const std::vector<std::string>& arguments, std::ostream& output, std::ostream& errors);

// The --help text.
std::string convertUsage();

}  // namespace quorvantelmic
