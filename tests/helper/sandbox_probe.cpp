// Installs the helper's system-call filter on itself, then tries the calls that
// the filter must refuse and the ones it must leave alone, and prints one line
// per attempt: "<name> <result>", the result being "ok" or the errno name.
//
// With the argument "unfiltered" it skips the filter and makes only the
// attempts that are harmless without it, so that a test can see that each
// refusal comes from the filter and not from the arguments or the machine.
//
// With "without-seccomp <program>" it makes the machine look like a kernel
// without seccomp filters (the seccomp call does not exist, prctl refuses the
// filter mode) and then runs <program> in its place; "without-landlock
// <program>" likewise makes it look like a kernel without Landlock.
//
// With "confined <file> <directory>" it confines its file system the way the
// helper does before it installs the filter, with descriptor 3 (a file, read
// only) and 4 (a directory) inherited, then tries paths inside and outside
// what it was given: <file> and <directory> are outside.
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <seccomp.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include "helper/sandbox.hpp"
#include "tests/helper/sandbox_attempts.hpp"

extern char** environ;

namespace {

using namespace quorvantelmic::sandbox_attempts;

void printLine(const char* name, const char* outcome) {
  std::printf("%s %s\n", name, outcome);
  std::fflush(stdout);  // before an execve that might replace the probe
}

// Loads `filter` (built when `built`), then runs `program` under it.
int execUnder(scmp_filter_ctx filter, bool built, char** program) {
  const bool loaded = built && ::seccomp_load(filter) == 0;
  ::seccomp_release(filter);
  if (!loaded) {
    std::printf("install failed\n");
    return 1;
  }
  ::execv(program[0], program);
  std::printf("exec failed\n");
  return 1;
}

int runWithoutLandlock(char** program) {
  scmp_filter_ctx filter = ::seccomp_init(SCMP_ACT_ALLOW);
  const bool built = filter != nullptr &&
                     ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(landlock_create_ruleset), 0) == 0 &&
                     ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(landlock_add_rule), 0) == 0 &&
                     ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(landlock_restrict_self), 0) == 0;
  return execUnder(filter, built, program);
}

int runWithoutSeccomp(char** program) {
  scmp_filter_ctx filter = ::seccomp_init(SCMP_ACT_ALLOW);
  const scmp_arg_cmp filterMode{.arg = 0, .op = SCMP_CMP_EQ, .datum_a = PR_SET_SECCOMP, .datum_b = 0};
  const bool built = filter != nullptr &&
                     ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(seccomp), 0) == 0 &&
                     ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(EINVAL), SCMP_SYS(prctl), 1, filterMode) == 0;
  return execUnder(filter, built, program);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::string_view(argv[1]) == "without-seccomp") return runWithoutSeccomp(argv + 2);
  if (argc > 2 && std::string_view(argv[1]) == "without-landlock") return runWithoutLandlock(argv + 2);
  if (argc > 3 && std::string_view(argv[1]) == "confined") {
    const int abi = quorvantelmic::restrictFileSystem({});
    std::printf("landlock %d\n", abi);
    if (!quorvantelmic::installSystemCallFilter()) {
      std::printf("install failed\n");
      return 1;
    }
    // Unconfined, the attempts would really plant, move and remove files.
    if (abi > 0) fileSystemAttempts(printLine, argv[2], argv[3]);
    std::printf("done\n");
    return 0;
  }
  const bool unfiltered = argc > 1 && std::string_view(argv[1]) == "unfiltered";
  if (!unfiltered && !quorvantelmic::installSystemCallFilter()) {
    std::printf("install failed\n");
    return 1;
  }
  harmlessAttempts(printLine);
  if (!unfiltered) refusedAttempts(printLine);
  std::printf("done\n");
  return 0;
}
