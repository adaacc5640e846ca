// Descriptor ownership. `UniqueFd` owns exactly one descriptor and closes it when
// it goes away; it is move-only, so a descriptor has one owner on every path.
// `BorrowedFd` names a descriptor someone else owns (an inherited descriptor, or
// a UniqueFd's) and never closes it.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <utility>

namespace quorvantelmic {

class BorrowedFd {
 public:
  constexpr explicit BorrowedFd(int descriptor) noexcept : descriptor_(descriptor) {}
  constexpr int get() const noexcept { return descriptor_; }

 private:
  int descriptor_;
};

class UniqueFd {
 public:
  constexpr UniqueFd() noexcept = default;
  constexpr explicit UniqueFd(int descriptor) noexcept : descriptor_(descriptor) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : descriptor_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueFd() { reset(); }

  constexpr int get() const noexcept { return descriptor_; }
  constexpr bool valid() const noexcept { return descriptor_ >= 0; }
  constexpr explicit operator bool() const noexcept { return valid(); }
  BorrowedFd borrow() const noexcept { return BorrowedFd(descriptor_); }

  int release() noexcept { return std::exchange(descriptor_, -1); }

  // Closing is final even when close reports EINTR: on Linux the descriptor is
  // released either way, and retrying could close a descriptor reused since.
  void reset(int descriptor = -1) noexcept {
    const int previous = std::exchange(descriptor_, descriptor);
    if (previous >= 0) ::close(previous);
  }

 private:
  int descriptor_ = -1;
};

// Owns a directory stream (and the descriptor inside it).
class UniqueDir {
 public:
  UniqueDir() noexcept = default;
  explicit UniqueDir(DIR* stream) noexcept : stream_(stream) {}
  UniqueDir(const UniqueDir&) = delete;
  UniqueDir& operator=(const UniqueDir&) = delete;
  UniqueDir(UniqueDir&& other) noexcept : stream_(std::exchange(other.stream_, nullptr)) {}
  UniqueDir& operator=(UniqueDir&& other) noexcept {
    if (this != &other) {
      reset();
      stream_ = std::exchange(other.stream_, nullptr);
    }
    return *this;
  }
  ~UniqueDir() { reset(); }

  DIR* get() const noexcept { return stream_; }
  explicit operator bool() const noexcept { return stream_ != nullptr; }

  void reset() noexcept {
    if (stream_ != nullptr) ::closedir(std::exchange(stream_, nullptr));
  }

 private:
  DIR* stream_ = nullptr;
};

}  // namespace quorvantelmic
