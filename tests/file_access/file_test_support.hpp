// Real temporary directories and files for the file-access and staging tests.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "helper_core/file_access/file_identity.hpp"
#include "helper_core/file_access/unique_fd.hpp"

namespace quorvantelmic::testing_support {

// A fresh directory under the system temporary directory, removed with its
// contents at the end of the test.
class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qv-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp");
    path_ = std::filesystem::canonical(pattern);
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  ~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
  }

  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline void writeFile(const std::string& path, const std::string& contents) {
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream << contents;
  if (!stream) throw std::runtime_error("cannot write " + path);
}

inline void appendFile(const std::string& path, const std::string& contents) {
  std::ofstream stream(path, std::ios::binary | std::ios::app);
  stream << contents;
  if (!stream) throw std::runtime_error("cannot append " + path);
}

inline std::string readFile(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

inline std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

inline struct stat lstatOf(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) throw std::system_error(errno, std::generic_category(), "lstat " + path);
  return status;
}

inline FileIdentity identityOf(const std::string& path) { return FileIdentity::of(lstatOf(path)); }

inline bool exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

inline UniqueFd openOrThrow(const std::string& path, int flags, mode_t mode = 0600) {
  UniqueFd descriptor(::open(path.c_str(), flags | O_CLOEXEC, mode));
  if (!descriptor) throw std::system_error(errno, std::generic_category(), "open " + path);
  return descriptor;
}

// The names in a directory, without "." and "..".
inline std::set<std::string> entriesOf(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) names.insert(entry.path().filename());
  return names;
}

// The descriptors this process has open; a call that leaks one changes it.
inline std::set<int> openDescriptors() {
  std::set<int> descriptors;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    descriptors.insert(std::stoi(entry.path().filename()));
  }
  return descriptors;
}

}  // namespace quorvantelmic::testing_support
