// What the benchmarks share: a scratch directory under /tmp that is removed
// with everything in it, and the way a benchmark gives up on a broken setup
// (a message on standard error and an abort: a benchmark that cannot set up
// its case has no figure to report).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include <stdlib.h>

namespace quorvantelmic::bench {

[[noreturn]] inline void die(const char* program, const char* what) {
  std::fprintf(stderr, "%s: %s\n", program, what);
  std::abort();
}

class ScratchDirectory {
 public:
  // `prefix` names the directory, for example "qv-ocr-bench".
  explicit ScratchDirectory(const std::string& prefix) {
    std::string name = "/tmp/" + prefix + "-XXXXXX";
    if (::mkdtemp(name.data()) == nullptr) die(prefix.c_str(), "mkdtemp");
    path_ = name;
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace quorvantelmic::bench
