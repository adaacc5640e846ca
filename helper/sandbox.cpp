#include "helper/sandbox.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <sched.h>
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

#include "helper/system_call_program.hpp"
#include "helper_core/file_access/unique_fd.hpp"

namespace quorvantelmic {

namespace {

// The sanitizer build's leak checker stops the world at exit from a helper
// task that it clones with CLONE_UNTRACED and then attaches with ptrace; that
// build loads the program that lets exactly this through, the shipped helper
// does not.
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
  try {
    std::vector<sock_filter> program =
        systemCallProgram(static_cast<std::uint32_t>(::getpid()), kPermitLeakCheckerTracer);
    const sock_fprog filter{.len = static_cast<unsigned short>(program.size()), .filter = program.data()};
    // An unprivileged process may install a filter only under no_new_privs.
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
    // Threads that a sanitizer or a library may already have started get the
    // same filter, all at once; a thread that cannot take it makes the call
    // fail (with that thread's id) and nothing is installed.
    return ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &filter) == 0;
  } catch (...) {
    return false;
  }
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
