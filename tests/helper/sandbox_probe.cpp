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

extern char** environ;

namespace {

void report(const char* name, long result) {
  const char* outcome = result >= 0 ? "ok" : ::strerrorname_np(errno);
  std::printf("%s %s\n", name, outcome != nullptr ? outcome : "unknown");
}

// The attempts whose arguments make them fail or do nothing when no filter is
// in place, each with an outcome other than EPERM (or ENOSYS for clone3).
void harmlessAttempts() {
  sockaddr_storage address{};
  report("connect", ::connect(-1, reinterpret_cast<sockaddr*>(&address), sizeof address));
  report("fchown", ::fchown(-1, static_cast<uid_t>(-1), static_cast<gid_t>(-1)));
  report("chown", ::chown("/nonexistent/quorvantelmic-probe", static_cast<uid_t>(-1), static_cast<gid_t>(-1)));
  report("mount", ::mount(nullptr, nullptr, nullptr, 0, nullptr));
  report("chroot", ::chroot("/nonexistent/quorvantelmic-probe"));
  report("clone3", ::syscall(SYS_clone3, nullptr, 0));
  report("setns", ::setns(-1, 0));
  report("unshare", ::unshare(0));
  report("setuid", ::setuid(::getuid()));
  report("process_vm_readv", ::syscall(SYS_process_vm_readv, ::getpid(), nullptr, 0, nullptr, 0, 0));
  report("bpf", ::syscall(SYS_bpf, -1, nullptr, 0));
  report("perf_event_open", ::syscall(SYS_perf_event_open, nullptr, 0, -1, -1, 0));
  report("io_uring_setup", ::syscall(SYS_io_uring_setup, 0, nullptr));
  report("keyctl", ::syscall(SYS_keyctl, -1, 0, 0, 0, 0));
  report("personality-query", ::personality(0xffffffff));
  report("kill-parent", ::kill(::getppid(), 0));
  report("kill-group", ::kill(0, 0));
  report("pidfd_open", ::syscall(SYS_pidfd_open, ::getppid(), 0));
  // Calls the helper never makes, outside the allowed list: pushing input
  // into a terminal, reading another process's limits, anonymous files.
  char typed = 'x';
  report("ioctl", ::ioctl(-1, TIOCSTI, &typed));
  rlimit limits{};
  report("prlimit-parent", ::prlimit(::getppid(), RLIMIT_NOFILE, nullptr, &limits));
  report("memfd_create", ::syscall(SYS_memfd_create, nullptr, 0));
}

// The attempts that would change this process or start another one if the
// filter let them through.
void refusedAttempts() {
  report("socket", ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int pair[2];
  report("socketpair", ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));

  const pid_t forked = ::fork();
  if (forked == 0) ::_exit(0);
  if (forked > 0) ::waitpid(forked, nullptr, 0);
  report("fork", forked);

  char* const arguments[] = {const_cast<char*>("/bin/true"), nullptr};
  pid_t spawned = -1;
  const int spawnError = ::posix_spawn(&spawned, "/bin/true", nullptr, nullptr, arguments, environ);
  if (spawnError == 0) ::waitpid(spawned, nullptr, 0);
  errno = spawnError;
  report("posix_spawn", spawnError == 0 ? 0 : -1);

  report("ptrace", ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr));
  report("personality-change", ::personality(static_cast<unsigned long>(ADDR_NO_RANDOMIZE)));

  report("kill-self", ::kill(::getpid(), 0));
  report("tgkill-self", ::syscall(SYS_tgkill, ::getpid(), ::gettid(), 0));
  report("tgkill-parent", ::syscall(SYS_tgkill, ::getppid(), ::getppid(), 0));

  // A thread that a library starts must still work.
  std::atomic<bool> ran = false;
  std::thread([&ran] { ran = true; }).join();
  std::printf("thread %s\n", ran ? "ok" : "failed");

  // Reading files is what the helper does all day.
  char status[4096] = {};
  const int file = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  const ssize_t got = file >= 0 ? ::read(file, status, sizeof status - 1) : -1;
  if (file >= 0) ::close(file);
  report("read", got);
  const char* mode = std::strstr(status, "Seccomp:\t");
  std::printf("seccomp-mode %c\n", mode != nullptr ? mode[9] : '?');

  // Last, since it would replace the probe if it worked.
  std::fflush(stdout);
  report("execve", ::execve("/bin/true", arguments, environ));
}

// What a compromised decoder would try through paths once confined, and
// what the libraries need to keep working.
void fileSystemAttempts(const std::string& outsideFile, const std::string& outsideDirectory) {
  const auto opened = [](const char* name, const std::string& path, int flags) {
    const int descriptor = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
    report(name, descriptor);
    if (descriptor >= 0) ::close(descriptor);
  };
  opened("open-passwd", "/etc/passwd", O_RDONLY);
  opened("open-outside-file", outsideFile, O_RDONLY);
  opened("list-outside-directory", outsideDirectory, O_RDONLY | O_DIRECTORY);
  opened("create-outside", outsideDirectory + "/planted", O_WRONLY | O_CREAT | O_EXCL);
  report("unlink-outside", ::unlink(outsideFile.c_str()));
  report("rename-outside", ::rename(outsideFile.c_str(), (outsideFile + ".moved").c_str()));
  report("mkdir-outside", ::mkdir((outsideDirectory + "/made").c_str(), 0700));
  opened("open-parent-proc", "/proc/" + std::to_string(::getppid()) + "/status", O_RDONLY);
  opened("open-own-proc", "/proc/self/status", O_RDONLY);
  opened("open-font-configuration", "/etc/fonts/fonts.conf", O_RDONLY);
  opened("list-fonts", "/usr/share/fonts", O_RDONLY | O_DIRECTORY);
  opened("write-library-directory", "/usr/lib/quorvantelmic-probe", O_WRONLY | O_CREAT | O_EXCL);
  opened("read-inherited-file", "/dev/fd/3", O_RDONLY);
  opened("write-inherited-read-only-file", "/dev/fd/3", O_WRONLY);
  opened("create-in-inherited-directory", "/dev/fd/4/made-by-probe", O_WRONLY | O_CREAT | O_EXCL);
  report("unlink-in-inherited-directory", ::unlink("/dev/fd/4/made-by-probe"));
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
    const int abi = quorvantelmic::restrictFileSystem();
    std::printf("landlock %d\n", abi);
    if (!quorvantelmic::installSystemCallFilter()) {
      std::printf("install failed\n");
      return 1;
    }
    // Unconfined, the attempts would really plant, move and remove files.
    if (abi > 0) fileSystemAttempts(argv[2], argv[3]);
    std::printf("done\n");
    return 0;
  }
  const bool unfiltered = argc > 1 && std::string_view(argv[1]) == "unfiltered";
  if (!unfiltered && !quorvantelmic::installSystemCallFilter()) {
    std::printf("install failed\n");
    return 1;
  }
  harmlessAttempts();
  if (!unfiltered) refusedAttempts();
  std::printf("done\n");
  return 0;
}
