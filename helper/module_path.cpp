#include "helper/module_path.hpp"

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

}  // namespace quorvantelmic
