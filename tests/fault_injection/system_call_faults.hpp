// Failure injection for the staging code: an executable that links
// system_call_faults.cpp (the qv_system_call_faults object library) defines
// fsync, renameat2, linkat, unlinkat, read and pread itself, so every call the
// brokers make goes through a plan its caller sets. Only the staging fault
// tests and the staging fuzz target link it; nothing else in the tree is
// affected.
#pragma once

#include <cstddef>

namespace quorvantelmic::testing_support {

enum class SystemCall { fsync, renameat2, linkat, unlinkat };

// The next calls of `call` after the first `letThrough` fail `times` times
// with `errorNumber`.
void injectFault(SystemCall call, int errorNumber, int letThrough = 0, int times = 1);

// Every read and pread returns at most `bytes` bytes (0: no limit).
void limitReads(std::size_t bytes);

// Back to the real calls.
void clearInjectedFaults();

// How many calls of `call` failed by plan since the last clear.
int injectedFailures(SystemCall call);

}  // namespace quorvantelmic::testing_support
