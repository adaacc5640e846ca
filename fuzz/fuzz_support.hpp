// What every fuzz target shares: the one way a target reports a broken
// invariant, and the check that a fault is one of ours in its expected shape.
#pragma once

#include <cstdlib>
#include <string>

#include "helper_core/protocol/helper_error.hpp"

namespace quorvantelmic::fuzzing {

// An invariant the code promises was broken: stop here, so that libFuzzer
// keeps the input that broke it.
#define QUORVANTELMIC_FUZZ_REQUIRE(condition) \
  do {                                        \
    if (!(condition)) std::abort();           \
  } while (false)

// Every fault message is one fixed English sentence: it starts with a capital
// letter and ends with a full stop.
inline void requireWellFormedFault(const HelperFault& fault) {
  const std::string& message = fault.message();
  QUORVANTELMIC_FUZZ_REQUIRE(message.size() >= 2);
  QUORVANTELMIC_FUZZ_REQUIRE(message.front() >= 'A' && message.front() <= 'Z');
  QUORVANTELMIC_FUZZ_REQUIRE(message.back() == '.');
}

}  // namespace quorvantelmic::fuzzing
