// Decoding and answering one request, and a whole 512-request session through
// the real binary.
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <string>

#include "helper_core/file_access/unique_fd.hpp"
#include "helper_core/session/request_processor.hpp"

extern char** environ;

namespace {

using nlohmann::json;
using quorvantelmic::RequestProcessor;

const std::string requestId = "3F2504E0-4F89-41D3-9A0C-0305E82C3301";

json identity() {
  return json{{"device", "66306"},        {"inode", "1234567"},          {"size", "1048576"},
              {"modifiedSeconds", "1700000000"}, {"modifiedNanoseconds", "123456789"},
              {"statusChangedSeconds", "1700000000"}, {"statusChangedNanoseconds", "987654321"}};
}

std::string helloLine() {
  return json{{"operation", "hello"}, {"requestId", requestId}, {"protocolVersion", 4}}.dump();
}

std::string convertLine() {
  return json{{"operation", "convert-image"},
              {"requestId", requestId},
              {"protocolVersion", 4},
              {"sourcePath", "/dev/fd/3"},
              {"outputPath", "/dev/fd/4/output-00112233445566778899aabbccddeeff.avif"},
              {"options",
               {{"quality", 0.82},
                {"metadataPolicy", "preserve"},
                {"orientationPolicy", "preserve"},
                {"targetTypeIdentifier", "public.avif"},
                {"maximumWidth", 4000},
                {"maximumHeight", nullptr}}}}
      .dump();
}

std::string publishSetLine() {
  json outputs = json::array();
  for (int index = 0; index < 96; ++index) {
    char hex[33];
    std::snprintf(hex, sizeof hex, "%032x", index);
    outputs.push_back({{"outputName", "output-" + std::string(hex) + ".png"},
                       {"outputIdentity", identity()},
                       {"outputSha256", std::string(64, 'c')},
                       {"outputBaseName", "Quarterly report page " + std::to_string(index + 1)},
                       {"outputExtension", "png"}});
  }
  return json{{"operation", "publish-output-set"},
              {"requestId", requestId},
              {"protocolVersion", 4},
              {"destinationPath", "/dev/fd/3"},
              {"destinationDisplayPath", "/home/someone/Documents/Reports"},
              {"destinationIdentity", identity()},
              {"stagingName", ".quorvantelmic-stage-00112233445566778899aabbccddeeff"},
              {"stagingId", "5e6f7a8b-9c0d-4e1f-a2b3-c4d5e6f7a8b9"},
              {"stagingIdentity", identity()},
              {"ownerIdentity", identity()},
              {"outputs", outputs}}
      .dump();
}

void answer(benchmark::State& state, const std::string& line) {
  const RequestProcessor processor;
  for (auto _ : state) {
    // Requests whose component is not in this build still go through the full
    // decode, the error mapping and the encoding.
    std::string encoded = RequestProcessor::encodeResponse(processor.processLine(line));
    benchmark::DoNotOptimize(encoded);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
}

void BM_Hello(benchmark::State& state) { answer(state, helloLine()); }
void BM_ConvertImageRequest(benchmark::State& state) { answer(state, convertLine()); }
void BM_PublishOutputSet96(benchmark::State& state) { answer(state, publishSetLine()); }

// 512 hello requests through the real binary, start-up and exit included.
void BM_Session512ThroughBinary(benchmark::State& state) {
  std::string session;
  for (int index = 0; index < 512; ++index) session += helloLine() + "\n";
  for (auto _ : state) {
    quorvantelmic::UniqueFd input(::memfd_create("session", MFD_CLOEXEC));
    quorvantelmic::UniqueFd output(::memfd_create("responses", MFD_CLOEXEC));
    if (::write(input.get(), session.data(), session.size()) != static_cast<ssize_t>(session.size())) {
      state.SkipWithError("could not write the session");
      return;
    }
    ::lseek(input.get(), 0, SEEK_SET);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, output.get(), 1);
    char* const arguments[] = {const_cast<char*>(QUORVANTELMIC_HELPER_BINARY), nullptr};
    pid_t child = -1;
    const int spawned = ::posix_spawn(&child, QUORVANTELMIC_HELPER_BINARY, &actions, nullptr, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      state.SkipWithError("could not start the helper");
      return;
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("the session did not end normally");
  }
}

BENCHMARK(BM_Hello);
BENCHMARK(BM_ConvertImageRequest);
BENCHMARK(BM_PublishOutputSet96);
BENCHMARK(BM_Session512ThroughBinary)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
