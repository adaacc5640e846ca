#include "client/pdf_page_range.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include <qpdf/qpdf-c.h>

#include "helper_core/library_loading/lazy_library.hpp"
#include "helper_core/protocol/helper_error.hpp"

// qpdf's C interface, which turns every exception into an error kept on the
// handle, so nothing thrown inside libqpdf has to cross the dlopen boundary.
#define QV_QPDF_FUNCTIONS(X)                                                                    \
  X(qpdf_init) X(qpdf_cleanup) X(qpdf_silence_errors) X(qpdf_set_suppress_warnings)           \
  X(qpdf_has_error) X(qpdf_read) X(qpdf_empty_pdf) X(qpdf_get_num_pages) X(qpdf_get_page_n)   \
  X(qpdf_add_page) X(qpdf_init_write_memory) X(qpdf_write) X(qpdf_get_buffer_length)          \
  X(qpdf_get_buffer)

namespace quorvantelmic {

namespace {

QUORVANTELMIC_LIBRARY_TABLE(QpdfFunctions, QV_QPDF_FUNCTIONS);

[[noreturn]] void cannotSplit() {
  throw HelperFault(HelperErrorCode::decodeFailed, "The PDF could not be divided into page ranges.");
}

const QpdfFunctions& qpdfLibrary() {
  static const std::optional<QpdfFunctions> library =
      detail::loadLibraryTable<QpdfFunctions>(QUORVANTELMIC_QPDF_SONAME);
  if (!library) cannotSplit();
  return *library;
}

struct QpdfCleanup {
  const QpdfFunctions* library;
  void operator()(std::remove_pointer_t<qpdf_data>* handle) const noexcept { library->qpdf_cleanup(&handle); }
};
using QpdfHandle = std::unique_ptr<std::remove_pointer_t<qpdf_data>, QpdfCleanup>;

// A handle that keeps its errors to itself (the converter's output is its
// own) and ignores the warnings of a document it can still repair.
QpdfHandle openQpdf(const QpdfFunctions& library) {
  QpdfHandle handle(library.qpdf_init(), QpdfCleanup{&library});
  if (!handle) cannotSplit();
  library.qpdf_silence_errors(handle.get());
  library.qpdf_set_suppress_warnings(handle.get(), QPDF_TRUE);
  return handle;
}

// Most calls report failure only through the handle's pending error.
void check(const QpdfFunctions& library, const QpdfHandle& handle, QPDF_ERROR_CODE code = QPDF_SUCCESS) {
  if ((code & QPDF_ERRORS) != 0 || library.qpdf_has_error(handle.get()) != QPDF_FALSE) cannotSplit();
}

void writeAll(int descriptor, const unsigned char* data, std::size_t left) {
  while (left > 0) {
    const ssize_t wrote = ::write(descriptor, data, left);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) cannotSplit();
    data += wrote;
    left -= static_cast<std::size_t>(wrote);
  }
}

}  // namespace

UniqueFd pdfPageRange(BorrowedFd source, std::int64_t first, std::int64_t last) {
  const QpdfFunctions& library = qpdfLibrary();
  const QpdfHandle input = openQpdf(library);
  // qpdf opens the document through the descriptor's own entry, so it reads
  // the very file the helper inspected, at an offset of its own.
  check(library, input, library.qpdf_read(input.get(), ("/proc/self/fd/" + std::to_string(source.get())).c_str(), nullptr));
  const int pages = library.qpdf_get_num_pages(input.get());
  check(library, input);
  if (first < 1 || last < first || last > pages) cannotSplit();

  const QpdfHandle output = openQpdf(library);
  check(library, output, library.qpdf_empty_pdf(output.get()));
  for (std::int64_t page = first; page <= last; ++page) {
    const qpdf_oh handle = library.qpdf_get_page_n(input.get(), static_cast<std::size_t>(page - 1));
    check(library, input);
    check(library, output, library.qpdf_add_page(output.get(), input.get(), handle, QPDF_FALSE));
  }
  // The input stays open until the write: stream data is copied from it then.
  check(library, output, library.qpdf_init_write_memory(output.get()));
  check(library, output, library.qpdf_write(output.get()));
  const unsigned char* bytes = library.qpdf_get_buffer(output.get());
  const std::size_t size = library.qpdf_get_buffer_length(output.get());
  if (bytes == nullptr || size == 0) cannotSplit();

  const UniqueFd memory(::memfd_create("quorvantelmic-pages", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!memory) cannotSplit();
  writeAll(memory.get(), bytes, size);
  // Sealed, so nothing can change the document under the helper, and opened
  // again read-only, as the helper requires of a source.
  if (::fcntl(memory.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
    cannotSplit();
  }
  UniqueFd readOnly(::open(("/proc/self/fd/" + std::to_string(memory.get())).c_str(), O_RDONLY | O_CLOEXEC));
  if (!readOnly) cannotSplit();
  return readOnly;
}

}  // namespace quorvantelmic
