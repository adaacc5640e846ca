#include "helper/sandbox.hpp"

#include <sched.h>
#include <seccomp.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>

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

}  // namespace

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

}  // namespace quorvantelmic
