// Coverage feedback from the libraries GCC builds in the fuzz build (see
// compile-with-gcc), which are compiled with
// -fsanitize-coverage=trace-pc,trace-cmp: every basic block calls
// __sanitizer_cov_trace_pc, every comparison a __sanitizer_cov_trace_cmp*.
//
// libFuzzer takes the integer comparisons for its table of recent compares
// as they are. It no longer reads trace-pc (it defines the call only to
// stop with a message), so compile-with-gcc renames the block calls to
// quorvantelmicGccTracePc and they are counted here: the pair of the previous and the current block (an edge) is
// hashed into an array in libFuzzer's "extra counters" section, which it
// reads as coverage after every input. Floating-point comparisons, which
// GCC also reports, get empty receivers.
#include <cstddef>
#include <cstdint>

namespace {

constexpr std::size_t edgeCounterCount = std::size_t{1} << 16;

}  // namespace

extern "C" {

__attribute__((section("__libfuzzer_extra_counters"), used)) std::uint8_t gccEdgeCounters[edgeCounterCount];

__attribute__((no_sanitize("address", "undefined"))) void quorvantelmicGccTracePc() {
  thread_local std::uintptr_t previous = 0;
  const auto current = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  const std::uintptr_t edge = (current ^ (previous >> 1)) * 0x9E3779B97F4A7C15ULL;
  previous = current;
  std::uint8_t& counter = gccEdgeCounters[edge >> (64 - 16)];
  if (counter != 0xFF) ++counter;
}

void __sanitizer_cov_trace_cmpf(float, float) {}
void __sanitizer_cov_trace_cmpd(double, double) {}
}
