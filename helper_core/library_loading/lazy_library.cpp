#include "helper_core/library_loading/lazy_library.hpp"

#include <dlfcn.h>

namespace quorvantelmic::detail {

std::optional<SharedLibrary> SharedLibrary::open(const char* soname) noexcept {
  if (soname == nullptr || *soname == '\0') return std::nullopt;
  void* handle = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return std::nullopt;
  return SharedLibrary(handle);
}

void* SharedLibrary::symbol(const char* name) const noexcept { return ::dlsym(handle_.get(), name); }

void SharedLibrary::Closer::operator()(void* handle) const noexcept { (void)::dlclose(handle); }

}  // namespace quorvantelmic::detail
