// The helper's own modules: where they live (in the directory of the running
// executable, wherever the package installed it) and how one is opened.
#pragma once

#include <string>
#include <string_view>

namespace quorvantelmic {

// The path of `fileName` beside the running executable (read from
// /proc/self/exe), or empty when that cannot be read. Called before the
// process confines itself, so that the module's file can be named in the
// confinement.
std::string modulePathBesideExecutable(std::string_view fileName);

// What opening a module gave: the pointer its entry function returned, or
// nothing and the reason in plain words.
struct OpenedModule {
  const void* entryResult = nullptr;
  std::string reason;  // when entryResult is null
};

// Opens the module at `path` and calls its entry function `entryName` (no
// arguments, returns a pointer). A module that does not open, lacks the entry
// or whose entry returns null is refused; `kind` names it in the reason ("PDF",
// "metadata"). A module that opened is never closed: what it made outlives
// any request.
OpenedModule openModule(const std::string& path, const char* entryName, std::string_view kind);

}  // namespace quorvantelmic
