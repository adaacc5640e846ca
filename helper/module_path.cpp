#include "helper/module_path.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <array>

namespace quorvantelmic {

std::string modulePathBesideExecutable(std::string_view fileName) {
  std::array<char, 4096> buffer{};
  const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return {};
  std::string path(buffer.data(), static_cast<std::size_t>(length));
  const std::size_t slash = path.rfind('/');
  if (path.front() != '/' || slash == std::string::npos) return {};
  path.resize(slash + 1);
  path += fileName;
  return path;
}

OpenedModule openModule(const std::string& path, const char* entryName, std::string_view kind) {
  // An empty name would open the executable itself.
  if (path.empty()) return {nullptr, "the helper could not tell where its own files are"};
  // RTLD_NOW: a module whose symbols do not all resolve against this helper
  // and its libraries is refused here, whole, rather than failing halfway
  // through a request. RTLD_LOCAL: nothing of it is visible to anything
  // loaded later.
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = ::dlerror();
    return {nullptr, reason != nullptr ? reason : "the module did not open"};
  }
  using Entry = const void* (*)();
  const auto entry = reinterpret_cast<Entry>(::dlsym(handle, entryName));
  const void* result = entry != nullptr ? entry() : nullptr;
  if (result == nullptr) {
    (void)::dlclose(handle);
    return {nullptr, path + " is not this helper's " + std::string(kind) + " module"};
  }
  return {result, {}};
}

}  // namespace quorvantelmic
