// system-call-killer COUNTER KILL_AT HELPER
//
// Runs HELPER under ptrace with the standard streams and every other inherited
// descriptor it was given, and counts the system calls that can change what is
// on disk or what the parent hears: creating opens, directory and link
// changes, renames, permission changes, writes, truncation and
// synchronisation. COUNTER is a file holding the count so far, shared by all
// the helper processes of one journey (the parent runs some side by side), so
// the calls are numbered across all of them. At the entry of call number
// KILL_AT the helper is killed with SIGKILL before the call runs, COUNTER
// gets the text "killed", and this process kills itself the same way, so the
// parent sees its helper die. From then on every helper of the journey dies:
// one still running at its next counted call, one started later at once (the
// kill is for good: the parent's own rollback cannot run either). KILL_AT 0
// only counts.
//
// The test build's leak checker cannot run under a tracer, so it is turned
// off in the traced helper.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "helper_core/file_access/unique_fd.hpp"

namespace {

[[noreturn]] void dieLikeTheHelper() {
  ::signal(SIGKILL, SIG_DFL);
  ::kill(::getpid(), SIGKILL);
  std::_Exit(137);
}

// The journey's count, shared by every helper process of it (the parent runs
// several at once, one per descriptor set), read and advanced under a lock.
class SharedCounter {
 public:
  explicit SharedCounter(const char* path) : descriptor_(::open(path, O_RDWR | O_CLOEXEC)) {}
  bool valid() const { return descriptor_.valid(); }

  // Adds one; returns the new count, or -1 once the journey was killed.
  long advance(long killAt) {
    ::flock(descriptor_.get(), LOCK_EX);
    const std::string text = contents();
    long count = -1;
    if (text != "killed") {
      count = std::strtol(text.c_str(), nullptr, 10) + 1;
      replace(count == killAt ? std::string("killed") : std::to_string(count));
    }
    ::flock(descriptor_.get(), LOCK_UN);
    return count;
  }
  bool killed() {
    ::flock(descriptor_.get(), LOCK_EX);
    const bool result = contents() == "killed";
    ::flock(descriptor_.get(), LOCK_UN);
    return result;
  }

 private:
  std::string contents() const {
    char buffer[32] = {};
    const ssize_t got = ::pread(descriptor_.get(), buffer, sizeof buffer - 1, 0);
    return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string("0");
  }
  void replace(const std::string& text) const {
    (void)::ftruncate(descriptor_.get(), 0);
    (void)::pwrite(descriptor_.get(), text.data(), text.size(), 0);
  }

  quorvantelmic::UniqueFd descriptor_;
};

bool opensForChange(std::uint64_t flags) {
  return (flags & (O_CREAT | O_TRUNC | O_WRONLY | O_RDWR)) != 0;
}

// Whether descriptor `number` of process `process` is a pipe other than
// standard output: the sanitizers probe memory by writing it into a pipe of
// their own, which changes nothing anyone sees.
bool isPrivatePipe(pid_t process, std::uint64_t number) {
  if (number == STDOUT_FILENO) return false;
  const std::string link = "/proc/" + std::to_string(process) + "/fd/" + std::to_string(number);
  char target[64] = {};
  const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
  return length > 0 && std::string_view(target, static_cast<std::size_t>(length)).starts_with("pipe:");
}

// Whether the call whose entry is described by `info` can change the file
// system or the bytes the parent receives.
bool changesState(pid_t process, const __ptrace_syscall_info& info) {
  const auto number = static_cast<long>(info.entry.nr);
  const auto* arguments = info.entry.args;
  switch (number) {
    case SYS_write:
      return !isPrivatePipe(process, arguments[0]);
    case SYS_open:
      return opensForChange(arguments[1]);
    case SYS_openat:
      return opensForChange(arguments[2]);
    case SYS_openat2:
      return true;
    case SYS_creat:
    case SYS_mkdir:
    case SYS_mkdirat:
    case SYS_rename:
    case SYS_renameat:
    case SYS_renameat2:
    case SYS_link:
    case SYS_linkat:
    case SYS_symlink:
    case SYS_symlinkat:
    case SYS_unlink:
    case SYS_unlinkat:
    case SYS_rmdir:
    case SYS_chmod:
    case SYS_fchmod:
    case SYS_fchmodat:
    case SYS_utimensat:
    case SYS_pwrite64:
    case SYS_writev:
    case SYS_pwritev:
    case SYS_pwritev2:
    case SYS_ftruncate:
    case SYS_truncate:
    case SYS_fallocate:
    case SYS_fsync:
    case SYS_fdatasync:
    case SYS_syncfs:
    case SYS_copy_file_range:
      return true;
    default:
      return false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const char* counterPath = argv[1];
  const long killAt = std::strtol(argv[2], nullptr, 10);
  const char* helper = argv[3];

  {
    SharedCounter early(counterPath);
    if (!early.valid()) return 2;
    if (early.killed()) dieLikeTheHelper();
  }

  const pid_t child = ::fork();
  if (child < 0) return 2;
  if (child == 0) {
    const char* existing = std::getenv("ASAN_OPTIONS");
    const std::string options = std::string(existing ? existing : "") + (existing ? ":" : "") + "detect_leaks=0";
    ::setenv("ASAN_OPTIONS", options.c_str(), 1);
    if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) std::_Exit(126);
    ::raise(SIGSTOP);
    char* const arguments[] = {const_cast<char*>(helper), nullptr};
    ::execv(helper, arguments);
    std::_Exit(127);
  }
  // Only the helper keeps the parent's pipes and directories open, so that
  // its death is seen at once.
  ::close_range(STDIN_FILENO, ~0U, 0);
  SharedCounter counter(counterPath);
  // SYSTEM_CALL_KILLER_TRACE names a file to which each counted call is
  // appended, for finding out which call a kill point is.
  const char* tracePath = std::getenv("SYSTEM_CALL_KILLER_TRACE");
  std::FILE* trace = tracePath != nullptr ? std::fopen(tracePath, "a") : nullptr;

  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFSTOPPED(status)) return 2;
  const long options = PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL | PTRACE_O_TRACECLONE | PTRACE_O_TRACEFORK |
                       PTRACE_O_TRACEVFORK | PTRACE_O_TRACEEXEC;
  if (::ptrace(PTRACE_SETOPTIONS, child, nullptr, reinterpret_cast<void*>(options)) != 0) return 2;
  if (::ptrace(PTRACE_SYSCALL, child, nullptr, nullptr) != 0) return 2;

  for (;;) {
    const pid_t stopped = ::waitpid(-1, &status, __WALL);
    if (stopped < 0) {
      if (errno == EINTR) continue;
      return 2;
    }
    if (WIFEXITED(status) || WIFSIGNALED(status)) {
      if (stopped != child) continue;
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      ::signal(WTERMSIG(status), SIG_DFL);
      ::kill(::getpid(), WTERMSIG(status));
      return 128 + WTERMSIG(status);
    }
    if (!WIFSTOPPED(status)) continue;
    int deliver = 0;
    const int stopSignal = WSTOPSIG(status);
    if (stopSignal == (SIGTRAP | 0x80)) {
      __ptrace_syscall_info info{};
      const long size = ::ptrace(PTRACE_GET_SYSCALL_INFO, stopped, reinterpret_cast<void*>(sizeof info), &info);
      const bool counted = size > 0 && info.op == PTRACE_SYSCALL_INFO_ENTRY && changesState(stopped, info);
      const long count = counted ? counter.advance(killAt) : 0;
      if (counted && trace != nullptr) {
        std::fprintf(trace, "%ld: call %llu (%llx, %llx, %llx)\n", count, static_cast<unsigned long long>(info.entry.nr),
                     static_cast<unsigned long long>(info.entry.args[0]),
                     static_cast<unsigned long long>(info.entry.args[1]),
                     static_cast<unsigned long long>(info.entry.args[2]));
        std::fflush(trace);
      }
      if (counted && (count == killAt || count < 0)) {
        ::kill(child, SIGKILL);
        dieLikeTheHelper();
      }
    } else if (stopSignal == SIGTRAP && (status >> 16) != 0) {
      // A clone, fork or exec event: nothing to deliver.
    } else if (stopSignal == SIGSTOP && (status >> 16) == 0) {
      // The first stop of a new thread, or a stop sent to the helper.
    } else {
      deliver = stopSignal;
    }
    ::ptrace(PTRACE_SYSCALL, stopped, nullptr, reinterpret_cast<void*>(static_cast<long>(deliver)));
  }
}
