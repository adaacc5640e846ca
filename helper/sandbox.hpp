// The helper's system-call filter: once the process has started, the calls it
// never needs (networking, running programs, new processes, debugging other
// processes, mounts, ownership and identity changes, kernel keys, modules and
// the like) fail with an error for the rest of its life.
#pragma once

namespace quorvantelmic {

// Installs the filter on every thread of the calling process. Returns false
// when the kernel refused it (no seccomp, or the call itself is filtered by
// whoever started us); no filter is then in place, although no_new_privs may
// already be set.
//
// Must run after the last exec of the process: the filter makes execve fail.
[[nodiscard]] bool installSystemCallFilter() noexcept;

}  // namespace quorvantelmic
