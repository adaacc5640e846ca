#include "helper/sandbox.hpp"

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

// Why a deny-list over a default that allows everything: the codecs, the PDF
// renderer, fontconfig and the text recogniser each make their own selection
// of ordinary calls (memory mapping, file status, futexes, clocks, madvise,
// sched_getaffinity, ...), which changes with every library update. An
// allow-list would turn any such change into a crash in the middle of a
// conversion; what matters is that nothing in this process can ever reach the
// network, run a program, start another process, touch another process, or
// change the machine, and those calls are few and stable.
//
// Every denied call fails with EPERM rather than killing the process: some
// libraries probe a call (glibc asks nscd over a socket, a runtime checks
// for io_uring) and carry on when it fails.
constexpr std::array kDeniedCalls = {
    // No network and no local sockets: descriptors that the parent passes
    // down (even socket pairs) keep working with read and write.
    SCMP_SYS(socket), SCMP_SYS(socketpair), SCMP_SYS(connect), SCMP_SYS(bind), SCMP_SYS(listen),
    SCMP_SYS(accept), SCMP_SYS(accept4),
    // No other program, and no other process (clone is filtered below).
    SCMP_SYS(execve), SCMP_SYS(execveat), SCMP_SYS(fork), SCMP_SYS(vfork),
    // Nothing reaches into another process or its descriptors (signals are
    // filtered below).
    SCMP_SYS(ptrace), SCMP_SYS(process_vm_readv), SCMP_SYS(process_vm_writev), SCMP_SYS(pidfd_getfd),
    SCMP_SYS(process_madvise), SCMP_SYS(pidfd_open), SCMP_SYS(pidfd_send_signal), SCMP_SYS(tkill),
    // The file system is reached only through paths and descriptors that the
    // path policy checks: no mounts, no new root, no handles that bypass
    // directory permissions.
    SCMP_SYS(mount), SCMP_SYS(umount2), SCMP_SYS(pivot_root), SCMP_SYS(chroot), SCMP_SYS(fsopen),
    SCMP_SYS(fsconfig), SCMP_SYS(fsmount), SCMP_SYS(fspick), SCMP_SYS(move_mount), SCMP_SYS(open_tree),
    SCMP_SYS(mount_setattr), SCMP_SYS(open_by_handle_at), SCMP_SYS(name_to_handle_at),
    // Everything the helper writes belongs to the user who runs it.
    SCMP_SYS(chown), SCMP_SYS(fchown), SCMP_SYS(lchown), SCMP_SYS(fchownat),
    // The process keeps its identity.
    SCMP_SYS(setuid), SCMP_SYS(setgid), SCMP_SYS(setreuid), SCMP_SYS(setregid), SCMP_SYS(setresuid),
    SCMP_SYS(setresgid), SCMP_SYS(setfsuid), SCMP_SYS(setfsgid), SCMP_SYS(setgroups),
    // Namespaces.
    SCMP_SYS(unshare), SCMP_SYS(setns),
    // Kernel facilities no converter needs, each a frequent way into the kernel.
    SCMP_SYS(keyctl), SCMP_SYS(add_key), SCMP_SYS(request_key), SCMP_SYS(bpf), SCMP_SYS(perf_event_open),
    SCMP_SYS(io_uring_setup), SCMP_SYS(io_uring_enter), SCMP_SYS(io_uring_register), SCMP_SYS(userfaultfd),
    // The machine itself.
    SCMP_SYS(init_module), SCMP_SYS(finit_module), SCMP_SYS(delete_module), SCMP_SYS(kexec_load),
    SCMP_SYS(kexec_file_load), SCMP_SYS(reboot), SCMP_SYS(swapon), SCMP_SYS(swapoff), SCMP_SYS(acct),
    SCMP_SYS(quotactl), SCMP_SYS(settimeofday), SCMP_SYS(clock_settime), SCMP_SYS(clock_adjtime),
    SCMP_SYS(adjtimex), SCMP_SYS(sethostname), SCMP_SYS(setdomainname), SCMP_SYS(iopl), SCMP_SYS(ioperm),
    SCMP_SYS(syslog), SCMP_SYS(vhangup),
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
constexpr scmp_datum_t kPermittedCloneFlags = CLONE_THREAD | CLONE_UNTRACED;
constexpr bool kPermitLeakCheckerTracer = true;
#else
constexpr scmp_datum_t kPermittedCloneFlags = CLONE_THREAD;
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
// sockets, terminals) are not reached through paths at all and get no rule.
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
  return ::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
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

// The descriptors the process holds, from 3 up (0 to 2 are its pipes).
std::vector<int> inheritedDescriptors() {
  std::vector<int> descriptors;
  rlimit open{};
  const rlim_t highest = ::getrlimit(RLIMIT_NOFILE, &open) == 0 ? std::min<rlim_t>(open.rlim_cur, 4096) : 1024;
  for (int descriptor = 3; static_cast<rlim_t>(descriptor) < highest; ++descriptor) {
    if (::fcntl(descriptor, F_GETFD) >= 0) descriptors.push_back(descriptor);
  }
  return descriptors;
}

}  // namespace

int restrictFileSystem() noexcept {
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
  const FilterContext filter(::seccomp_init(SCMP_ACT_ALLOW));
  if (!filter) return false;
  const uint32_t denied = SCMP_ACT_ERRNO(EPERM);
  // A call of another ABI (32-bit int 0x80, x32) would skip every rule
  // written for x86_64: such calls fail as if the kernel had none.
  if (::seccomp_attr_set(filter.get(), SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_ERRNO(ENOSYS)) != 0) return false;
  // Threads that a sanitizer or a library may already have started get the
  // same filter, all at once.
  if (::seccomp_attr_set(filter.get(), SCMP_FLTATR_CTL_TSYNC, 1) != 0) return false;

  for (const int call : kDeniedCalls) {
    if (kPermitLeakCheckerTracer && call == SCMP_SYS(ptrace)) continue;
    if (::seccomp_rule_add(filter.get(), denied, call, 0) != 0) return false;
  }
  const scmp_arg_cmp newProcess{.arg = 0, .op = SCMP_CMP_MASKED_EQ, .datum_a = kPermittedCloneFlags, .datum_b = 0};
  if (::seccomp_rule_add(filter.get(), denied, SCMP_SYS(clone), 1, newProcess) != 0) return false;
  // clone3 hides its flags behind a pointer that a filter cannot read; ENOSYS
  // makes glibc fall back to clone, where the flags are checked.
  if (::seccomp_rule_add(filter.get(), SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) != 0) return false;
  // Signals stay within the process (raise and abort send them to the
  // process itself): the helper never signals its parent, its process group
  // or anything else its user runs. The process keeps its id from here on,
  // since it never execs again.
  const scmp_arg_cmp otherProcess{.arg = 0, .op = SCMP_CMP_NE, .datum_a = static_cast<scmp_datum_t>(::getpid()),
                                  .datum_b = 0};
  for (const int call : {SCMP_SYS(kill), SCMP_SYS(tgkill), SCMP_SYS(rt_sigqueueinfo), SCMP_SYS(rt_tgsigqueueinfo)}) {
    if (::seccomp_rule_add(filter.get(), denied, call, 1, otherProcess) != 0) return false;
  }
  const scmp_arg_cmp change{.arg = 0, .op = SCMP_CMP_NE, .datum_a = kPersonalityQuery, .datum_b = 0};
  if (::seccomp_rule_add(filter.get(), denied, SCMP_SYS(personality), 1, change) != 0) return false;
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
