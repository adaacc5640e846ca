// The only paths a request may name: the descriptors the parent passed down.
// Descriptor 3 is the source file or the destination directory, descriptor 4
// the private staging directory that outputs are written into.
#pragma once

#include <string_view>

namespace quorvantelmic {

inline constexpr std::string_view inheritedDescriptorPath = "/dev/fd/3";
inline constexpr std::string_view inheritedStagingPrefix = "/dev/fd/4/";

}  // namespace quorvantelmic
