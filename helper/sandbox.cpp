#include "helper/sandbox.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/landlock.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

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

// Threads that a library starts stay possible; any other clone makes a new
// process (fork, vfork and posix_spawn all end here) and fails.
//
// The sanitizer build's leak checker stops the world at exit from a helper
// task that it clones with CLONE_UNTRACED and then attaches with ptrace; that
// build lets exactly this through, the shipped helper does not.
#if defined(__SANITIZE_ADDRESS__)
#define QUORVANTELMIC_LEAK_CHECKER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(leak_sanitizer)
#define QUORVANTELMIC_LEAK_CHECKER 1
#endif
#endif
#if defined(QUORVANTELMIC_LEAK_CHECKER)
constexpr bool kPermitLeakCheckerTracer = true;
#else
constexpr bool kPermitLeakCheckerTracer = false;
#endif

// personality(0xffffffff) only reads the execution domain; anything else
// would change it (and with it the address-space layout). The comparison is
// on all 64 bits, so a query with the value sign-extended fails too: safe.
constexpr scmp_datum_t kPersonalityQuery = 0xffffffffu;

// Landlock's rights on the file system, by the ABI version that brought them
// (the system headers may be older than the kernel).
constexpr std::uint64_t kTruncate = std::uint64_t{1} << 14;  // ABI 3
constexpr std::uint64_t kIoctlDevice = std::uint64_t{1} << 15;  // ABI 5
constexpr std::uint64_t kFileRights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                                      LANDLOCK_ACCESS_FS_READ_FILE | kTruncate | kIoctlDevice;
constexpr std::uint64_t kReadOnly = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;

std::uint64_t handledRights(int abi) {
  std::uint64_t rights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE |
                         LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
                         LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
                         LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
                         LANDLOCK_ACCESS_FS_MAKE_SYM;
  if (abi >= 2) rights |= LANDLOCK_ACCESS_FS_REFER;
  if (abi >= 3) rights |= kTruncate;
  if (abi >= 5) rights |= kIoctlDevice;
  return rights;
}

// Grants `rights` on what `descriptor` names (beneath it, for a directory),
// cut down to what Landlock allows on its kind of file. Other kinds (pipes,
// sockets, terminals) are not reached through paths at all and get no rule;
// nor do files on the kernel's internal mounts (a memfd, which fstat calls a
// regular file), for which Landlock answers EBADFD: one such descriptor
// inherited from a parent must not cost the whole confinement.
bool allow(int ruleset, int descriptor, std::uint64_t rights, std::uint64_t handled) {
  struct stat status {};
  if (::fstat(descriptor, &status) != 0) return false;
  if (S_ISDIR(status.st_mode)) {
    // whole rights
  } else if (S_ISREG(status.st_mode) || S_ISCHR(status.st_mode)) {
    rights &= kFileRights;
  } else {
    return true;
  }
  landlock_path_beneath_attr rule{.allowed_access = rights & handled, .parent_fd = descriptor};
  if (rule.allowed_access == 0) return true;
  return ::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0 || errno == EBADFD;
}

// Grants `rights` on `path` when it exists; a path that does not is fine.
bool allowPath(int ruleset, const std::string& path, std::uint64_t rights, std::uint64_t handled) {
  const UniqueFd opened(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (!opened) return true;
  return allow(ruleset, opened.get(), rights, handled);
}

// The system paths the libraries read: shared libraries, their data (ICU,
// poppler's encodings, fonts, tesseract's models, gconv, locales) and the
// font configuration and caches. None of them holds anything of the user's
// but the user's own fonts.
std::vector<std::string> readOnlySystemPaths() {
  std::vector<std::string> paths = {"/usr", "/lib", "/lib64", "/etc/fonts", "/etc/ld.so.cache", "/etc/localtime",
                                    "/etc/ssl/openssl.cnf", "/var/cache/fontconfig", "/proc/self",
                                    "/sys/devices/system/cpu", "/dev/urandom"};
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    for (const char* below : {"/.fonts", "/.local/share/fonts", "/.cache/fontconfig", "/.config/fontconfig"}) {
      paths.push_back(std::string(home) + below);
    }
  }
  for (const char* variable : {"XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME"}) {
    const char* base = std::getenv(variable);
    if (base == nullptr || base[0] != '/') continue;
    paths.push_back(std::string(base) + (std::string(variable) == "XDG_DATA_HOME" ? "/fonts" : "/fontconfig"));
  }
  if (const char* models = std::getenv("TESSDATA_PREFIX"); models != nullptr && models[0] == '/') {
    paths.emplace_back(models);
  }
  return paths;
}

// The descriptors the process holds, from 3 up (0 to 2 are its pipes), as
// /proc/self/fd lists them. Asking every possible number in turn costs one
// system call per number (4096 of them), a third of the helper's start-up;
// only without /proc are the numbers asked in turn after all.
std::vector<int> inheritedDescriptors() {
  std::vector<int> descriptors;
  if (DIR* opened = ::opendir("/proc/self/fd"); opened != nullptr) {
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(opened, ::closedir);
    const int ownDescriptor = ::dirfd(opened);
    while (const dirent* entry = ::readdir(opened)) {
      char* end = nullptr;
      const long number = std::strtol(entry->d_name, &end, 10);
      if (end == entry->d_name || *end != '\0' || number < 3 || number > INT_MAX || number == ownDescriptor) continue;
      descriptors.push_back(static_cast<int>(number));
    }
    std::sort(descriptors.begin(), descriptors.end());
    return descriptors;
  }
  rlimit open{};
  const rlim_t highest = ::getrlimit(RLIMIT_NOFILE, &open) == 0 ? std::min<rlim_t>(open.rlim_cur, 4096) : 1024;
  for (int descriptor = 3; static_cast<rlim_t>(descriptor) < highest; ++descriptor) {
    if (::fcntl(descriptor, F_GETFD) >= 0) descriptors.push_back(descriptor);
  }
  return descriptors;
}

}  // namespace

int restrictFileSystem(const std::vector<std::string>& moduleFiles) noexcept {
  try {
    const long version = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (version < 1) return 0;
    const int abi = static_cast<int>(version);
    const std::uint64_t handled = handledRights(abi);
    // Taken before the ruleset and the system paths are opened, so that only
    // what the parent handed down counts.
    const std::vector<int> inherited = inheritedDescriptors();
    const landlock_ruleset_attr attributes{.handled_access_fs = handled};
    const UniqueFd ruleset(static_cast<int>(
        ::syscall(SYS_landlock_create_ruleset, &attributes, sizeof attributes, 0)));
    if (!ruleset) return 0;
    for (const int descriptor : inherited) {
      // A file for what it was opened for, a directory for anything beneath it.
      const int flags = ::fcntl(descriptor, F_GETFL);
      if (flags < 0) return 0;
      std::uint64_t rights = handled;
      if ((flags & O_PATH) == 0 && (flags & O_ACCMODE) == O_RDONLY) {
        struct stat status {};
        if (::fstat(descriptor, &status) != 0) return 0;
        if (!S_ISDIR(status.st_mode)) rights = LANDLOCK_ACCESS_FS_READ_FILE;
      }
      if (!allow(ruleset.get(), descriptor, rights, handled)) return 0;
    }
    for (const std::string& path : readOnlySystemPaths()) {
      if (!allowPath(ruleset.get(), path, kReadOnly | LANDLOCK_ACCESS_FS_EXECUTE, handled)) return 0;
    }
    for (const std::string& path : moduleFiles) {
      if (!allowPath(ruleset.get(), path, LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_EXECUTE, handled)) {
        return 0;
      }
    }
    if (!allowPath(ruleset.get(), "/dev/null", LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_WRITE_FILE, handled)) {
      return 0;
    }
    // Needed to confine oneself without privileges; the filter sets it again.
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return 0;
    if (::syscall(SYS_landlock_restrict_self, ruleset.get(), 0) != 0) return 0;
    return abi;
  } catch (...) {
    // Out of memory while listing paths: no confinement, as on an old kernel.
    return 0;
  }
}

bool installSystemCallFilter() noexcept {
  const FilterContext filter(::seccomp_init(SCMP_ACT_ERRNO(EPERM)));
  if (!filter) return false;
  // A call of another ABI (32-bit int 0x80, x32) would skip every rule
  // written for x86_64: such calls fail as if the kernel had none.
  if (::seccomp_attr_set(filter.get(), SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_ERRNO(ENOSYS)) != 0) return false;
  // Threads that a sanitizer or a library may already have started get the
  // same filter, all at once.
  if (::seccomp_attr_set(filter.get(), SCMP_FLTATR_CTL_TSYNC, 1) != 0) return false;

  for (const int call : kAllowedCalls) {
    if (::seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, call, 0) != 0) return false;
  }
  const scmp_datum_t self = static_cast<scmp_datum_t>(::getpid());
  const scmp_arg_cmp thread{.arg = 0, .op = SCMP_CMP_MASKED_EQ, .datum_a = CLONE_THREAD, .datum_b = CLONE_THREAD};
  if (::seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, SCMP_SYS(clone), 1, thread) != 0) return false;
  // clone3 hides its flags behind a pointer that a filter cannot read; ENOSYS
  // makes glibc fall back to clone, where the flags are checked.
  if (::seccomp_rule_add(filter.get(), SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) != 0) return false;
  // Signals stay within the process (raise and abort send them to the
  // process itself): the helper never signals its parent, its process group
  // or anything else its user runs. The process keeps its id from here on,
  // since it never execs again. Its limits likewise: prlimit64 on itself
  // only (it can lower them, never raise the hard limits).
  const scmp_arg_cmp toSelf{.arg = 0, .op = SCMP_CMP_EQ, .datum_a = self, .datum_b = 0};
  for (const int call : {SCMP_SYS(kill), SCMP_SYS(tgkill), SCMP_SYS(rt_sigqueueinfo), SCMP_SYS(rt_tgsigqueueinfo),
                         SCMP_SYS(prlimit64)}) {
    if (::seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, call, 1, toSelf) != 0) return false;
  }
  const scmp_arg_cmp ownLimits{.arg = 0, .op = SCMP_CMP_EQ, .datum_a = 0, .datum_b = 0};
  if (::seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, SCMP_SYS(prlimit64), 1, ownLimits) != 0) return false;
  // personality(0xffffffff) only reads the execution domain; anything else
  // would change it (and with it the address-space layout). The comparison is
  // on all 64 bits, so a query with the value sign-extended fails too: safe.
  const scmp_arg_cmp query{.arg = 0, .op = SCMP_CMP_EQ, .datum_a = kPersonalityQuery, .datum_b = 0};
  if (::seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, SCMP_SYS(personality), 1, query) != 0) return false;
  if (kPermitLeakCheckerTracer) {
    // The leak checker's helper task (cloned untraced), its attaching to the
    // process's threads and its waiting for them.
    const scmp_arg_cmp untraced{.arg = 0, .op = SCMP_CMP_MASKED_EQ, .datum_a = CLONE_UNTRACED, .datum_b = CLONE_UNTRACED};
    if (::seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, SCMP_SYS(clone), 1, untraced) != 0) return false;
    for (const int call : {SCMP_SYS(ptrace), SCMP_SYS(wait4), SCMP_SYS(waitid)}) {
      if (::seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, call, 0) != 0) return false;
    }
  }
  // seccomp_load also sets no_new_privs, which an unprivileged filter needs.
  return ::seccomp_load(filter.get()) == 0;
}

bool limitAddressSpace(std::uint64_t bytes) noexcept {
  rlimit current{};
  if (::getrlimit(RLIMIT_AS, &current) != 0) return false;
  const rlim_t wanted = static_cast<rlim_t>(bytes);
  const rlimit lowered{.rlim_cur = current.rlim_cur == RLIM_INFINITY ? wanted : std::min(current.rlim_cur, wanted),
                       .rlim_max = current.rlim_max == RLIM_INFINITY ? wanted : std::min(current.rlim_max, wanted)};
  return ::setrlimit(RLIMIT_AS, &lowered) == 0;
}

}  // namespace quorvantelmic
