// The helper's system-call filter: once the process has started, the calls it
// never needs (networking, running programs, new processes, debugging other
// processes, mounts, ownership and identity changes, kernel keys, modules and
// the like) fail with an error for the rest of its life.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Sanitizer builds reserve terabytes of address space for their shadow memory
// before main runs, and valgrind (which runs the unfiltered build) keeps its
// own tables inside the process: neither can live under an address-space
// limit, so those builds run without one. The shipped helper always has it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUORVANTELMIC_ADDRESS_SPACE_UNLIMITED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define QUORVANTELMIC_ADDRESS_SPACE_UNLIMITED 1
#endif
#endif
#if defined(QUORVANTELMIC_UNFILTERED_HELPER) && !defined(QUORVANTELMIC_ADDRESS_SPACE_UNLIMITED)
#define QUORVANTELMIC_ADDRESS_SPACE_UNLIMITED 1
#endif

namespace quorvantelmic {

// The helper's address space, libraries, stacks and heap together. Measured
// on the largest legitimate requests: a 100-megapixel photo of pure noise
// (an 86 MB JPEG) converted to AVIF peaks at 2.4 GiB of address space (2.1
// GiB resident, most of it the AV1 encoder's), to PNG or TIFF at 1.5 GiB, to
// JPEG at 0.65 GiB; a 32767 x 3000 page rendered to PNG at 0.8 GiB. The limit
// leaves two thirds more than the largest, so no legitimate request comes
// near it, and a decoder that goes wild fails an allocation (answered as a
// failed request) instead of taking the machine's memory.
constexpr std::uint64_t kHelperAddressSpaceBytes = std::uint64_t{4} << 30;

// Confines the process's reach into the file system, where the kernel has
// Landlock: from here on, paths lead only to what the descriptors it
// inherited name (their files, and everything beneath their directories,
// for any use), and to the system files its libraries read (the shared
// libraries and data under /usr, font configuration and caches, the user's
// own fonts, the process's own /proc entries, /dev/null and /dev/urandom),
// for reading only. Anything else (the user's files, other processes'
// /proc entries, /etc/passwd) cannot be opened, created, renamed, linked or
// removed through a path. Descriptors the process already holds keep
// working. Returns the Landlock ABI version in force, or 0 when the kernel
// has no Landlock (or it is disabled), in which case nothing changed: the
// helper then runs with its system-call filter alone.
//
// Must run before the process starts a thread (the confinement holds for the
// calling thread and the threads it starts later).
// `moduleFiles` are the helper's own modules, which it may read and map as
// code wherever they are installed (a path that does not open is skipped).
int restrictFileSystem(const std::vector<std::string>& moduleFiles) noexcept;

// Lowers the soft and the hard limit on the process's address space
// (RLIMIT_AS) to `bytes`, or keeps a lower limit already in force. The hard
// limit is lowered as well, so nothing in the process can raise it again.
// Returns false when the kernel refused.
[[nodiscard]] bool limitAddressSpace(std::uint64_t bytes) noexcept;

// Installs the filter on every thread of the calling process. Returns false
// when the kernel refused it (no seccomp, or the call itself is filtered by
// whoever started us); no filter is then in place, although no_new_privs may
// already be set.
//
// Must run after the last exec of the process: the filter makes execve fail.
[[nodiscard]] bool installSystemCallFilter() noexcept;

}  // namespace quorvantelmic
