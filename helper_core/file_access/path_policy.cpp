#include "helper_core/file_access/path_policy.hpp"

#include <fcntl.h>

#include <vector>

#include "helper_core/file_access/system_calls.hpp"
#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"

namespace quorvantelmic {

namespace {

[[noreturn]] void policyFault(const char* message) { throw HelperFault(HelperErrorCode::filesystemPolicy, message); }

}  // namespace

void PathPolicy::validateAbsoluteNormalizedPath(std::string_view path) {
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string_view::npos || path.back() == '/' ||
      path.size() > static_cast<std::size_t>(HelperLimits::maximumPathUTF8Bytes)) {
    policyFault("The file path does not satisfy the absolute path policy.");
  }
  // Every piece after the leading "/" must be a real name.
  std::size_t start = 1;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view piece = path.substr(start, end - start);
    if (piece.empty() || piece == "." || piece == "..") {
      policyFault("The file path does not satisfy the normalized path policy.");
    }
    start = end + 1;
  }
}

OpenedParentDirectory PathPolicy::openParentDirectory(std::string_view path) {
  validateAbsoluteNormalizedPath(path);

  std::vector<std::string> components;
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) components.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  if (components.size() < 2) policyFault("The file path does not satisfy the component policy.");

  UniqueFd current(retryOnInterrupt([] { return ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (!current) policyFault("The file path root could not be opened under the file policy.");

  for (std::size_t index = 0; index + 1 < components.size(); ++index) {
    const char* name = components[index].c_str();
    UniqueFd next(retryOnInterrupt(
        [&] { return ::openat(current.get(), name, O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC); }));
    if (!next) policyFault("A parent path component is unavailable or disallowed.");
    current = std::move(next);
  }
  return OpenedParentDirectory{std::move(current), std::move(components.back())};
}

}  // namespace quorvantelmic
