#include "client/cancellation.hpp"

#include <signal.h>

namespace quorvantelmic {

namespace {

// The helper leads a process group of its own: a wrapper script and whatever
// it started go with it.
void killHelper(pid_t child) {
  ::killpg(child, SIGKILL);
  ::kill(child, SIGKILL);
}

}  // namespace

bool Cancellation::request() {
  const std::lock_guard lock(mutex_);
  const bool already = requested_.exchange(true);
  for (const pid_t child : running_) killHelper(child);
  return already;
}

void Cancellation::started(pid_t child) {
  running_.insert(child);
  if (requested_.load()) killHelper(child);
}

void Cancellation::ended(pid_t child) {
  const std::lock_guard lock(mutex_);
  running_.erase(child);
}

}  // namespace quorvantelmic
