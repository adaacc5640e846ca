#include "helper/standard_error.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

#include "helper_core/file_access/unique_fd.hpp"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

namespace quorvantelmic {

bool silenceStandardError() noexcept {
  const UniqueFd null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (!null) return false;
#if defined(__SANITIZE_ADDRESS__)
  // Kept for the life of the process: a report can come at any moment,
  // the last one at exit.
  const int reports = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (reports >= 0) __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(reports)));
#endif
  return ::dup2(null.get(), STDERR_FILENO) == STDERR_FILENO;
}

}  // namespace quorvantelmic
