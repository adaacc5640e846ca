// Build tool: compiles the helper's system-call rules through libseccomp and
// writes the BPF programs out as a C++ header, so that the helper loads a
// finished program instead of linking libseccomp and compiling the rules at
// every start (its rule database, the compilation and the library's own
// loading were most of a millisecond of each helper's start).
//
// The rules name one value the build cannot know, the helper's process id.
// Each program is compiled for two different placeholder ids; the two must
// differ exactly in the instructions that compare with the id, and those
// positions are written beside the program for the helper to patch.
//
// Usage: system_call_program_generator OUTPUT_HEADER
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "helper/system_call_rules.hpp"

namespace {

using quorvantelmic::compileSystemCallRules;

// Ids no process on this system has (pid_max is at most 2^22), distinct
// from every other constant the rules compare with.
constexpr std::uint32_t kFirstPlaceholder = 0x5eed0001;
constexpr std::uint32_t kSecondPlaceholder = 0x5eed0002;

struct PatchedProgram {
  std::vector<sock_filter> program;
  std::vector<std::size_t> selfSlots;
};

std::optional<PatchedProgram> compileWithSlots(bool permitLeakCheckerTracer) {
  const auto first = compileSystemCallRules(kFirstPlaceholder, permitLeakCheckerTracer);
  const auto second = compileSystemCallRules(kSecondPlaceholder, permitLeakCheckerTracer);
  if (!first || !second || first->size() != second->size()) return std::nullopt;
  PatchedProgram result{*first, {}};
  for (std::size_t index = 0; index < first->size(); ++index) {
    const sock_filter& a = (*first)[index];
    const sock_filter& b = (*second)[index];
    if (a.code != b.code || a.jt != b.jt || a.jf != b.jf) return std::nullopt;
    if (a.k == b.k) continue;
    // Only a comparison with the id itself may differ.
    if (a.k != kFirstPlaceholder || b.k != kSecondPlaceholder) return std::nullopt;
    result.program[index].k = 0;
    result.selfSlots.push_back(index);
  }
  if (result.selfSlots.empty()) return std::nullopt;
  return result;
}

void write(std::ostream& out, const std::string& name, const PatchedProgram& compiled) {
  out << "inline constexpr sock_filter " << name << "[] = {\n";
  for (const sock_filter& instruction : compiled.program) {
    char line[96];
    std::snprintf(line, sizeof line, "    {0x%04x, %u, %u, 0x%08x},\n", static_cast<unsigned>(instruction.code),
                  static_cast<unsigned>(instruction.jt), static_cast<unsigned>(instruction.jf),
                  static_cast<unsigned>(instruction.k));
    out << line;
  }
  out << "};\n";
  out << "inline constexpr std::size_t " << name << "SelfSlots[] = {";
  for (std::size_t index = 0; index < compiled.selfSlots.size(); ++index) {
    out << (index == 0 ? "" : ", ") << compiled.selfSlots[index];
  }
  out << "};\n\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_HEADER\n", argv[0]);
    return 2;
  }
  const auto shipped = compileWithSlots(false);
  const auto withTracer = compileWithSlots(true);
  if (!shipped || !withTracer) {
    std::fprintf(stderr, "%s: libseccomp did not compile the rules into one program per process id\n", argv[0]);
    return 1;
  }
  std::ofstream out(argv[1], std::ios::trunc);
  out << "// Generated at build time by system_call_program_generator from\n"
         "// helper/system_call_rules.cpp; every build writes it afresh.\n"
         "#pragma once\n\n#include <linux/filter.h>\n\n#include <cstddef>\n\n"
         "namespace quorvantelmic::generated {\n\n";
  write(out, "kSystemCallProgram", *shipped);
  write(out, "kSystemCallProgramWithLeakCheckerTracer", *withTracer);
  out << "}  // namespace quorvantelmic::generated\n";
  out.close();
  if (!out) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
    return 1;
  }
  return 0;
}
