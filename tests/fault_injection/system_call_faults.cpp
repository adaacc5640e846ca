// The interposed calls. The headers that declare them are deliberately not
// included: these definitions replace the C library's for this executable,
// and forward to the next definition (the sanitizer's or the C library's).
#include "tests/fault_injection/system_call_faults.hpp"

#include <dlfcn.h>
#include <sys/types.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace quorvantelmic::testing_support {
namespace {

struct Plan {
  int errorNumber = 0;
  int letThrough = 0;
  int remaining = 0;
  int failed = 0;
};

// Test-only state: the plan a test sets before it calls a broker.
struct Faults {
  std::array<Plan, 4> plans{};
  std::size_t readLimit = 0;
};

Faults& faults() {
  static Faults state;
  return state;
}

// The error to fail this call with, or 0 to make the real call.
int planned(SystemCall call) {
  Plan& plan = faults().plans[static_cast<std::size_t>(call)];
  if (plan.remaining == 0) return 0;
  if (plan.letThrough > 0) {
    --plan.letThrough;
    return 0;
  }
  --plan.remaining;
  ++plan.failed;
  return plan.errorNumber;
}

std::size_t limited(std::size_t count) {
  const std::size_t limit = faults().readLimit;
  return limit == 0 ? count : std::min(count, limit);
}

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

void injectFault(SystemCall call, int errorNumber, int letThrough, int times) {
  faults().plans[static_cast<std::size_t>(call)] = Plan{errorNumber, letThrough, times, 0};
}

void limitReads(std::size_t bytes) { faults().readLimit = bytes; }

void clearInjectedFaults() { faults() = Faults{}; }

int injectedFailures(SystemCall call) { return faults().plans[static_cast<std::size_t>(call)].failed; }

}  // namespace quorvantelmic::testing_support

using quorvantelmic::testing_support::SystemCall;
using quorvantelmic::testing_support::limited;
using quorvantelmic::testing_support::next;
using quorvantelmic::testing_support::planned;

extern "C" {

int fsync(int descriptor) {
  if (const int error = planned(SystemCall::fsync)) return errno = error, -1;
  return next<int (*)(int)>("fsync")(descriptor);
}

int renameat2(int fromDirectory, const char* from, int toDirectory, const char* to, unsigned int flags) {
  if (const int error = planned(SystemCall::renameat2)) return errno = error, -1;
  return next<int (*)(int, const char*, int, const char*, unsigned int)>("renameat2")(fromDirectory, from,
                                                                                     toDirectory, to, flags);
}

int linkat(int fromDirectory, const char* from, int toDirectory, const char* to, int flags) {
  if (const int error = planned(SystemCall::linkat)) return errno = error, -1;
  return next<int (*)(int, const char*, int, const char*, int)>("linkat")(fromDirectory, from, toDirectory, to, flags);
}

int unlinkat(int directory, const char* name, int flags) {
  if (const int error = planned(SystemCall::unlinkat)) return errno = error, -1;
  return next<int (*)(int, const char*, int)>("unlinkat")(directory, name, flags);
}

ssize_t read(int descriptor, void* buffer, size_t count) {
  return next<ssize_t (*)(int, void*, size_t)>("read")(descriptor, buffer, limited(count));
}

ssize_t pread(int descriptor, void* buffer, size_t count, off_t offset) {
  return next<ssize_t (*)(int, void*, size_t, off_t)>("pread")(descriptor, buffer, limited(count), offset);
}

ssize_t pread64(int descriptor, void* buffer, size_t count, off_t offset) {
  return next<ssize_t (*)(int, void*, size_t, off_t)>("pread64")(descriptor, buffer, limited(count), offset);
}

}  // extern "C"
