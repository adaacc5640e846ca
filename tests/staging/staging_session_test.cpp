// Drives the four staging operations through the real helper executable, with
// the destination directory passed down as descriptor 3 the way the parent
// application does it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "helper_core/protocol/wire_identity.hpp"
#include "tests/staging/staging_test_support.hpp"

extern char** environ;

namespace quorvantelmic {
namespace {

using namespace testing_support;
using nlohmann::json;

struct Session {
  std::vector<json> responses;
  int exitStatus = -1;
};

// Runs one helper session: `requests` on its standard input, `destination`
// (when valid) as its descriptor 3, nothing else inherited.
Session runHelper(const std::vector<json>& requests, int destination) {
  int input[2];
  int output[2];
  EXPECT_EQ(::pipe2(input, O_CLOEXEC), 0);
  EXPECT_EQ(::pipe2(output, O_CLOEXEC), 0);
  const UniqueFd inputRead(input[0]);
  UniqueFd inputWrite(input[1]);
  const UniqueFd outputRead(output[0]);
  UniqueFd outputWrite(output[1]);
  // Keep the source of the dup2 off descriptor 3 itself, so that the child's
  // copy is a real duplicate without close-on-exec.
  const UniqueFd source(destination >= 0 ? ::fcntl(destination, F_DUPFD_CLOEXEC, 10) : -1);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inputRead.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outputWrite.get(), STDOUT_FILENO);
  if (source) {
    posix_spawn_file_actions_adddup2(&actions, source.get(), 3);
  } else {
    posix_spawn_file_actions_addclose(&actions, 3);
  }
  // Nothing else the test runner left open reaches the helper.
  posix_spawn_file_actions_addclosefrom_np(&actions, 4);
  std::string binary = QUORVANTELMIC_HELPER_BINARY;
  char* const arguments[] = {binary.data(), nullptr};
  pid_t child = -1;
  const int spawned = ::posix_spawn(&child, binary.c_str(), &actions, nullptr, arguments, environ);
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(spawned, 0);

  std::string lines;
  for (const json& request : requests) lines += request.dump() + "\n";
  Session session;
  // Only the child may hold the write end of its output, or reading would
  // never see the end of it.
  outputWrite.reset();
  std::size_t written = 0;
  while (written < lines.size()) {
    const ssize_t result = ::write(inputWrite.get(), lines.data() + written, lines.size() - written);
    if (result <= 0) break;
    written += static_cast<std::size_t>(result);
  }
  inputWrite.reset();
  std::string received;
  char buffer[4096];
  for (ssize_t got; (got = ::read(outputRead.get(), buffer, sizeof buffer)) > 0;) {
    received.append(buffer, static_cast<std::size_t>(got));
  }
  int status = 0;
  EXPECT_EQ(::waitpid(child, &status, 0), child);
  session.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::size_t start = 0;
  for (std::size_t end; (end = received.find('\n', start)) != std::string::npos; start = end + 1) {
    session.responses.push_back(json::parse(received.substr(start, end - start)));
  }
  EXPECT_EQ(start, received.size()) << "output ends without a line feed";
  return session;
}

json wire(const ProtocolFileIdentity& identity) { return fileIdentityJson(identity); }

ProtocolFileIdentity fromWire(const json& value) {
  return ProtocolFileIdentity{value.at("device"),          value.at("inode"),
                              value.at("size"),            value.at("modifiedSeconds"),
                              value.at("modifiedNanoseconds"), value.at("statusChangedSeconds"),
                              value.at("statusChangedNanoseconds")};
}

json envelope(const char* operation, const char* requestId) {
  return json{{"protocolVersion", 4}, {"requestId", requestId}, {"operation", operation}};
}

class StagingSessionTest : public StagingFixture {
 protected:
  json prepareRequest(const char* requestId, const std::string& name) const {
    json request = envelope("prepare-staging", requestId);
    request["destinationPath"] = "/dev/fd/3";
    request["destinationIdentity"] = wire(destinationIdentity());
    request["stagingId"] = stagingId;
    request["stagingName"] = stagingName;
    request["outputName"] = name;
    return request;
  }
  json cleanupRequest(const char* requestId, const json& prepared, const std::string& name, const json& output) const {
    json request = envelope("cleanup-staging", requestId);
    request["destinationPath"] = "/dev/fd/3";
    request["destinationIdentity"] = wire(destinationIdentity());
    request["stagingId"] = stagingId;
    request["stagingName"] = stagingName;
    // The parent re-stats the staging directory it was told about: outputs
    // written since preparation changed its times, not its device and inode.
    const FileIdentity current = identityOf(staging());
    EXPECT_TRUE(current.sameObject(FileIdentity(fromWire(prepared.at("stagingIdentity")))));
    request["stagingIdentity"] = wire(current.protocolValue());
    request["ownerIdentity"] = prepared.at("ownerIdentity");
    request["outputName"] = name;
    request["output"] = output;
    return request;
  }
};

TEST_F(StagingSessionTest, PreparesAndCleansUpASingleOutputThroughDescriptor3) {
  const Session preparation =
      runHelper({prepareRequest("6f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1a0b", outputName(7))}, destinationDescriptor());
  ASSERT_EQ(preparation.exitStatus, 0);
  ASSERT_EQ(preparation.responses.size(), 1u);
  const json& prepared = preparation.responses[0];
  EXPECT_EQ(prepared.at("ok"), true) << prepared.dump();
  EXPECT_EQ(prepared.at("operation"), "prepare-staging");
  EXPECT_EQ(prepared.at("requestId"), "6f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1a0b");
  EXPECT_EQ(prepared.at("directorySyncSupported"), true);
  std::vector<std::string> keys;
  for (const auto& [key, value] : prepared.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"directorySyncSupported", "ok", "operation", "ownerIdentity",
                                            "protocolVersion", "requestId", "stagingIdentity"}));
  EXPECT_EQ(FileIdentity(fromWire(prepared.at("stagingIdentity"))), identityOf(staging()));
  EXPECT_EQ(FileIdentity(fromWire(prepared.at("ownerIdentity"))), identityOf(inStaging(".owner.json")));
  EXPECT_EQ(readFile(inStaging(".owner.json")), StagingBroker::encodedOwnerRecord(stagingId, {outputName(7)}));

  // A conversion writes the output; cleanup presents its identity and digest.
  const StagedOutputBinding output = writeOutput(outputName(7), "converted image bytes");
  const Session cleaning = runHelper(
      {cleanupRequest("6f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1a0c", prepared, outputName(7),
                      json{{"identity", wire(output.identity)}, {"sha256", output.sha256}})},
      destinationDescriptor());
  ASSERT_EQ(cleaning.responses.size(), 1u);
  EXPECT_EQ(cleaning.responses[0],
            json::parse(R"({"directorySyncSupported":true,"ok":true,"operation":"cleanup-staging",)"
                        R"("protocolVersion":4,"removed":true,"requestId":"6f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1a0c"})"));
  EXPECT_EQ(cleaning.exitStatus, 0);
  EXPECT_TRUE(entriesOf(destination()).empty());
}

TEST_F(StagingSessionTest, PreparesAndCleansUpASetThroughDescriptor3) {
  const std::vector<std::string> names{outputName(1), outputName(2, "pdf"), outputName(3, "jpg")};
  json prepare = envelope("prepare-staging-set", "6f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1a01");
  prepare["destinationPath"] = "/dev/fd/3";
  prepare["destinationIdentity"] = wire(destinationIdentity());
  prepare["stagingId"] = stagingId;
  prepare["stagingName"] = stagingName;
  prepare["outputNames"] = names;
  const Session preparation = runHelper({prepare}, destinationDescriptor());
  ASSERT_EQ(preparation.responses.size(), 1u);
  const json& prepared = preparation.responses[0];
  ASSERT_EQ(prepared.at("ok"), true) << prepared.dump();
  EXPECT_EQ(prepared.at("operation"), "prepare-staging-set");
  EXPECT_EQ(readFile(inStaging(".owner.json")), StagingBroker::encodedOwnerRecord(stagingId, names));

  const StagedOutputBinding first = writeOutput(names[0], "page one");
  const StagedOutputBinding third = writeOutput(names[2], "page three");
  json cleanup = envelope("cleanup-staging-set", "6f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1a02");
  cleanup["destinationPath"] = "/dev/fd/3";
  cleanup["destinationIdentity"] = wire(destinationIdentity());
  cleanup["stagingId"] = stagingId;
  cleanup["stagingName"] = stagingName;
  cleanup["stagingIdentity"] = wire(currentIdentity(staging()));
  cleanup["ownerIdentity"] = prepared.at("ownerIdentity");
  cleanup["outputNames"] = names;
  cleanup["outputs"] = json::array();
  for (const StagedOutputBinding& binding : {third, first}) {
    cleanup["outputs"].push_back(
        json{{"outputName", binding.outputName}, {"identity", wire(binding.identity)}, {"sha256", binding.sha256}});
  }
  const Session cleaning = runHelper({cleanup}, destinationDescriptor());
  ASSERT_EQ(cleaning.responses.size(), 1u);
  EXPECT_EQ(cleaning.responses[0].at("ok"), true) << cleaning.responses[0].dump();
  EXPECT_EQ(cleaning.responses[0].at("removed"), true);
  EXPECT_EQ(cleaning.responses[0].at("operation"), "cleanup-staging-set");
  EXPECT_TRUE(entriesOf(destination()).empty());
}

TEST_F(StagingSessionTest, RefusalsAnswerTheRequestAndKeepTheSessionGoing) {
  const Session preparation =
      runHelper({prepareRequest("6f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1a10", outputName(1))}, destinationDescriptor());
  ASSERT_EQ(preparation.responses.size(), 1u);
  const json prepared = preparation.responses[0];
  (void)writeOutput(outputName(1), "unbound");
  const FileIdentity stagingBefore = identityOf(staging());

  // A second preparation under the taken name, then a cleanup that would
  // have to remove an output it was given no binding for.
  const Session refused = runHelper({prepareRequest("6f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1a11", outputName(1)),
                                     cleanupRequest("6f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1a12", prepared, outputName(1),
                                                    nullptr)},
                                    destinationDescriptor());
  EXPECT_EQ(refused.exitStatus, 0);
  ASSERT_EQ(refused.responses.size(), 2u);
  EXPECT_EQ(refused.responses[0].at("ok"), false);
  EXPECT_EQ(refused.responses[0].at("error"),
            json({{"code", "output-exists"}, {"message", "The private staging directory already exists."}}));
  EXPECT_EQ(refused.responses[1].at("operation"), "cleanup-staging");
  EXPECT_EQ(refused.responses[1].at("error"),
            json({{"code", "filesystem-policy"}, {"message", "An unbound staged output prevents automatic cleanup."}}));
  EXPECT_EQ(identityOf(staging()), stagingBefore);
  EXPECT_EQ(entriesOf(staging()), (std::set<std::string>{".owner.json", outputName(1)}));
}

TEST_F(StagingSessionTest, PreparesPublishesAndCleansUpThroughDescriptor3) {
  const Session preparation =
      runHelper({prepareRequest("6f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1a40", outputName(5, "jpg"))}, destinationDescriptor());
  ASSERT_EQ(preparation.responses.size(), 1u);
  const json prepared = preparation.responses[0];
  const StagedOutputBinding output = writeOutput(outputName(5, "jpg"), "jpeg bytes");
  writeFile(destination() + "/Holiday.jpg", "an older holiday");

  json publish = envelope("publish-output", "6f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1a41");
  publish["destinationPath"] = "/dev/fd/3";
  publish["destinationDisplayPath"] = "/Users/me/Pictures";
  publish["destinationIdentity"] = wire(destinationIdentity());
  publish["stagingName"] = stagingName;
  publish["stagingId"] = stagingId;
  publish["stagingIdentity"] = wire(currentIdentity(staging()));
  publish["ownerIdentity"] = prepared.at("ownerIdentity");
  publish["outputName"] = outputName(5, "jpg");
  publish["outputIdentity"] = wire(output.identity);
  publish["outputSha256"] = output.sha256;
  publish["outputBaseName"] = "Holiday";
  publish["outputExtension"] = "jpg";
  const Session publication = runHelper({publish}, destinationDescriptor());
  ASSERT_EQ(publication.responses.size(), 1u);
  const json& published = publication.responses[0];
  ASSERT_EQ(published.at("ok"), true) << published.dump();
  EXPECT_EQ(published.at("displayName"), "Holiday 2.jpg");
  EXPECT_EQ(published.at("finalPath"), "/Users/me/Pictures/Holiday 2.jpg");
  EXPECT_EQ(published.at("collisionIndex"), 2);
  EXPECT_EQ(published.at("stagingCleanupPending"), false);
  EXPECT_EQ(FileIdentity(fromWire(published.at("committedIdentity"))), identityOf(destination() + "/Holiday 2.jpg"));
  EXPECT_EQ(readFile(destination() + "/Holiday 2.jpg"), "jpeg bytes");

  // The published output is gone from staging and needs no binding.
  const Session cleaning =
      runHelper({cleanupRequest("6f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1a42", prepared, outputName(5, "jpg"), nullptr)},
                destinationDescriptor());
  ASSERT_EQ(cleaning.responses.size(), 1u);
  EXPECT_EQ(cleaning.responses[0].at("ok"), true) << cleaning.responses[0].dump();
  EXPECT_EQ(entriesOf(destination()), (std::set<std::string>{"Holiday.jpg", "Holiday 2.jpg"}));
}

TEST_F(StagingSessionTest, WithoutDescriptor3NothingIsCreated) {
  const Session session =
      runHelper({prepareRequest("6f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1a20", outputName(1))}, -1);
  ASSERT_EQ(session.responses.size(), 1u);
  EXPECT_EQ(session.responses[0].at("error"),
            json({{"code", "filesystem-policy"}, {"message", "The inherited destination descriptor is unavailable."}}));
  EXPECT_TRUE(entriesOf(destination()).empty());
}

TEST_F(StagingSessionTest, ADescriptor3OnAnotherDirectoryIsRefused) {
  ASSERT_EQ(::mkdir((root_ / "elsewhere").c_str(), 0700), 0);
  const UniqueFd elsewhere = openOrThrow(root_ / "elsewhere", O_RDONLY | O_DIRECTORY);
  const Session session =
      runHelper({prepareRequest("6f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1a30", outputName(1))}, elsewhere.get());
  ASSERT_EQ(session.responses.size(), 1u);
  EXPECT_EQ(session.responses[0].at("error"),
            json({{"code", "filesystem-policy"}, {"message", "The inherited destination identity changed."}}));
  EXPECT_TRUE(entriesOf(destination()).empty());
  EXPECT_TRUE(entriesOf(root_ / "elsewhere").empty());
}

}  // namespace
}  // namespace quorvantelmic

namespace quorvantelmic {
namespace {

// A published set whose answer would pass the response limit is published all
// the same (the files are committed before the answer is built), but no line is
// written for it and the session ends with status 3: a parent that sees status 3
// after a publication knows to look at the destination.
TEST_F(StagingSessionTest, AnAnswerOverTheResponseLimitIsNotWrittenAndEndsWithThree) {
  std::vector<std::string> names;
  for (int index = 0; index < 96; ++index) names.push_back(outputName(index + 1));
  const std::vector<StagedOutputBinding> outputs = [&] {
    json prepare = envelope("prepare-staging-set", "6f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1a61");
    prepare["destinationPath"] = "/dev/fd/3";
    prepare["destinationIdentity"] = wire(destinationIdentity());
    prepare["stagingId"] = stagingId;
    prepare["stagingName"] = stagingName;
    prepare["outputNames"] = names;
    EXPECT_EQ(runHelper({prepare}, destinationDescriptor()).responses.at(0).at("ok"), true);
    std::vector<StagedOutputBinding> written;
    for (const auto& name : names) written.push_back(writeOutput(name, "page " + name));
    return written;
  }();
  json publish = envelope("publish-output-set", "6f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1a62");
  publish["destinationPath"] = "/dev/fd/3";
  // 96 final paths under a 4000-byte display path are well over 262144 bytes.
  publish["destinationDisplayPath"] = "/" + std::string(3999, 'd');
  publish["destinationIdentity"] = wire(destinationIdentity());
  publish["stagingName"] = stagingName;
  publish["stagingId"] = stagingId;
  publish["stagingIdentity"] = wire(currentIdentity(staging()));
  publish["ownerIdentity"] = wire(currentIdentity(inStaging(".owner.json")));
  publish["outputs"] = json::array();
  for (std::size_t index = 0; index < outputs.size(); ++index) {
    publish["outputs"].push_back(json{{"outputName", outputs[index].outputName},
                                      {"outputIdentity", wire(outputs[index].identity)},
                                      {"outputSha256", outputs[index].sha256},
                                      {"outputBaseName", "Page " + std::to_string(index + 1)},
                                      {"outputExtension", "png"}});
  }
  const Session session = runHelper({publish, envelope("hello", "6f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1a63")},
                                    destinationDescriptor());
  EXPECT_EQ(session.exitStatus, 3);
  EXPECT_TRUE(session.responses.empty());
  EXPECT_EQ(readFile(destination() + "/Page 96.png"), "page " + names[95]);
}

}  // namespace
}  // namespace quorvantelmic
