// What the helper reports about itself. The build profile names the toolchain,
// operating system and architecture this binary was really compiled for, so a
// parent never mistakes a Linux build for another platform's.
#pragma once

#include <cstdint>
#include <string_view>

namespace quorvantelmic {

namespace detail {
#define QV_STRINGIFY_INNER(x) #x
#define QV_STRINGIFY(x) QV_STRINGIFY_INNER(x)
#if defined(__linux__)
#define QV_BUILD_OS "linux"
#else
#error "unsupported operating system"
#endif

#if defined(__x86_64__)
#define QV_BUILD_ARCH "x86_64"
#elif defined(__aarch64__)
#define QV_BUILD_ARCH "arm64"
#else
#error "unsupported architecture"
#endif

#if defined(__clang__)
inline constexpr std::string_view buildProfile =
    "clang" QV_STRINGIFY(__clang_major__) "-" QV_BUILD_OS "-" QV_BUILD_ARCH;
#else
inline constexpr std::string_view buildProfile =
    "gcc" QV_STRINGIFY(__GNUC__) "-" QV_BUILD_OS "-" QV_BUILD_ARCH;
#endif
#undef QV_BUILD_OS
#undef QV_BUILD_ARCH
#undef QV_STRINGIFY
#undef QV_STRINGIFY_INNER
}  // namespace detail

struct HelperIdentity {
  HelperIdentity() = delete;

  static constexpr std::int64_t protocolVersion = 4;
  static constexpr std::string_view helperVersion = "0.5.0";
  static constexpr std::string_view buildProfileId = detail::buildProfile;
};

}  // namespace quorvantelmic
