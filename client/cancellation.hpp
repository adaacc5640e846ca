// A run's stop request. Helpers that only write into staging directories hold
// nothing the user can see yet, so a stop kills them at once; the helpers that
// publish or clean up are not registered here and finish the step under way.
// Whoever drives the run then publishes nothing more and removes what was
// staged. The command line requests a stop on Ctrl-C, the desktop application
// on its Cancel button.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <set>

namespace quorvantelmic {

class Cancellation {
 public:
  Cancellation() = default;
  Cancellation(const Cancellation&) = delete;
  Cancellation& operator=(const Cancellation&) = delete;

  bool requested() const noexcept { return requested_.load(); }

  // Marks the run stopped and kills every cancellable helper it is running,
  // and every one started from now on. Returns whether a stop had already been
  // requested. Safe to call from any thread.
  bool request();

  // Held while a cancellable helper is spawned and registered, so that a stop
  // cannot slip in between and miss it.
  std::unique_lock<std::mutex> lockForSpawn() { return std::unique_lock(mutex_); }
  // Registers a helper just spawned (under lockForSpawn), killing it at once
  // when the run is already stopping.
  void started(pid_t child);
  // Takes a helper out before it is reaped, so that a kill from here can
  // never reach a recycled process id.
  void ended(pid_t child);

 private:
  std::atomic<bool> requested_ {false};
  std::mutex mutex_;
  std::set<pid_t> running_;
};

}  // namespace quorvantelmic
