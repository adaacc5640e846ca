// A stand-in for a decoder that an attacker's file has taken over, loaded into
// the real helper with LD_PRELOAD. It takes the place of libjpeg's
// jpeg_read_header: the first time the helper reads a JPEG header, in the
// middle of a request and long after the helper confined itself, it makes
// every attempt of the sandbox probe from inside the helper's own process,
// writes one "compromised <name> <outcome>" line per attempt to standard
// output (ahead of the answer), and then hands over to the real function so
// that the request goes on. The paths outside what the helper was handed
// come from QUORVANTELMIC_OUTSIDE_FILE and QUORVANTELMIC_OUTSIDE_DIRECTORY.
#include <dlfcn.h>
#include <linux/landlock.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <jpeglib.h>

#include "tests/helper/sandbox_attempts.hpp"

namespace {

void writeLine(const char* name, const char* outcome) {
  const std::string line = std::string("compromised ") + name + " " + outcome + "\n";
  (void)::write(STDOUT_FILENO, line.data(), line.size());
}

void attemptEverything() {
  using namespace quorvantelmic::sandbox_attempts;
  const char* file = std::getenv("QUORVANTELMIC_OUTSIDE_FILE");
  const char* directory = std::getenv("QUORVANTELMIC_OUTSIDE_DIRECTORY");
  harmlessAttempts(writeLine);
  // Without Landlock in the kernel nothing confines paths, and the path
  // attempts would really plant, move and remove files (some of them the
  // user's): they are made only where the helper should have confined itself.
  const long landlock = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  writeLine("landlock", landlock >= 1 ? "ok" : "absent");
  if (landlock >= 1) {
    fileSystemAttempts(writeLine, file != nullptr ? file : "/nonexistent",
                       directory != nullptr ? directory : "/nonexistent");
  }
  refusedAttempts(writeLine);
  writeLine("done", "ok");
}

}  // namespace

extern "C" int jpeg_read_header(j_decompress_ptr info, boolean requireImage) {
  using Original = int (*)(j_decompress_ptr, boolean);
  static bool attempted = false;
  if (!attempted) {
    attempted = true;
    attemptEverything();
  }
  const auto original = reinterpret_cast<Original>(::dlsym(RTLD_NEXT, "jpeg_read_header"));
  return original != nullptr ? original(info, requireImage) : JPEG_SUSPENDED;
}
