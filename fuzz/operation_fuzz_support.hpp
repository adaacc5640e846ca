// What the operation targets share: a scratch directory of the process's own,
// sources written into it and opened read-only the way a parent hands them
// down, and the output directory emptied between inputs.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "helper_core/file_access/descriptor_digest.hpp"
#include "helper_core/file_access/unique_fd.hpp"

namespace quorvantelmic::fuzzing {

class OperationScratch {
 public:
  OperationScratch() {
    char pattern[] = "/tmp/quorvantelmic-fuzz-XXXXXX";
    QUORVANTELMIC_FUZZ_REQUIRE(::mkdtemp(pattern) != nullptr);
    root_ = pattern;
    QUORVANTELMIC_FUZZ_REQUIRE(::mkdir((root_ + "/outputs").c_str(), 0700) == 0);
    const UniqueFd opened(::open((root_ + "/outputs").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    QUORVANTELMIC_FUZZ_REQUIRE(static_cast<bool>(opened));
    // Far above the descriptors the sources are placed at (3, 901 to 903).
    outputs_ = UniqueFd(::fcntl(opened.get(), F_DUPFD_CLOEXEC, 950));
    QUORVANTELMIC_FUZZ_REQUIRE(static_cast<bool>(outputs_));
  }

  // The scratch directory goes with the process (libFuzzer ends with exit).
  ~OperationScratch() {
    clearOutputs();
    for (const char* name : {"/outputs", "/source-3", "/source-901", "/source-902"}) {
      const std::string path = root_ + name;
      (void)(std::string(name) == "/outputs" ? ::rmdir(path.c_str()) : ::unlink(path.c_str()));
    }
    (void)::rmdir(root_.c_str());
  }
  OperationScratch(const OperationScratch&) = delete;
  OperationScratch& operator=(const OperationScratch&) = delete;

  // `bytes` as a regular file opened for reading only, at descriptor `number`
  // (so that "/dev/fd/<number>" names it).
  void placeSource(int number, std::span<const std::uint8_t> bytes) const {
    const std::string path = root_ + "/source-" + std::to_string(number);
    {
      const UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
      QUORVANTELMIC_FUZZ_REQUIRE(static_cast<bool>(file));
      std::size_t written = 0;
      while (written < bytes.size()) {
        const ssize_t result = ::write(file.get(), bytes.data() + written, bytes.size() - written);
        QUORVANTELMIC_FUZZ_REQUIRE(result > 0);
        written += static_cast<std::size_t>(result);
      }
    }
    const int opened = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    QUORVANTELMIC_FUZZ_REQUIRE(opened >= 0);
    if (opened == number) return;  // it took the free number itself
    QUORVANTELMIC_FUZZ_REQUIRE(::dup3(opened, number, O_CLOEXEC) == number);
    ::close(opened);
  }

  int outputDirectory() const { return outputs_.get(); }

  // The names in the output directory.
  std::vector<std::string> outputNames() const {
    std::vector<std::string> names;
    DIR* directory = ::opendir((root_ + "/outputs").c_str());
    QUORVANTELMIC_FUZZ_REQUIRE(directory != nullptr);
    while (const dirent* entry = ::readdir(directory)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(directory);
    return names;
  }

  std::vector<std::uint8_t> readOutput(const std::string& name) const {
    const UniqueFd file(::openat(outputs_.get(), name.c_str(), O_RDONLY | O_CLOEXEC));
    QUORVANTELMIC_FUZZ_REQUIRE(static_cast<bool>(file));
    std::vector<std::uint8_t> bytes;
    std::uint8_t buffer[65536];
    for (ssize_t got; (got = ::read(file.get(), buffer, sizeof buffer)) > 0;) bytes.insert(bytes.end(), buffer, buffer + got);
    return bytes;
  }

  void clearOutputs() const {
    for (const std::string& name : outputNames()) {
      QUORVANTELMIC_FUZZ_REQUIRE(::unlinkat(outputs_.get(), name.c_str(), 0) == 0);
    }
  }

 private:
  std::string root_;
  UniqueFd outputs_;
};

// A staged output name: "output-" and 32 hexadecimal digits, then the extension.
inline std::string stagedName(unsigned index, const std::string& extension) {
  char hex[33];
  std::snprintf(hex, sizeof hex, "%032x", index);
  return std::string("output-") + hex + "." + extension;
}

}  // namespace quorvantelmic::fuzzing
