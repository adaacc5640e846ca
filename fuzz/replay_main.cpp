// A main for the fuzz targets without libFuzzer: runs the target's entry
// point once over each file named, or over every file of each directory named
// (in name order). Built without sanitizers (QUORVANTELMIC_FUZZ_REPLAY), a
// corpus can then be replayed under valgrind, which sees what the sanitizers
// cannot: reads and writes inside the uninstrumented codec and PDF libraries.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void replay(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path argument(argv[i]);
    std::vector<std::filesystem::path> inputs;
    if (std::filesystem::is_directory(argument)) {
      for (const auto& entry : std::filesystem::directory_iterator(argument)) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
      }
      std::sort(inputs.begin(), inputs.end());
    } else {
      inputs.push_back(argument);
    }
    for (const auto& input : inputs) {
      replay(input);
      ++count;
    }
  }
  std::printf("replayed %zu inputs\n", count);
  return 0;
}
