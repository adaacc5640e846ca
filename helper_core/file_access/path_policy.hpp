// The rules an absolute path must meet before anything is opened by path, and
// the walk that opens a path's parent directory one component at a time
// without following symbolic links.
#pragma once

#include <string>
#include <string_view>

#include "helper_core/file_access/unique_fd.hpp"

namespace quorvantelmic {

// A path's parent directory, open, and the last path component. The leaf is not
// opened or examined; each caller opens it relative to `descriptor` with its own
// flags.
struct OpenedParentDirectory {
  UniqueFd descriptor;
  std::string leafName;
};

struct PathPolicy {
  PathPolicy() = delete;

  // Throws HelperFault filesystem-policy unless the path is absolute, free of
  // NUL, without a trailing "/", at most 4096 UTF-8 bytes, and made only of
  // non-empty components other than "." and "..".
  static void validateAbsoluteNormalizedPath(std::string_view path);

  // Validates the path, then opens "/" and every intermediate component with
  // O_NOFOLLOW | O_DIRECTORY. A path needs at least two components. Throws
  // HelperFault filesystem-policy; nothing stays open after a failure.
  static OpenedParentDirectory openParentDirectory(std::string_view path);
};

}  // namespace quorvantelmic
