#include "helper/system_call_program.hpp"

#include <iterator>

#include "helper/system_call_program_table.hpp"

namespace quorvantelmic {

namespace {

template <std::size_t Instructions, std::size_t Slots>
std::vector<sock_filter> patched(const sock_filter (&program)[Instructions], const std::size_t (&slots)[Slots],
                                 std::uint32_t self) {
  std::vector<sock_filter> copy(std::begin(program), std::end(program));
  for (const std::size_t slot : slots) copy[slot].k = self;
  return copy;
}

}  // namespace

std::vector<sock_filter> systemCallProgram(std::uint32_t self, bool permitLeakCheckerTracer) {
  if (permitLeakCheckerTracer) {
    return patched(generated::kSystemCallProgramWithLeakCheckerTracer,
                   generated::kSystemCallProgramWithLeakCheckerTracerSelfSlots, self);
  }
  return patched(generated::kSystemCallProgram, generated::kSystemCallProgramSelfSlots, self);
}

}  // namespace quorvantelmic
