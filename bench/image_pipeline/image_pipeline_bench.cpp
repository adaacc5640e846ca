// convert-image end to end through the helper binary, for a 12-megapixel JPEG
// into each target and for a 4000 x 3000 to 1000 x 750 resize, next to the
// floor of the same work done with the platform layer alone in this process
// (decode, encode, and the two validating decodes). The child's peak resident
// size is reported as a counter, with the decoded frame's size beside it.
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "helper_core/file_access/unique_fd.hpp"
#include "helper_core/image/image_operations.hpp"
#include "helper_core/image/platform/image_platform.hpp"

extern char** environ;

namespace {

using nlohmann::json;
using quorvantelmic::UniqueFd;

const std::string sourcePath = std::string(QUORVANTELMIC_SOURCE_DIR) + "/tests/fixtures/image_pipeline/landscape.jpg";

struct Target {
  const char* identifier;
  const char* extension;
};
constexpr Target targets[] = {
    {"public.jpeg", "jpg"}, {"public.png", "png"},          {"public.tiff", "tiff"},
    {"public.avif", "avif"}, {"com.compuserve.gif", "gif"}, {"com.microsoft.bmp", "bmp"},
};

int aboveFour(int descriptor) {
  UniqueFd original(descriptor);
  return original ? ::fcntl(original.get(), F_DUPFD_CLOEXEC, 10) : -1;
}

std::vector<std::uint8_t> readSource() {
  std::ifstream stream(sourcePath, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

std::string conversionLine(const Target& target, bool resize) {
  json maximum = resize ? json(1000) : json(nullptr);
  return json{{"operation", "convert-image"},
              {"requestId", "3f2504e0-4f89-41d3-9a0c-0305e82c3301"},
              {"protocolVersion", 4},
              {"sourcePath", "/dev/fd/3"},
              {"outputPath", std::string("/dev/fd/4/output-00112233445566778899aabbccddeeff.") + target.extension},
              {"options",
               {{"quality", 0.85},
                {"metadataPolicy", "preserve"},
                {"orientationPolicy", "preserve"},
                {"targetTypeIdentifier", target.identifier},
                {"maximumWidth", maximum},
                {"maximumHeight", maximum}}}}
             .dump() +
         "\n";
}

void throughHelper(benchmark::State& state, bool resize) {
  const Target& target = targets[state.range(0)];
  const std::string session = conversionLine(target, resize);
  long peakKilobytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    char pattern[] = "/tmp/qv-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      state.SkipWithError("mkdtemp");
      return;
    }
    // Both sit above 4, so that neither dup2 below overwrites the other.
    UniqueFd directory(aboveFour(::open(pattern, O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
    UniqueFd source(aboveFour(::open(sourcePath.c_str(), O_RDONLY | O_CLOEXEC)));
    UniqueFd input(::memfd_create("session", MFD_CLOEXEC));
    UniqueFd output(::memfd_create("responses", MFD_CLOEXEC));
    if (::write(input.get(), session.data(), session.size()) != static_cast<ssize_t>(session.size())) {
      state.SkipWithError("could not write the session");
      return;
    }
    ::lseek(input.get(), 0, SEEK_SET);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, output.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, source.get(), 3);
    posix_spawn_file_actions_adddup2(&actions, directory.get(), 4);
    char* const arguments[] = {const_cast<char*>(QUORVANTELMIC_HELPER_BINARY), nullptr};
    state.ResumeTiming();
    pid_t child = -1;
    const int spawned = ::posix_spawn(&child, QUORVANTELMIC_HELPER_BINARY, &actions, nullptr, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      state.SkipWithError("could not start the helper");
      return;
    }
    int status = 0;
    struct rusage usage {};
    ::wait4(child, &status, 0, &usage);
    state.PauseTiming();
    peakKilobytes = std::max(peakKilobytes, usage.ru_maxrss);
    std::string response(4096, '\0');
    const ssize_t length = ::pread(output.get(), response.data(), response.size(), 0);
    response.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    std::filesystem::remove_all(pattern);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || response.find("\"ok\":true") == std::string::npos) {
      state.SkipWithError(("the conversion failed: " + response).c_str());
      return;
    }
    state.ResumeTiming();
  }
  state.SetLabel(target.identifier);
  state.counters["peakMiB"] = static_cast<double>(peakKilobytes) / 1024.0;
}

// The same work with the platform layer alone: one decode, one encode (after
// the resize when asked for), and the two decodes that validate the output.
void platformFloor(benchmark::State& state, bool resize) {
  const Target& target = targets[state.range(0)];
  const std::vector<std::uint8_t> bytes = readSource();
  std::size_t frameBytes = 0;
  std::size_t encodedBytes = 0;
  for (auto _ : state) {
    std::optional<quorvantelmic::ImageSource> source = quorvantelmic::ImageSource::createWithData(bytes);
    std::optional<quorvantelmic::DecodedImage> frame = source ? source->createImageAtIndex(0) : std::nullopt;
    if (!frame) {
      state.SkipWithError("decode failed");
      return;
    }
    frameBytes = frame->bytesPerRow() * frame->height();
    if (resize) {
      quorvantelmic::ThumbnailOptions options;
      options.thumbnailMaxPixelSize = 1000;
      frame = source->createThumbnailAtIndex(0, options);
    }
    std::optional<quorvantelmic::ImageDestination> destination =
        quorvantelmic::ImageDestination::createWithData(target.identifier, 1);
    quorvantelmic::PropertyDictionary properties;
    properties.set(std::string("Orientation"), quorvantelmic::PropertyValue::number(1));
    destination->addImage(*frame, properties);
    if (!destination->finalize()) {
      state.SkipWithError("encode failed");
      return;
    }
    const quorvantelmic::ImageBytes encoded = destination->takeData();
    encodedBytes = encoded.size();
    for (int pass = 0; pass < 2; ++pass) {
      std::optional<quorvantelmic::ImageSource> check = quorvantelmic::ImageSource::createWithData(encoded);
      std::optional<quorvantelmic::DecodedImage> decoded = check ? check->createImageAtIndex(0) : std::nullopt;
      benchmark::DoNotOptimize(decoded);
    }
  }
  state.SetLabel(target.identifier);
  state.counters["frameMiB"] = static_cast<double>(frameBytes) / 1048576.0;
  state.counters["encodedMiB"] = static_cast<double>(encodedBytes) / 1048576.0;
}

void BM_ConvertThroughHelper(benchmark::State& state) { throughHelper(state, false); }
void BM_PlatformFloor(benchmark::State& state) { platformFloor(state, false); }
void BM_ResizeThroughHelper(benchmark::State& state) { throughHelper(state, true); }
void BM_ResizePlatformFloor(benchmark::State& state) { platformFloor(state, true); }

// The helper runs come first: Linux carries a process's peak resident size
// across exec, so a child spawned after the in-process floors have grown this
// process would report this process's peak instead of its own.
BENCHMARK(BM_ConvertThroughHelper)->DenseRange(0, 5)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ResizeThroughHelper)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_PlatformFloor)->DenseRange(0, 5)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ResizePlatformFloor)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
