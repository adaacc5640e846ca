// Ctrl-C, SIGTERM and SIGHUP are blocked in every thread of the converter and
// taken by the one thread that watches for them (InterruptWatcher): a signal
// handler could do nothing useful in the middle of a journal write. The helper
// runs in a process group of its own with nothing blocked, so a Ctrl-C at the
// terminal cannot kill it in the middle of a publication either; the watcher
// kills only the helpers that write into staging directories.
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

}  // namespace quorvantelmic
