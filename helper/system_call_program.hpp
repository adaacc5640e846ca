// The helper's system-call filter as the BPF program the kernel runs: the
// rules of system_call_rules.cpp, compiled by libseccomp when the helper is
// built, with the calling process's id put in where the rules name it.
#pragma once

#include <linux/filter.h>

#include <cstdint>
#include <vector>

namespace quorvantelmic {

// The program for the process `self`; with `permitLeakCheckerTracer`, the
// one that lets the sanitizer build's leak checker through.
std::vector<sock_filter> systemCallProgram(std::uint32_t self, bool permitLeakCheckerTracer);

}  // namespace quorvantelmic
