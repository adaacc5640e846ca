#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

#include "helper_core/image/platform/image_platform.hpp"

namespace quorvantelmic {

namespace {

// Whether the OpenMP runtime is mapped into the process already. Asking
// with RTLD_NOLOAD never loads it; the reference taken when it is mapped is
// dropped again at once.
bool openMpRuntimeLoaded() {
  const std::string_view soname = QUORVANTELMIC_OPENMP_SONAME;
  if (soname.empty()) return false;
  void* handle = ::dlopen(soname.data(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  (void)::dlclose(handle);
  return true;
}

}  // namespace

bool ensureSingleThreadedLibraryRuntime(char** argv) {
  const char* current = std::getenv("OMP_THREAD_LIMIT");
  if (current != nullptr && std::string_view(current) == "1") return true;
  // libgomp reads the limit from the environment once, when it loads. The
  // libraries that bring it are opened on first use, so in a process that
  // has not mapped it yet setting the variable is enough.
  if (::setenv("OMP_THREAD_LIMIT", "1", 1) != 0) return false;
  if (!openMpRuntimeLoaded()) return true;
  // Something linked at start brought libgomp, which has read its
  // environment already: the limit only takes effect in a fresh image of the
  // program. exec keeps the descriptors (the request pipe and the inherited
  // 3 and 4).
  if (argv == nullptr || argv[0] == nullptr) return false;
  ::execv("/proc/self/exe", argv);
  return false;
}

}  // namespace quorvantelmic
