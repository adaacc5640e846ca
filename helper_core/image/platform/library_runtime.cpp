#include <unistd.h>

#include <cstdlib>
#include <string_view>

#include "helper_core/image/platform/image_platform.hpp"

namespace quorvantelmic {

bool ensureSingleThreadedLibraryRuntime(char** argv) {
  const char* current = std::getenv("OMP_THREAD_LIMIT");
  if (current != nullptr && std::string_view(current) == "1") return true;
  if (argv == nullptr || argv[0] == nullptr) return false;
  // libgomp has already read its environment while the program was loaded,
  // so the limit only takes effect in a fresh image of the program. exec
  // keeps the descriptors (the request pipe and the inherited 3 and 4).
  if (::setenv("OMP_THREAD_LIMIT", "1", 1) != 0) return false;
  ::execv("/proc/self/exe", argv);
  return false;
}

}  // namespace quorvantelmic
