// The rules of the helper's system-call filter, in libseccomp's terms, and
// their compilation into a BPF program. The helper does not compile them when
// it starts: the build compiles them once (system_call_program_generator.cpp)
// and the helper loads that program with its own process id patched in
// (system_call_program.hpp). The tests compile them again and compare.
#pragma once

#include <linux/filter.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace quorvantelmic {

// The filter of a process whose id is `self`, as libseccomp compiles it.
// `permitLeakCheckerTracer` lets the sanitizer build's leak checker through
// (sandbox.cpp says what that takes). Nothing when libseccomp refuses a rule
// or cannot compile them.
std::optional<std::vector<sock_filter>> compileSystemCallRules(std::uint32_t self, bool permitLeakCheckerTracer);

}  // namespace quorvantelmic
