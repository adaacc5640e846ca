// The filter the helper loads was compiled by libseccomp when the helper was
// built, with placeholders where the rules name the process id. It must be
// exactly what libseccomp compiles from the same rules for the process that
// loads it, whatever that process's id.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "helper/system_call_program.hpp"
#include "helper/system_call_rules.hpp"

namespace quorvantelmic {
namespace {

bool sameProgram(const std::vector<sock_filter>& a, const std::vector<sock_filter>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(sock_filter)) == 0;
}

TEST(SystemCallProgram, IsWhatLibseccompCompilesForTheProcessThatLoadsIt) {
  const auto self = static_cast<std::uint32_t>(::getpid());
  // The smallest and largest ids there are (pid_max is at most 2^22), ids
  // that share bytes with other constants of the filter, and this one.
  for (const std::uint32_t id : {1u, 2u, 0x10000u, 0x800000u - 1, 4194303u, self}) {
    for (const bool leakCheckerTracer : {false, true}) {
      const std::optional<std::vector<sock_filter>> compiled = compileSystemCallRules(id, leakCheckerTracer);
      ASSERT_TRUE(compiled.has_value()) << "libseccomp refused the rules";
      EXPECT_TRUE(sameProgram(systemCallProgram(id, leakCheckerTracer), *compiled))
          << "process id " << id << (leakCheckerTracer ? ", with the leak checker's tracer" : "");
    }
  }
  // The id is really in the program: another process's program differs.
  EXPECT_FALSE(sameProgram(systemCallProgram(self, false), systemCallProgram(self + 1, false)));
}

}  // namespace
}  // namespace quorvantelmic
