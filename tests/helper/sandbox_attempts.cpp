#include "tests/helper/sandbox_attempts.hpp"

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/personality.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

extern char** environ;

namespace quorvantelmic::sandbox_attempts {
namespace {

// One line per attempt through the caller's sink: "ok" or the errno name.
void report(const AttemptSink& sink, const char* name, long result) {
  const char* outcome = result >= 0 ? "ok" : ::strerrorname_np(errno);
  sink(name, outcome != nullptr ? outcome : "unknown");
}

}  // namespace

// The attempts whose arguments make them fail or do nothing when no filter is
// in place, each with an outcome other than EPERM (or ENOSYS for clone3).
void harmlessAttempts(const AttemptSink& sink) {
  sockaddr_storage address{};
  report(sink, "connect", ::connect(-1, reinterpret_cast<sockaddr*>(&address), sizeof address));
  report(sink, "fchown", ::fchown(-1, static_cast<uid_t>(-1), static_cast<gid_t>(-1)));
  report(sink, "chown", ::chown("/nonexistent/quorvantelmic-probe", static_cast<uid_t>(-1), static_cast<gid_t>(-1)));
  report(sink, "mount", ::mount(nullptr, nullptr, nullptr, 0, nullptr));
  report(sink, "chroot", ::chroot("/nonexistent/quorvantelmic-probe"));
  report(sink, "clone3", ::syscall(SYS_clone3, nullptr, 0));
  report(sink, "setns", ::setns(-1, 0));
  report(sink, "unshare", ::unshare(0));
  report(sink, "setuid", ::setuid(::getuid()));
  report(sink, "process_vm_readv", ::syscall(SYS_process_vm_readv, ::getpid(), nullptr, 0, nullptr, 0, 0));
  report(sink, "bpf", ::syscall(SYS_bpf, -1, nullptr, 0));
  report(sink, "perf_event_open", ::syscall(SYS_perf_event_open, nullptr, 0, -1, -1, 0));
  report(sink, "io_uring_setup", ::syscall(SYS_io_uring_setup, 0, nullptr));
  report(sink, "keyctl", ::syscall(SYS_keyctl, -1, 0, 0, 0, 0));
  report(sink, "personality-query", ::personality(0xffffffff));
  report(sink, "kill-parent", ::kill(::getppid(), 0));
  report(sink, "kill-group", ::kill(0, 0));
  report(sink, "pidfd_open", ::syscall(SYS_pidfd_open, ::getppid(), 0));
  // Calls the helper never makes, outside the allowed list: pushing input
  // into a terminal, reading another process's limits, anonymous files.
  char typed = 'x';
  report(sink, "ioctl", ::ioctl(-1, TIOCSTI, &typed));
  rlimit limits{};
  report(sink, "prlimit-parent", ::prlimit(::getppid(), RLIMIT_NOFILE, nullptr, &limits));
  report(sink, "memfd_create", ::syscall(SYS_memfd_create, nullptr, 0));
}

// The attempts that would change this process or start another one if the
// filter let them through.
void refusedAttempts(const AttemptSink& sink) {
  report(sink, "socket", ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int pair[2];
  report(sink, "socketpair", ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));

  const pid_t forked = ::fork();
  if (forked == 0) ::_exit(0);
  if (forked > 0) ::waitpid(forked, nullptr, 0);
  report(sink, "fork", forked);

  char* const arguments[] = {const_cast<char*>("/bin/true"), nullptr};
  pid_t spawned = -1;
  const int spawnError = ::posix_spawn(&spawned, "/bin/true", nullptr, nullptr, arguments, environ);
  if (spawnError == 0) ::waitpid(spawned, nullptr, 0);
  errno = spawnError;
  report(sink, "posix_spawn", spawnError == 0 ? 0 : -1);

#if !defined(__SANITIZE_ADDRESS__)
  // The sanitizer build's filter lets ptrace through for the leak checker,
  // which a traced process would break at exit.
  report(sink, "ptrace", ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr));
#endif
  report(sink, "personality-change", ::personality(static_cast<unsigned long>(ADDR_NO_RANDOMIZE)));

  report(sink, "kill-self", ::kill(::getpid(), 0));
  report(sink, "tgkill-self", ::syscall(SYS_tgkill, ::getpid(), ::gettid(), 0));
  report(sink, "tgkill-parent", ::syscall(SYS_tgkill, ::getppid(), ::getppid(), 0));

  // A thread that a library starts must still work.
  std::atomic<bool> ran = false;
  std::thread([&ran] { ran = true; }).join();
  sink("thread", ran ? "ok" : "failed");

  // Reading files is what the helper does all day.
  char status[4096] = {};
  const int file = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  const ssize_t got = file >= 0 ? ::read(file, status, sizeof status - 1) : -1;
  if (file >= 0) ::close(file);
  report(sink, "read", got);
  const char* mode = std::strstr(status, "Seccomp:\t");
  const char seccompMode[2] = {mode != nullptr ? mode[9] : '?', '\0'};
  sink("seccomp-mode", seccompMode);

  // Last, since it would replace the probe if it worked.
  report(sink, "execve", ::execve("/bin/true", arguments, environ));
}

// What a compromised decoder would try through paths once confined, and
// what the libraries need to keep working.
void fileSystemAttempts(const AttemptSink& sink, const std::string& outsideFile, const std::string& outsideDirectory) {
  const auto opened = [&sink](const char* name, const std::string& path, int flags) {
    const int descriptor = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
    report(sink, name, descriptor);
    if (descriptor >= 0) ::close(descriptor);
  };
  opened("open-passwd", "/etc/passwd", O_RDONLY);
  opened("open-outside-file", outsideFile, O_RDONLY);
  opened("list-outside-directory", outsideDirectory, O_RDONLY | O_DIRECTORY);
  opened("create-outside", outsideDirectory + "/planted", O_WRONLY | O_CREAT | O_EXCL);
  report(sink, "unlink-outside", ::unlink(outsideFile.c_str()));
  report(sink, "rename-outside", ::rename(outsideFile.c_str(), (outsideFile + ".moved").c_str()));
  report(sink, "mkdir-outside", ::mkdir((outsideDirectory + "/made").c_str(), 0700));
  opened("open-parent-proc", "/proc/" + std::to_string(::getppid()) + "/status", O_RDONLY);
  opened("open-own-proc", "/proc/self/status", O_RDONLY);
  opened("open-font-configuration", "/etc/fonts/fonts.conf", O_RDONLY);
  opened("list-fonts", "/usr/share/fonts", O_RDONLY | O_DIRECTORY);
  opened("write-library-directory", "/usr/lib/quorvantelmic-probe", O_WRONLY | O_CREAT | O_EXCL);
  opened("read-inherited-file", "/dev/fd/3", O_RDONLY);
  opened("write-inherited-read-only-file", "/dev/fd/3", O_WRONLY);
  opened("create-in-inherited-directory", "/dev/fd/4/made-by-probe", O_WRONLY | O_CREAT | O_EXCL);
  report(sink, "unlink-in-inherited-directory", ::unlink("/dev/fd/4/made-by-probe"));
}

}  // namespace quorvantelmic::sandbox_attempts
