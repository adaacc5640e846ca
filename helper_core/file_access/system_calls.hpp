// Small wrappers shared by the file-access and staging code: system calls that
// an interrupting signal must not turn into failures.
#pragma once

#include <cerrno>
#include <utility>

namespace quorvantelmic {

// Calls `call` until it returns something other than -1 with errno EINTR, and
// returns that result (errno is left as the last call set it).
template <typename Call>
auto retryOnInterrupt(Call&& call) -> decltype(call()) {
  for (;;) {
    auto result = call();
    if (result == -1 && errno == EINTR) continue;
    return result;
  }
}

}  // namespace quorvantelmic
