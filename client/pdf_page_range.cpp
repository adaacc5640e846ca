#include "client/pdf_page_range.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <string>

#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include "helper_core/protocol/helper_error.hpp"

namespace quorvantelmic {

namespace {

[[noreturn]] void cannotSplit() {
  throw HelperFault(HelperErrorCode::decodeFailed, "The PDF could not be divided into page ranges.");
}

}  // namespace

UniqueFd pdfPageRange(BorrowedFd source, std::int64_t first, std::int64_t last) {
  std::shared_ptr<Buffer> bytes;
  try {
    // qpdf reads through a FILE of its own on a copy of the descriptor, so
    // the document is the very file the helper inspected.
    const int copy = ::fcntl(source.get(), F_DUPFD_CLOEXEC, 0);
    if (copy < 0) cannotSplit();
    FILE* file = ::fdopen(copy, "rb");
    if (file == nullptr) {
      ::close(copy);
      cannotSplit();
    }
    QPDF input;
    input.setSuppressWarnings(true);
    input.processFile("source PDF", file, true);
    std::vector<QPDFPageObjectHelper> pages = QPDFPageDocumentHelper(input).getAllPages();
    if (first < 1 || last < first || static_cast<std::size_t>(last) > pages.size()) cannotSplit();
    QPDF output;
    output.emptyPDF();
    QPDFPageDocumentHelper outputPages(output);
    for (std::int64_t page = first; page <= last; ++page) {
      outputPages.addPage(pages[static_cast<std::size_t>(page - 1)], false);
    }
    QPDFWriter writer(output);
    writer.setOutputMemory();
    writer.write();
    bytes = writer.getBufferSharedPointer();
  } catch (const HelperFault&) {
    throw;
  } catch (const std::exception&) {
    cannotSplit();
  }

  const UniqueFd memory(::memfd_create("quorvantelmic-pages", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!memory) cannotSplit();
  const auto* data = bytes->getBuffer();
  std::size_t left = bytes->getSize();
  while (left > 0) {
    const ssize_t wrote = ::write(memory.get(), data, left);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) cannotSplit();
    data += wrote;
    left -= static_cast<std::size_t>(wrote);
  }
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
