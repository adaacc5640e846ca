// Where the helper's own modules live: in the directory of the running
// executable, wherever the package installed it.
#pragma once

#include <string>
#include <string_view>

namespace quorvantelmic {

// The path of `fileName` beside the running executable (read from
// /proc/self/exe), or empty when that cannot be read. Called before the
// process confines itself, so that the module's file can be named in the
// confinement.
std::string modulePathBesideExecutable(std::string_view fileName);

}  // namespace quorvantelmic
