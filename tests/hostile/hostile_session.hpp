// What the hostile suites share: the request of an operation on the source on
// descriptor 3, and the environment under which a helper's peak memory is what
// it really held.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace quorvantelmic::hostile {

inline nlohmann::json request(const char* operation, const char* id) {
  return nlohmann::json{
      {"operation", operation}, {"requestId", id}, {"protocolVersion", 4}, {"sourcePath", "/dev/fd/3"}};
}

// The sanitizer keeps freed blocks in a quarantine of up to 256 MiB, which
// would count as resident although the helper let them go; without it the
// peak is what the helper really held. Builds without the sanitizer ignore it.
inline std::vector<std::string> measuringEnvironment() {
  const char* current = std::getenv("ASAN_OPTIONS");
  std::string options = current != nullptr && *current != '\0' ? std::string(current) + ":" : std::string();
  return {"ASAN_OPTIONS=" + options + "quarantine_size_mb=0"};
}

}  // namespace quorvantelmic::hostile
