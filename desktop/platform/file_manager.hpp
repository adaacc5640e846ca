// Shows a file in the user's file manager: the freedesktop FileManager1
// interface on the session bus selects it in its folder; without one, the
// folder is opened with xdg-open.
#pragma once

#include <string>

namespace quorvantelmic {

void showInFileManager(const std::string& path);

}  // namespace quorvantelmic
