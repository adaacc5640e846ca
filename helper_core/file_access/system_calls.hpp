// Small wrappers shared by the file-access and staging code: system calls that
// an interrupting signal must not turn into failures.
#pragma once

#include <fcntl.h>

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

// Whether F_GETFL flags describe a descriptor opened for reading only. An
// O_PATH descriptor has access bits 0, the same as O_RDONLY, yet cannot be
// read: it is refused here rather than failing later with another message.
inline bool opensForReadingOnly(int flags) noexcept {
  return flags >= 0 && (flags & O_ACCMODE) == O_RDONLY && (flags & O_PATH) == 0;
}

}  // namespace quorvantelmic
