// The system-call filter: a probe that installs it and tries what it forbids,
// a helper that refuses to run where it cannot be installed, and the real
// helper serving every operation with the filter in place.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "helper/sandbox.hpp"
#include "helper_core/file_access/descriptor_digest.hpp"
#include "helper_core/file_access/unique_fd.hpp"
#include "tests/file_access/file_test_support.hpp"
#include "tests/support/child_process.hpp"
#include "tests/support/helper_child.hpp"
#include "tests/support/helper_process.hpp"

namespace quorvantelmic {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::ChildOutcome;
using testing::HelperChild;

// "<name> <result>" lines of the probe, by name.
std::map<std::string, std::string> probeResults(const std::string& output) {
  std::map<std::string, std::string> results;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t space = line.find(' ');
    results[line.substr(0, space)] = space == std::string::npos ? "" : line.substr(space + 1);
  }
  return results;
}

ChildOutcome runProbe(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), QUORVANTELMIC_SANDBOX_PROBE);
  HelperChild probe({}, arguments);
  return probe.finish(60s);
}

TEST(SystemCallFilter, RefusesWhatTheHelperNeverNeeds) {
  const ChildOutcome run = runProbe({});
  ASSERT_EQ(run.exitStatus, 0) << run.standardOutput << run.standardError;
  const auto results = probeResults(run.standardOutput);
  ASSERT_TRUE(results.contains("done")) << "the probe did not get to its end:\n" << run.standardOutput;
  for (const char* call :
       {"socket", "socketpair", "connect", "execve", "fork", "posix_spawn", "ptrace", "mount", "chroot", "chown",
        "fchown", "setns", "unshare", "setuid", "process_vm_readv", "bpf", "perf_event_open", "io_uring_setup",
        "keyctl", "personality-change", "kill-parent", "kill-group", "tgkill-parent", "pidfd_open", "ioctl",
        "prlimit-parent", "memfd_create"}) {
    EXPECT_EQ(results.at(call), "EPERM") << call;
  }
  // clone3 is unknown, so that glibc falls back to clone, where the flags show.
  EXPECT_EQ(results.at("clone3"), "ENOSYS");
}

TEST(SystemCallFilter, LeavesThreadsFilesAndQueriesAlone) {
  const ChildOutcome run = runProbe({});
  const auto results = probeResults(run.standardOutput);
  EXPECT_EQ(results.at("thread"), "ok");
  EXPECT_EQ(results.at("read"), "ok");
  EXPECT_EQ(results.at("personality-query"), "ok");
  EXPECT_EQ(results.at("kill-self"), "ok");
  EXPECT_EQ(results.at("tgkill-self"), "ok");
  EXPECT_EQ(results.at("seccomp-mode"), "2");
  EXPECT_EQ(run.standardError, "");
}

// Without the filter the very same attempts succeed or fail for their own
// reasons: each EPERM above is the filter's.
std::string statusOf(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(SystemCallFilter, TheSameAttemptsDoNotFailThatWayWithoutIt) {
  if (statusOf(::getpid()).find("Seccomp:\t0\n") == std::string::npos) {
    GTEST_SKIP() << "this test runs under a filter of its own, which decides these calls first";
  }
  const ChildOutcome run = runProbe({"unfiltered"});
  ASSERT_EQ(run.exitStatus, 0);
  const auto results = probeResults(run.standardOutput);
  ASSERT_TRUE(results.contains("done"));
  for (const auto& [call, result] : results) {
    if (call == "done") continue;
    EXPECT_NE(result, "EPERM") << call;
    EXPECT_NE(result, "ENOSYS") << call;
  }
  EXPECT_EQ(results.at("unshare"), "ok");
  EXPECT_EQ(results.at("setuid"), "ok");
  EXPECT_EQ(results.at("kill-parent"), "ok");
  EXPECT_EQ(results.at("kill-group"), "ok");
}

// On a kernel that cannot filter, the helper does not run unprotected: it
// ends with status 3 ("nothing was written") before it reads its first line.
TEST(SystemCallFilter, HelperRefusesToRunWhereTheFilterCannotBeInstalled) {
  HelperChild helper({}, {QUORVANTELMIC_SANDBOX_PROBE, "without-seccomp", testing::helperBinaryPath()});
  ASSERT_TRUE(helper.started());
  const ChildOutcome run = helper.finish(60s);
  EXPECT_EQ(run.exitStatus, 3);
  EXPECT_EQ(run.standardOutput, "");
  EXPECT_EQ(run.standardError, "");

  // With input waiting, nothing is read or answered either.
  HelperChild waiting({}, {QUORVANTELMIC_SANDBOX_PROBE, "without-seccomp", testing::helperBinaryPath()});
  (void)waiting.send(R"({"operation":"hello","requestId":"3F2504E0-4F89-41D3-9A0C-0305E82C3301","protocolVersion":4})"
                     "\n");
  const ChildOutcome answered = waiting.finish(60s);
  EXPECT_EQ(answered.exitStatus, 3);
  EXPECT_EQ(answered.standardOutput, "");
}

json request(const char* operation, int serial) {
  char id[37] = {};
  std::snprintf(id, sizeof id, "6a7b8c9d-0e1f-4a2b-8c3d-%012d", serial);
  return json{{"operation", operation}, {"requestId", id}, {"protocolVersion", 4}};
}

std::string staged(int index, const std::string& extension) {
  char hex[33] = {};
  std::snprintf(hex, sizeof hex, "%032x", index);
  return std::string("output-") + hex + "." + extension;
}

std::string fixture(const std::string& name) { return std::string(QUORVANTELMIC_SOURCE_DIR) + "/tests/fixtures/" + name; }

// The number of filters on a process (a test run inside a container may
// already carry the container's own).
int filterCountOf(const std::string& status) {
  const std::string field = "Seccomp_filters:\t";
  const std::size_t at = status.find(field);
  return at == std::string::npos ? -1 : std::atoi(status.c_str() + at + field.size());
}

// The system call a process is blocked in, as "<number> <first argument> ...".
std::string blockedCallOf(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/syscall");
  std::string line;
  std::getline(file, line);
  return line;
}

// The helper is filtered by the time it waits for its first request: its
// status, read while it is blocked reading standard input and while the
// session is still open, names one filter and no new privileges.
TEST(SandboxedHelper, IsFilteredWhileItServes) {
  HelperChild helper;
  ASSERT_TRUE(helper.started());
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!blockedCallOf(helper.pid()).starts_with("0 0x0 ") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_TRUE(blockedCallOf(helper.pid()).starts_with("0 0x0 ")) << "never waited on standard input";
  EXPECT_NE(statusOf(helper.pid()).find("Seccomp:\t2\n"), std::string::npos);

  ASSERT_TRUE(helper.send(request("hello", 1).dump() + "\n"));
  const std::string first = helper.waitForLines(1, 60s);
  ASSERT_NE(first.find("\"ok\":true"), std::string::npos) << first;
  const std::string status = statusOf(helper.pid());
  EXPECT_NE(status.find("Seccomp:\t2\n"), std::string::npos) << status;
  EXPECT_EQ(filterCountOf(status), filterCountOf(statusOf(::getpid())) + 1) << status;
  EXPECT_NE(status.find("NoNewPrivs:\t1\n"), std::string::npos) << status;

  // And it keeps serving on the same session.
  ASSERT_TRUE(helper.send(request("capabilities", 2).dump() + "\n"));
  const ChildOutcome run = helper.finish(60s);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.standardError, "");
  ASSERT_EQ(run.responses().size(), 2u);
  EXPECT_EQ(run.responses()[1]["ok"], true);
}

struct Target {
  const char* identifier;
  const char* extension;
};
constexpr Target kTargets[] = {{"public.jpeg", "jpg"},        {"public.png", "png"},
                               {"public.tiff", "tiff"},       {"public.avif", "avif"},
                               {"com.compuserve.gif", "gif"}, {"com.microsoft.bmp", "bmp"}};

// Every operation a conversion needs, in one filtered session: the codecs,
// the PDF renderer and the PDF writer each run with the filter in place.
TEST(SandboxedHelper, ServesEveryOperationUnderTheFilter) {
  testing_support::TemporaryDirectory root;
  const std::string outputs = root / "outputs";
  ASSERT_EQ(::mkdir(outputs.c_str(), 0700), 0);
  const UniqueFd image = testing_support::openOrThrow(fixture("images/orientation-6.jpg"), O_RDONLY);
  const UniqueFd document = testing_support::openOrThrow(fixture("pdf/text-pages.pdf"), O_RDONLY);
  const UniqueFd directory = testing_support::openOrThrow(outputs, O_RDONLY | O_DIRECTORY);

  std::vector<json> requests = {request("hello", 1), request("capabilities", 2)};
  json inspect = request("inspect-image", 3);
  inspect["sourcePath"] = "/dev/fd/3";
  requests.push_back(inspect);
  std::map<int, std::string> written;  // request index to staged name
  for (const Target& target : kTargets) {
    json convert = request("convert-image", static_cast<int>(requests.size()) + 1);
    convert["sourcePath"] = "/dev/fd/3";
    written[static_cast<int>(requests.size())] = staged(static_cast<int>(requests.size()), target.extension);
    convert["outputPath"] = "/dev/fd/4/" + written[static_cast<int>(requests.size())];
    convert["options"] = json{{"quality", 0.8},
                              {"metadataPolicy", "remove"},
                              {"orientationPolicy", "preserve"},
                              {"targetTypeIdentifier", target.identifier},
                              {"maximumWidth", nullptr},
                              {"maximumHeight", nullptr}};
    requests.push_back(convert);
  }
  json inspectPDF = request("inspect-pdf", 20);
  inspectPDF["sourcePath"] = "/dev/fd/5";
  requests.push_back(inspectPDF);
  json pages = request("pdf-pages-to-png", 21);
  pages["sourcePath"] = "/dev/fd/5";
  pages["options"] = json{{"dpi", 72}};
  pages["outputPaths"] = json::array();
  for (int page = 0; page < 3; ++page) pages["outputPaths"].push_back("/dev/fd/4/" + staged(100 + page, "png"));
  requests.push_back(pages);
  json bound = request("images-to-pdf", 22);
  bound["sourcePaths"] = json::array({"/dev/fd/3"});
  bound["outputPath"] = "/dev/fd/4/" + staged(200, "pdf");
  requests.push_back(bound);

  std::string session;
  for (const json& line : requests) session += line.dump() + "\n";
  const ChildOutcome run =
      testing::runSession(session, {{3, image.get()}, {4, directory.get()}, {5, document.get()}}, 600s);
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.standardError, "");
  const std::vector<json> responses = run.responses();
  ASSERT_EQ(responses.size(), requests.size());
  for (std::size_t index = 0; index < responses.size(); ++index) {
    EXPECT_EQ(responses[index]["ok"], true) << requests[index].dump() << "\n" << responses[index].dump();
    EXPECT_EQ(responses[index]["operation"], requests[index]["operation"]);
  }
  EXPECT_EQ(responses[1]["destinationTypeIdentifiers"].size(), 6u);
  EXPECT_EQ(responses[2]["probe"]["uniformTypeIdentifier"], "public.jpeg");
  // Each conversion wrote exactly what it reported.
  for (const auto& [index, name] : written) {
    const std::string bytes = testing_support::readFile(outputs + "/" + name);
    EXPECT_EQ(responses[index]["byteLength"], bytes.size()) << name;
    EXPECT_EQ(responses[index]["sha256"], DescriptorDigest::sha256(testing_support::bytesOf(bytes))) << name;
  }
  EXPECT_EQ(responses[9]["pdfProbe"]["pageCount"], 3);
  ASSERT_EQ(responses[10]["outputs"].size(), 3u);
  for (int page = 0; page < 3; ++page) {
    const std::string bytes = testing_support::readFile(outputs + "/" + staged(100 + page, "png"));
    EXPECT_EQ(bytes.substr(0, 8), "\x89PNG\r\n\x1a\n");
    EXPECT_EQ(responses[10]["outputs"][page]["sha256"], DescriptorDigest::sha256(testing_support::bytesOf(bytes)));
  }
  const std::string pdf = testing_support::readFile(outputs + "/" + staged(200, "pdf"));
  EXPECT_EQ(pdf.substr(0, 5), "%PDF-");
  EXPECT_EQ(testing_support::entriesOf(outputs).size(), 6u + 3u + 1u);
}

#ifndef QUORVANTELMIC_ADDRESS_SPACE_UNLIMITED
// The soft and hard "Max address space" of a process, as the kernel shows them.
std::pair<std::string, std::string> addressSpaceLimitsOf(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/limits");
  for (std::string line; std::getline(file, line);) {
    if (!line.starts_with("Max address space")) continue;
    std::istringstream fields(line.substr(std::string("Max address space").size()));
    std::string soft;
    std::string hard;
    fields >> soft >> hard;
    return {soft, hard};
  }
  return {};
}

// A helper waiting for its first request, after its start-up.
void waitUntilReading(const HelperChild& helper) {
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!blockedCallOf(helper.pid()).starts_with("0 0x0 ") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_TRUE(blockedCallOf(helper.pid()).starts_with("0 0x0 ")) << "never waited on standard input";
}
#endif

// The helper bounds its own address space, soft and hard limit, before it
// reads anything; a lower limit it inherits stays.
TEST(SandboxedHelper, BoundsItsOwnAddressSpace) {
#ifdef QUORVANTELMIC_ADDRESS_SPACE_UNLIMITED
  GTEST_SKIP() << "this build reserves sanitizer shadow memory, and its helper runs without the limit";
#else
  HelperChild helper;
  ASSERT_TRUE(helper.started());
  waitUntilReading(helper);
  const std::string limit = std::to_string(kHelperAddressSpaceBytes);
  EXPECT_EQ(addressSpaceLimitsOf(helper.pid()), std::make_pair(limit, limit));
  EXPECT_EQ(helper.finish(60s).exitStatus, 0);

  const std::string lower = std::to_string(kHelperAddressSpaceBytes - (std::uint64_t{1} << 30));
  HelperChild limited({}, {"/usr/bin/prlimit", "--as=" + lower, testing::helperBinaryPath()});
  ASSERT_TRUE(limited.started());
  waitUntilReading(limited);
  EXPECT_EQ(addressSpaceLimitsOf(limited.pid()), std::make_pair(lower, lower));
  EXPECT_EQ(limited.finish(60s).exitStatus, 0);
#endif
}

// A legitimate request that needs more address space than the helper has
// fails as a request: an answer with an error, no crash, nothing left
// behind, and the session goes on. The helper is started with 64 MiB more
// than it holds when idle, and asked to convert a 100-megapixel image whose
// decoded frame alone is 95 MiB.
TEST(SandboxedHelper, ARequestBeyondItsAddressSpaceFailsCleanly) {
#ifdef QUORVANTELMIC_ADDRESS_SPACE_UNLIMITED
  GTEST_SKIP() << "this build reserves sanitizer shadow memory, and its helper runs without the limit";
#else
  std::uint64_t idleKilobytes = 0;
  {
    HelperChild helper;
    ASSERT_TRUE(helper.started());
    waitUntilReading(helper);
    const std::string status = statusOf(helper.pid());
    const std::size_t at = status.find("VmSize:");
    ASSERT_NE(at, std::string::npos);
    idleKilobytes = std::strtoull(status.c_str() + at + 7, nullptr, 10);
    (void)helper.finish(60s);
  }
  testing_support::TemporaryDirectory root;
  const UniqueFd image = testing_support::openOrThrow(fixture("pdf/images/gray-10000x10000.png"), O_RDONLY);
  const UniqueFd directory = testing_support::openOrThrow(root.path().string(), O_RDONLY | O_DIRECTORY);
  json convert = request("convert-image", 1);
  convert["sourcePath"] = "/dev/fd/3";
  convert["outputPath"] = "/dev/fd/4/" + staged(1, "jpg");
  convert["options"] = json{{"quality", 0.8},
                            {"metadataPolicy", "remove"},
                            {"orientationPolicy", "preserve"},
                            {"targetTypeIdentifier", "public.jpeg"},
                            {"maximumWidth", nullptr},
                            {"maximumHeight", nullptr}};
  const std::string limit = std::to_string((idleKilobytes + 64 * 1024) * 1024);
  HelperChild helper({{3, image.get()}, {4, directory.get()}},
                     {"/usr/bin/prlimit", "--as=" + limit, testing::helperBinaryPath()});
  ASSERT_TRUE(helper.send(convert.dump() + "\n" + request("hello", 2).dump() + "\n"));
  const ChildOutcome run = helper.finish(300s);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.standardError, "");
  const std::vector<json> responses = run.responses();
  ASSERT_EQ(responses.size(), 2u) << run.standardOutput;
  EXPECT_EQ(responses[0]["ok"], false) << responses[0].dump();
  EXPECT_TRUE(responses[0]["error"]["message"].is_string()) << responses[0].dump();
  EXPECT_EQ(responses[1]["ok"], true);
  EXPECT_TRUE(testing_support::entriesOf(root.path().string()).empty());
#endif
}

// A user's folder as the confinement tests see it: a file of theirs that
// nobody hands the helper, a source handed down as descriptor 3 (read only)
// and an outputs folder handed down as descriptor 4.
struct UserFolder {
  testing_support::TemporaryDirectory root;
  std::string secret = root / "secret.txt";
  std::string outputs = root / "outputs";
  UniqueFd source;
  UniqueFd directory;

  UserFolder() {
    std::ofstream(secret) << "the user's own file";
    if (::mkdir(outputs.c_str(), 0700) != 0) throw std::runtime_error("cannot make " + outputs);
    source = testing_support::openOrThrow(fixture("images/orientation-6.jpg"), O_RDONLY);
    directory = testing_support::openOrThrow(outputs, O_RDONLY | O_DIRECTORY);
  }

  // The user's own file and the folder around the outputs are as they were.
  void expectUntouched() const {
    EXPECT_EQ(testing_support::readFile(secret), "the user's own file");
    EXPECT_EQ(testing_support::entriesOf(root.path().string()), (std::set<std::string>{"outputs", "secret.txt"}));
  }
};

// The path attempts a confined process must see refused, and those the
// libraries need.
constexpr const char* kPathsRefused[] = {"open-passwd",       "open-outside-file",       "list-outside-directory",
                                         "create-outside",    "unlink-outside",          "rename-outside",
                                         "mkdir-outside",     "open-parent-proc",        "write-library-directory",
                                         "write-inherited-read-only-file"};
constexpr const char* kPathsAllowed[] = {"open-own-proc",       "open-font-configuration",       "list-fonts",
                                         "read-inherited-file", "create-in-inherited-directory",
                                         "unlink-in-inherited-directory"};

// Paths, once the file system is confined the way the helper confines it
// before it reads anything: the probe inherits a source file (3, read only)
// and an output directory (4), as the helper does, and tries the rest of the
// user's files, the password file, another process's /proc entries and the
// system directories.
TEST(FileSystemConfinement, PathsReachOnlyWhatWasHandedDownAndTheSystemFiles) {
  const UserFolder folder;
  HelperChild probe({{3, folder.source.get()}, {4, folder.directory.get()}},
                    {QUORVANTELMIC_SANDBOX_PROBE, "confined", folder.secret, folder.root.path().string()});
  const ChildOutcome run = probe.finish(60s);
  ASSERT_EQ(run.exitStatus, 0) << run.standardOutput;
  const auto results = probeResults(run.standardOutput);
  if (results.at("landlock") == "0") GTEST_SKIP() << "this kernel has no Landlock; the filter alone protects";
  ASSERT_TRUE(results.contains("done")) << run.standardOutput;
  for (const char* refused : kPathsRefused) EXPECT_EQ(results.at(refused), "EACCES") << refused;
  for (const char* allowed : kPathsAllowed) EXPECT_EQ(results.at(allowed), "ok") << allowed;
  folder.expectUntouched();
  EXPECT_TRUE(testing_support::entriesOf(folder.outputs).empty());
}

// The same attempts from inside the real helper: a decoder taken over by the
// file it reads (preloaded in place of libjpeg's jpeg_read_header) tries them
// in the middle of a conversion. What the README promises a compromised
// decoder cannot do, it cannot do; the conversion then goes on and publishes
// its output, and the user's other file is untouched.
TEST(SandboxedHelper, ADecoderTakenOverInsideTheHelperReachesOnlyWhatItWasHanded) {
  const UserFolder folder;
  json convert = request("convert-image", 1);
  convert["sourcePath"] = "/dev/fd/3";
  convert["outputPath"] = "/dev/fd/4/" + staged(1, "png");
  convert["options"] = json{{"quality", 0.8},
                            {"metadataPolicy", "remove"},
                            {"orientationPolicy", "preserve"},
                            {"targetTypeIdentifier", "public.png"},
                            {"maximumWidth", nullptr},
                            {"maximumHeight", nullptr}};
  // A parent may leak a descriptor no path reaches (here a memfd, as a
  // toolkit's shared-memory buffer would be): it must not cost the helper
  // its confinement.
  const UniqueFd leaked = testing::memoryFile("leaked");
  const ChildOutcome run = testing::runSession(
      convert.dump() + "\n", {{3, folder.source.get()}, {4, folder.directory.get()}, {5, leaked.get()}}, 120s,
      {std::string("LD_PRELOAD=") + QUORVANTELMIC_COMPROMISED_DECODER, "ASAN_OPTIONS=verify_asan_link_order=0",
       "QUORVANTELMIC_OUTSIDE_FILE=" + folder.secret,
       "QUORVANTELMIC_OUTSIDE_DIRECTORY=" + folder.root.path().string()});
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitStatus, 0) << run.standardError;

  std::map<std::string, std::string> results;
  std::vector<json> answers;
  std::istringstream lines(run.standardOutput);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("compromised ")) {
      const std::string rest = line.substr(std::string("compromised ").size());
      results[rest.substr(0, rest.find(' '))] = rest.substr(rest.find(' ') + 1);
    } else {
      answers.push_back(json::parse(line));
    }
  }
  ASSERT_TRUE(results.contains("done")) << "the preloaded decoder never ran:\n" << run.standardOutput;
  for (const char* call : {"socket", "socketpair", "connect", "fork", "posix_spawn", "execve", "mount", "chroot",
                           "setns", "unshare", "setuid", "process_vm_readv", "bpf", "perf_event_open",
                           "io_uring_setup", "keyctl", "personality-change", "kill-parent", "kill-group",
                           "tgkill-parent", "pidfd_open", "ioctl", "prlimit-parent", "memfd_create"}) {
    EXPECT_EQ(results[call], "EPERM") << call;
  }
#if !defined(__SANITIZE_ADDRESS__)
  EXPECT_EQ(results["ptrace"], "EPERM");
#endif
  // The path attempts are made only where the kernel has Landlock.
  if (results["landlock"] == "ok") {
    for (const char* refused : kPathsRefused) EXPECT_EQ(results[refused], "EACCES") << refused;
    for (const char* allowed : kPathsAllowed) EXPECT_EQ(results[allowed], "ok") << allowed;
  }
  EXPECT_EQ(results["thread"], "ok");
  EXPECT_EQ(results["read"], "ok");
  EXPECT_EQ(results["seccomp-mode"], "2");

  ASSERT_EQ(answers.size(), 1u) << run.standardOutput;
  EXPECT_EQ(answers[0]["ok"], true) << answers[0].dump();
  folder.expectUntouched();
  EXPECT_EQ(testing_support::entriesOf(folder.outputs), (std::set<std::string>{staged(1, "png")}));
}

// On a kernel without Landlock the real helper runs as before, under its
// system-call filter, and serves: a missing feature is never a failure.
TEST(FileSystemConfinement, AKernelWithoutLandlockLeavesTheHelperServingUnderItsFilter) {
  HelperChild helper({}, {QUORVANTELMIC_SANDBOX_PROBE, "without-landlock", testing::helperBinaryPath()});
  ASSERT_TRUE(helper.started());
  ASSERT_TRUE(helper.send(request("hello", 1).dump() + "\n"));
  const std::string first = helper.waitForLines(1, 60s);
  EXPECT_NE(first.find("\"ok\":true"), std::string::npos) << first;
  EXPECT_NE(statusOf(helper.pid()).find("Seccomp:\t2\n"), std::string::npos);
  const ChildOutcome run = helper.finish(60s);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.standardError, "");
}

}  // namespace
}  // namespace quorvantelmic
