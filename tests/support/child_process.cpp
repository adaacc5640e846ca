#include "tests/support/child_process.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>

extern char** environ;

namespace quorvantelmic::testing {

pid_t spawnChild(std::vector<std::string> arguments, int input, int output, int error,
                 const std::map<int, int>& descriptors, const std::vector<std::string>& environment) {
  // Every source is first moved above the numbers the child uses, so that no
  // dup2 in the child overwrites a source it still has to copy.
  std::vector<UniqueFd> copies;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, error, STDERR_FILENO);
  int highest = STDERR_FILENO;
  for (const auto& [target, source] : descriptors) {
    copies.emplace_back(::fcntl(source, F_DUPFD_CLOEXEC, 1100));
    posix_spawn_file_actions_adddup2(&actions, copies.back().get(), target);
    highest = std::max(highest, target);
  }
  for (int number = STDERR_FILENO + 1; number < highest; ++number) {
    if (!descriptors.contains(number)) posix_spawn_file_actions_addclose(&actions, number);
  }
  posix_spawn_file_actions_addclosefrom_np(&actions, highest + 1);

  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  // Programs read the first entry of a name, so a replaced entry must go.
  std::vector<std::string> entries(environment.begin(), environment.end());
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const bool replaced = std::any_of(environment.begin(), environment.end(), [&](const std::string& own) {
      return text.substr(0, text.find('=') + 1) == std::string_view(own).substr(0, own.find('=') + 1);
    });
    if (!replaced) entries.emplace_back(text);
  }
  std::vector<char*> envp;
  for (std::string& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);

  pid_t child = -1;
  const int spawned = ::posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(spawned, 0) << "could not start " << arguments[0];
  return spawned == 0 ? child : -1;
}

UniqueFd memoryFile(const char* name) { return UniqueFd(::memfd_create(name, MFD_CLOEXEC)); }

std::string contentsOf(int descriptor) {
  std::string bytes;
  char buffer[65536];
  for (off_t offset = 0;;) {
    const ssize_t got = ::pread(descriptor, buffer, sizeof buffer, offset);
    if (got <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(got));
    offset += got;
  }
  return bytes;
}

std::vector<nlohmann::json> jsonLines(const std::string& output) {
  std::vector<nlohmann::json> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(nlohmann::json::parse(output.substr(start, end - start)));
  }
  EXPECT_EQ(start, output.size()) << "the child wrote a partial line";
  return lines;
}

}  // namespace quorvantelmic::testing
