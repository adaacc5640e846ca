#include "helper/system_call_rules.hpp"

#include <sched.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>

#include "helper_core/file_access/unique_fd.hpp"

namespace quorvantelmic {

namespace {

struct FilterRelease {
  void operator()(void* filter) const noexcept { ::seccomp_release(filter); }
};
using FilterContext = std::unique_ptr<void, FilterRelease>;

// The calls the helper makes, measured by tracing every helper process of
// the test suites that drive the real binary (every operation, every source
// format into every target, page rendering, text recognition, staging and
// publication, the hostile files) in the shipped build and the sanitizer
// build, plus the neighbours of those calls that the same libraries reach on
// other paths (vectored and positioned reads and writes, the other stat and
// clock calls, poll). Everything else fails with EPERM rather than killing
// the process, so that a library that probes a call it does not need (glibc
// asks nscd over a socket, a runtime checks for io_uring) carries on; a call
// a future library version needs fails the same way, as an error its caller
// handles, never as a crash.
//
// What is missing on purpose: sockets, running programs, new processes,
// reaching into other processes (ptrace, process_vm_*, pidfd_*), mounts and
// namespaces, ownership and identity changes, kernel keys, bpf, perf,
// io_uring, userfaultfd, modules, clocks, swap, reboot, ioctl. The file
// calls stay: what they reach through paths is what Landlock leaves.
constexpr std::array kAllowedCalls = {
    // Descriptors and files.
    SCMP_SYS(read), SCMP_SYS(write), SCMP_SYS(readv), SCMP_SYS(writev), SCMP_SYS(pread64), SCMP_SYS(pwrite64),
    SCMP_SYS(preadv), SCMP_SYS(pwritev), SCMP_SYS(preadv2), SCMP_SYS(pwritev2), SCMP_SYS(lseek), SCMP_SYS(open),
    SCMP_SYS(openat), SCMP_SYS(close), SCMP_SYS(close_range), SCMP_SYS(dup), SCMP_SYS(dup2), SCMP_SYS(dup3),
    SCMP_SYS(fcntl), SCMP_SYS(stat), SCMP_SYS(fstat), SCMP_SYS(lstat), SCMP_SYS(newfstatat), SCMP_SYS(statx),
    SCMP_SYS(fstatfs), SCMP_SYS(statfs), SCMP_SYS(access), SCMP_SYS(faccessat), SCMP_SYS(faccessat2),
    SCMP_SYS(readlink), SCMP_SYS(readlinkat), SCMP_SYS(getdents), SCMP_SYS(getdents64), SCMP_SYS(getcwd),
    SCMP_SYS(fsync),
    SCMP_SYS(fdatasync), SCMP_SYS(fadvise64), SCMP_SYS(ftruncate), SCMP_SYS(fallocate), SCMP_SYS(flock),
    SCMP_SYS(mkdir), SCMP_SYS(mkdirat), SCMP_SYS(unlink), SCMP_SYS(unlinkat), SCMP_SYS(rmdir), SCMP_SYS(rename),
    SCMP_SYS(renameat), SCMP_SYS(renameat2), SCMP_SYS(link), SCMP_SYS(linkat), SCMP_SYS(fchmod),
    SCMP_SYS(fchmodat), SCMP_SYS(chmod), SCMP_SYS(utimensat), SCMP_SYS(copy_file_range), SCMP_SYS(sendfile),
    // Pipes: the sanitizer checks whether memory is readable by writing it
    // to one, and libraries make self-pipes.
    SCMP_SYS(pipe), SCMP_SYS(pipe2), SCMP_SYS(poll), SCMP_SYS(ppoll), SCMP_SYS(select), SCMP_SYS(pselect6),
    // Memory.
    SCMP_SYS(brk), SCMP_SYS(mmap), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(mprotect), SCMP_SYS(madvise),
    SCMP_SYS(msync), SCMP_SYS(mincore), SCMP_SYS(membarrier), SCMP_SYS(get_mempolicy), SCMP_SYS(set_mempolicy),
    SCMP_SYS(mbind),
    // Threads, scheduling and the process's own state.
    SCMP_SYS(futex), SCMP_SYS(set_robust_list), SCMP_SYS(get_robust_list), SCMP_SYS(set_tid_address),
    SCMP_SYS(rseq), SCMP_SYS(sched_yield), SCMP_SYS(sched_getaffinity), SCMP_SYS(sched_getparam),
    SCMP_SYS(sched_getscheduler), SCMP_SYS(sched_get_priority_max), SCMP_SYS(sched_get_priority_min),
    SCMP_SYS(getpid), SCMP_SYS(gettid), SCMP_SYS(getppid), SCMP_SYS(getuid), SCMP_SYS(geteuid), SCMP_SYS(getgid),
    SCMP_SYS(getegid), SCMP_SYS(getresuid), SCMP_SYS(getresgid), SCMP_SYS(getgroups), SCMP_SYS(getrlimit),
    SCMP_SYS(getrusage), SCMP_SYS(sysinfo), SCMP_SYS(uname), SCMP_SYS(times), SCMP_SYS(arch_prctl),
    SCMP_SYS(prctl), SCMP_SYS(getrandom), SCMP_SYS(exit), SCMP_SYS(exit_group), SCMP_SYS(restart_syscall),
    // Clocks, read only.
    SCMP_SYS(clock_gettime), SCMP_SYS(clock_getres), SCMP_SYS(clock_nanosleep), SCMP_SYS(nanosleep),
    SCMP_SYS(gettimeofday), SCMP_SYS(time),
    // Signals within the process (sending them is filtered below).
    SCMP_SYS(rt_sigaction), SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigreturn), SCMP_SYS(sigaltstack),
    SCMP_SYS(rt_sigpending), SCMP_SYS(rt_sigtimedwait), SCMP_SYS(rt_sigsuspend),
    // Confining itself further is always allowed.
    SCMP_SYS(seccomp), SCMP_SYS(landlock_create_ruleset), SCMP_SYS(landlock_add_rule),
    SCMP_SYS(landlock_restrict_self),
};

constexpr scmp_datum_t kPersonalityQuery = 0xffffffffu;

bool addRules(void* filter, scmp_datum_t self, bool permitLeakCheckerTracer) {
  for (const int call : kAllowedCalls) {
    if (::seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) != 0) return false;
  }
  // Threads that a library starts stay possible; any other clone makes a new
  // process (fork, vfork and posix_spawn all end here) and fails.
  const scmp_arg_cmp thread{.arg = 0, .op = SCMP_CMP_MASKED_EQ, .datum_a = CLONE_THREAD, .datum_b = CLONE_THREAD};
  if (::seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(clone), 1, thread) != 0) return false;
  // clone3 hides its flags behind a pointer that a filter cannot read; ENOSYS
  // makes glibc fall back to clone, where the flags are checked.
  if (::seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) != 0) return false;
  // Signals stay within the process (raise and abort send them to the
  // process itself): the helper never signals its parent, its process group
  // or anything else its user runs. The process keeps its id from here on,
  // since it never execs again. Its limits likewise: prlimit64 on itself
  // only (it can lower them, never raise the hard limits).
  const scmp_arg_cmp toSelf{.arg = 0, .op = SCMP_CMP_EQ, .datum_a = self, .datum_b = 0};
  for (const int call : {SCMP_SYS(kill), SCMP_SYS(tgkill), SCMP_SYS(rt_sigqueueinfo), SCMP_SYS(rt_tgsigqueueinfo),
                         SCMP_SYS(prlimit64)}) {
    if (::seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 1, toSelf) != 0) return false;
  }
  const scmp_arg_cmp ownLimits{.arg = 0, .op = SCMP_CMP_EQ, .datum_a = 0, .datum_b = 0};
  if (::seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(prlimit64), 1, ownLimits) != 0) return false;
  // personality(0xffffffff) only reads the execution domain; anything else
  // would change it (and with it the address-space layout). The comparison is
  // on all 64 bits, so a query with the value sign-extended fails too: safe.
  const scmp_arg_cmp query{.arg = 0, .op = SCMP_CMP_EQ, .datum_a = kPersonalityQuery, .datum_b = 0};
  if (::seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(personality), 1, query) != 0) return false;
  if (permitLeakCheckerTracer) {
    // The leak checker's helper task (cloned untraced), its attaching to the
    // process's threads and its waiting for them.
    const scmp_arg_cmp untraced{.arg = 0, .op = SCMP_CMP_MASKED_EQ, .datum_a = CLONE_UNTRACED, .datum_b = CLONE_UNTRACED};
    if (::seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(clone), 1, untraced) != 0) return false;
    for (const int call : {SCMP_SYS(ptrace), SCMP_SYS(wait4), SCMP_SYS(waitid)}) {
      if (::seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) != 0) return false;
    }
  }
  return true;
}

}  // namespace

std::optional<std::vector<sock_filter>> compileSystemCallRules(std::uint32_t self, bool permitLeakCheckerTracer) {
  const FilterContext filter(::seccomp_init(SCMP_ACT_ERRNO(EPERM)));
  if (!filter) return std::nullopt;
  // A call of another ABI (32-bit int 0x80, x32) would skip every rule
  // written for x86_64: such calls fail as if the kernel had none.
  if (::seccomp_attr_set(filter.get(), SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_ERRNO(ENOSYS)) != 0) return std::nullopt;
  if (!addRules(filter.get(), self, permitLeakCheckerTracer)) return std::nullopt;
  // libseccomp 2.5 exports only to a descriptor.
  const UniqueFd exported(::memfd_create("system-call-program", MFD_CLOEXEC));
  if (!exported || ::seccomp_export_bpf(filter.get(), exported.get()) != 0) return std::nullopt;
  const off_t size = ::lseek(exported.get(), 0, SEEK_END);
  if (size <= 0 || size % static_cast<off_t>(sizeof(sock_filter)) != 0) return std::nullopt;
  std::vector<sock_filter> program(static_cast<std::size_t>(size) / sizeof(sock_filter));
  if (::pread(exported.get(), program.data(), static_cast<std::size_t>(size), 0) != size) return std::nullopt;
  return program;
}

}  // namespace quorvantelmic
