// Ctrl-C, SIGTERM and SIGHUP stop a run between steps, never in the middle of
// one: main blocks them, each command asks whether one is pending at its step
// boundaries, and then removes what it has not published before it exits.
// The helper runs in a process group of its own with nothing blocked, so a
// Ctrl-C at the terminal cannot kill it in the middle of a publication either.
#pragma once

#include <signal.h>

namespace quorvantelmic {

// Blocks the three signals in the calling thread; call before any thread or
// child exists.
inline void deferInterruptions() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  ::sigprocmask(SIG_BLOCK, &signals, nullptr);
}

// Whether one of them arrived since and waits to be acted on.
inline bool interruptionPending() {
  sigset_t pending;
  sigemptyset(&pending);
  if (::sigpending(&pending) != 0) return false;
  return sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGHUP) == 1;
}

}  // namespace quorvantelmic
