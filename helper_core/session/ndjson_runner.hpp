// The session loop: reads standard input in chunks, cuts request lines at line
// feeds, enforces the session, request and line limits, hands each line to the
// processor and writes exactly one response line per processed request.
#pragma once

#include <functional>
#include <string_view>

#include "helper_core/file_access/unique_fd.hpp"
#include "helper_core/protocol/helper_response.hpp"

namespace quorvantelmic {

// Turns one request line (without its line feed and trailing carriage return)
// into one response. Must not throw.
using LineProcessor = std::function<HelperResponse(std::string_view line)>;

class NDJSONRunner {
 public:
  static constexpr int exitNormal = 0;
  static constexpr int exitProtocolFailure = 2;
  static constexpr int exitEncodingFailure = 3;
  static constexpr std::size_t readChunkBytes = 8192;

  explicit NDJSONRunner(LineProcessor processor) : processor_(std::move(processor)) {}

  // Runs the whole session and returns its exit status (0, 2 or 3).
  int run(BorrowedFd input, BorrowedFd output) const;

 private:
  LineProcessor processor_;
};

}  // namespace quorvantelmic
