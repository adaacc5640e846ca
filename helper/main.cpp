// The process entry of quorvantelmic-helper: one session over standard input and
// standard output, then exit with the session's status.
#include <malloc.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "helper/metadata_module.hpp"
#include "helper/module_path.hpp"
#include "helper/pdf_module.hpp"
#include "helper/sandbox.hpp"
#include "helper/standard_error.hpp"
#include "helper_core/image/platform/image_platform.hpp"
#include "helper_core/session/ndjson_runner.hpp"
#include "helper_core/session/request_processor.hpp"

// The helper reads no arguments; argv is only handed back to exec when the
// process restarts itself once with its libraries limited to one thread.
int main(int, char** argv) {
  using namespace quorvantelmic;
  // The helper runs on one thread by design, and the OpenMP runtime inside the
  // palette quantiser and the text recogniser reads its thread limit only when
  // it loads: restart once with the limit set, before any request is read.
  // Should the restart fail, the helper still works, only slower.
  (void)ensureSingleThreadedLibraryRuntime(argv);

  // Every step allocates and frees buffers the size of a frame or a page
  // (decodes, renders, encodes, read-backs). By default glibc maps each one
  // afresh and unmaps it when freed, so every page of every buffer is
  // faulted in again: a third of the time of rendering ten pages to JPEG.
  // Buffers up to 32 MiB now come from the heap, and up to 64 MiB of freed
  // heap stays for the next step (a few MiB more resident at the peak).
  (void)mallopt(M_MMAP_THRESHOLD, 32 << 20);
  (void)mallopt(M_TRIM_THRESHOLD, 64 << 20);

#ifndef QUORVANTELMIC_ADDRESS_SPACE_UNLIMITED
  // No request, however hostile its input, takes more than this: an
  // allocation beyond it fails and the request with it, the helper goes on.
  (void)limitAddressSpace(kHelperAddressSpaceBytes);
#endif

  // A parent that goes away must not kill the helper in the middle of an
  // operation (a half-done publication is rolled back only if we keep running);
  // writes to a closed pipe then fail with EPIPE instead.
  std::signal(SIGPIPE, SIG_IGN);

  // Nothing a library prints may reach the parent's standard error.
  (void)silenceStandardError();

  // The modules beside the executable, named in the confinement below so that
  // the first request that needs one can load it.
  const PDFModule pdfModule(modulePathBesideExecutable(QUORVANTELMIC_PDF_MODULE_NAME));
  const std::string metadataModule = modulePathBesideExecutable(QUORVANTELMIC_METADATA_MODULE_NAME);

#ifndef QUORVANTELMIC_UNFILTERED_HELPER
  // Paths lead only to what the parent handed down and to the system files
  // the libraries read. A kernel without Landlock leaves the file system as
  // it is, and the system-call filter below is the protection.
  (void)restrictFileSystem({pdfModule.path(), metadataModule});

  // From here on the helper cannot run programs, start processes, open
  // sockets or touch other processes. A helper that cannot have this
  // protection refuses to work at all rather than work without it: it ends
  // with status 3 before it reads anything, the status that tells the parent
  // "no answer was written", so the parent sees its first request go
  // unanswered and a status the protocol already defines, never a session
  // that silently runs unprotected.
  if (!installSystemCallFilter()) std::exit(3);
#endif

  const RequestProcessor processor(pdfModule);
  const NDJSONRunner runner([&processor](std::string_view line) { return processor.processLine(line); });
  const int status = runner.run(BorrowedFd(STDIN_FILENO), BorrowedFd(STDOUT_FILENO));
  std::exit(status);
}
