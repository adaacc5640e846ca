// Whole sessions through the real helper binary: every response line, the exit
// status, and silence on standard error.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/protocol/request_fixtures.hpp"
#include "helper_core/file_access/unique_fd.hpp"
#include "tests/file_access/file_test_support.hpp"
#include "tests/support/helper_child.hpp"
#include "tests/support/helper_process.hpp"

namespace quorvantelmic {
namespace {

using namespace quorvantelmic::testing;

std::string hello(const std::string& id = kRequestId) {
  return R"({"operation":"hello","requestId":")" + id + R"(","protocolVersion":4})";
}

std::string helloOfLength(std::size_t bytes) {
  std::string line = hello();
  line.insert(line.size() - 1, bytes - line.size(), ' ');
  return line;
}

std::string repeated(const std::string& line, int count) {
  std::string stream;
  for (int index = 0; index < count; ++index) stream += line;
  return stream;
}

void expectProtocolFailure(const json& response, const std::string& message) {
  EXPECT_EQ(response, (json{{"error", {{"code", "resource-limit"}, {"message", message}}},
                            {"ok", false},
                            {"operation", "protocol"},
                            {"protocolVersion", 4},
                            {"requestId", "00000000-0000-4000-8000-000000000000"}}));
}

TEST(HelperSession, NormalSessionAnswersEveryLineInOrder) {
  json merge = envelope("merge-pdfs");
  merge["sourcePaths"] = json::array({"/dev/fd/3", "/dev/fd/5"});
  merge["outputPath"] = "/dev/fd/4/" + stagedName("pdf");
  const HelperRun run = runHelper(hello() + "\n" + merge.dump() + "\r\n" + hello("00000000-0000-0000-0000-000000000000"));
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.standardError, "");
  const auto responses = run.responses();
  ASSERT_EQ(responses.size(), 3u);
  EXPECT_EQ(run.standardOutput.substr(0, run.standardOutput.find('\n')),
            R"({"buildProfileId":")" + responses[0]["buildProfileId"].get<std::string>() +
                R"(","helperVersion":"0.5.0","ok":true,"operation":"hello","protocolVersion":4,"requestId":")" +
                kRequestId + "\"}");
  EXPECT_NE(responses[0]["buildProfileId"].get<std::string>().find("-linux-"), std::string::npos);
  EXPECT_EQ(responses[1]["error"]["message"], "PDF merge is not a Quorvantelmic format conversion.");
  EXPECT_EQ(responses[2]["requestId"], "00000000-0000-0000-0000-000000000000");
}

TEST(HelperSession, MalformedLineIsAnsweredOnceAndEndsTheSession) {
  const HelperRun run = runHelper(hello() + "\nnot json\n" + hello() + "\n");
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_EQ(run.standardError, "");
  const auto responses = run.responses();
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_EQ(responses[1], (json{{"error", {{"code", "invalid-request"}, {"message", "The request must be one JSON object."}}},
                                {"ok", false},
                                {"operation", "protocol"},
                                {"protocolVersion", 4},
                                {"requestId", "00000000-0000-4000-8000-000000000000"}}));

  const HelperRun empty = runHelper(hello() + "\n\n" + hello() + "\n");
  EXPECT_EQ(empty.exitStatus, 2);
  ASSERT_EQ(empty.responses().size(), 2u);
  EXPECT_EQ(empty.responses()[1]["error"]["message"], "The request line must not be empty.");
}

TEST(HelperSession, CarriageReturnsAndFinalLineWithoutFeed) {
  const HelperRun crlf = runHelper(hello() + "\r\n" + hello() + "\r\r\n" + hello());
  EXPECT_EQ(crlf.exitStatus, 0);
  // A kept carriage return is JSON white space, so the second line still decodes.
  ASSERT_EQ(crlf.responses().size(), 3u);
  for (const auto& response : crlf.responses()) EXPECT_EQ(response["ok"], true);

  const HelperRun badFinal = runHelper(hello() + "\n{\"operation\":\"hello\"}");
  EXPECT_EQ(badFinal.exitStatus, 2);
  ASSERT_EQ(badFinal.responses().size(), 2u);
  EXPECT_EQ(badFinal.responses()[1]["operation"], "hello");
  EXPECT_EQ(badFinal.responses()[1]["error"]["message"], "The request ID must be a canonical UUID.");
}

TEST(HelperSession, RequestLimitIs512) {
  const HelperRun full = runHelper(repeated(hello() + "\n", 512));
  EXPECT_EQ(full.exitStatus, 0);
  EXPECT_EQ(full.responses().size(), 512u);

  const HelperRun over = runHelper(repeated(hello() + "\n", 513));
  EXPECT_EQ(over.exitStatus, 2);
  const auto responses = over.responses();
  ASSERT_EQ(responses.size(), 513u);
  expectProtocolFailure(responses[512], "The protocol session exceeds the request limit.");
  EXPECT_EQ(over.standardError, "");
}

TEST(HelperSession, LineLimitIs65536Bytes) {
  const HelperRun exact = runHelper(helloOfLength(65536) + "\n" + hello() + "\n");
  EXPECT_EQ(exact.exitStatus, 0);
  EXPECT_EQ(exact.responses().size(), 2u);

  const HelperRun over = runHelper(hello() + "\n" + helloOfLength(65537) + "\n" + hello() + "\n");
  EXPECT_EQ(over.exitStatus, 2);
  const auto responses = over.responses();
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_EQ(responses[0]["ok"], true);
  expectProtocolFailure(responses[1], "The request line exceeds the protocol limit.");
}

TEST(HelperSession, ByteLimitIsEightMebibytes) {
  const std::string stream = repeated(helloOfLength(16383) + "\n", 512);
  ASSERT_EQ(stream.size(), 8388608u);
  const HelperRun exact = runHelper(stream);
  EXPECT_EQ(exact.exitStatus, 0);
  EXPECT_EQ(exact.responses().size(), 512u);

  // Read from a file, the 1025th chunk holds only the extra byte: all 512 lines
  // are answered before the byte limit ends the session.
  const HelperRun over = runHelper(stream + "\n");
  EXPECT_EQ(over.exitStatus, 2);
  const auto responses = over.responses();
  ASSERT_EQ(responses.size(), 513u);
  expectProtocolFailure(responses[512], "The protocol session exceeds the byte limit.");

  // The crossing chunk is refused whole: with the extra byte inside the chunk
  // that holds the last line, that line is never answered.
  std::string shifted = repeated(helloOfLength(16383) + "\n", 511) + helloOfLength(16384) + "\n";
  ASSERT_EQ(shifted.size(), 8388609u);
  const HelperRun crossing = runHelper(shifted);
  EXPECT_EQ(crossing.exitStatus, 2);
  const auto crossingResponses = crossing.responses();
  ASSERT_EQ(crossingResponses.size(), 512u);
  expectProtocolFailure(crossingResponses[511], "The protocol session exceeds the byte limit.");
}

TEST(HelperSession, HostileLinesNeverCrashOrSpeakOnStandardError) {
  for (const std::string& line :
       {std::string(30000, '[') + std::string(30000, ']'), std::string("{\"a\":\"\0\"}", 9), std::string("\xff\xfe"),
        std::string("{\"operation\":\"hello\",\"requestId\":\"") + kRequestId + "\",\"protocolVersion\":1e400}",
        std::string("{\"operation\":\"hello\",\"requestId\":\"") + kRequestId +
            "\",\"protocolVersion\":123456789012345678901234567890}"}) {
    const HelperRun run = runHelper(line + "\n");
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(run.standardError, "");
    ASSERT_EQ(run.responses().size(), 1u);
    EXPECT_EQ(run.responses()[0]["error"]["code"], "invalid-request");
  }
}

TEST(HelperSession, LibrariesNeverSpeakOnStandardError) {
  // dav1d logs every damaged AV1 stream it is given; the helper's standard
  // error leads nowhere, so the parent hears only the answer.
  const UniqueFd source(::open((std::string(QUORVANTELMIC_SOURCE_DIR) +
                                "/tests/fixtures/image_pipeline/damaged-av1.avif").c_str(),
                               O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(source);
  const std::string request = std::string(R"({"operation":"inspect-image","requestId":")") + kRequestId +
                              R"(","protocolVersion":4,"sourcePath":"/dev/fd/3"})";
  const HelperRun run = runHelper(request + "\n" + request + "\n", {{3, source.get()}});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.standardError, "");
  ASSERT_EQ(run.responses().size(), 2u);
  for (const json& response : run.responses()) {
    EXPECT_EQ(response["error"]["code"], "decode-failed");
    EXPECT_EQ(response["error"]["message"], "The source image pixels could not be decoded.");
  }
}

// The PDF operations and the image metadata live in modules the helper opens
// beside its own executable on first use, after it has confined itself. Where
// the modules are, inspect-pdf and inspect-image work; a helper copied away
// from them answers each of those requests with the loader's reason and goes
// on serving the session.
TEST(HelperSession, PDFRequestsLoadTheModuleBesideTheHelperOrFailAlone) {
  const std::string pdf = std::string(QUORVANTELMIC_SOURCE_DIR) + "/tests/fixtures/pdf/text-pages.pdf";
  const std::string jpeg = std::string(QUORVANTELMIC_SOURCE_DIR) + "/tests/fixtures/images/photo-metadata.jpg";
  const std::string inspect = std::string(R"({"operation":"inspect-pdf","requestId":")") + kRequestId +
                              R"(","protocolVersion":4,"sourcePath":"/dev/fd/3"})";
  const std::string inspectImage = std::string(R"({"operation":"inspect-image","requestId":")") + kRequestId +
                                   R"(","protocolVersion":4,"sourcePath":"/dev/fd/4"})";
  const UniqueFd source(::open(pdf.c_str(), O_RDONLY | O_CLOEXEC));
  const UniqueFd image(::open(jpeg.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(source);
  ASSERT_TRUE(image);
  const HelperRun installed = runHelper(inspect + "\n" + inspectImage + "\n", {{3, source.get()}, {4, image.get()}});
  ASSERT_EQ(installed.responses().size(), 2u);
  EXPECT_EQ(installed.responses()[0]["ok"], true) << installed.standardOutput;
  EXPECT_EQ(installed.responses()[0]["pdfProbe"]["pageCount"], 3);
  EXPECT_EQ(installed.responses()[1]["ok"], true) << installed.standardOutput;
  EXPECT_EQ(installed.responses()[1]["probe"]["hasMetadata"], true) << installed.standardOutput;

  const std::filesystem::path alone =
      std::filesystem::path(::testing::TempDir()) / ("helper-without-module-" + std::to_string(::getpid()));
  std::filesystem::create_directories(alone);
  const std::filesystem::path copy = alone / "quorvantelmic-helper";
  std::filesystem::copy_file(helperBinaryPath(), copy, std::filesystem::copy_options::overwrite_existing);
  const UniqueFd again(::open(pdf.c_str(), O_RDONLY | O_CLOEXEC));
  const UniqueFd imageAgain(::open(jpeg.c_str(), O_RDONLY | O_CLOEXEC));
  HelperChild child({{3, again.get()}, {4, imageAgain.get()}}, {copy.string()});
  ASSERT_TRUE(child.started());
  ASSERT_TRUE(child.send(inspect + "\n" + inspectImage + "\n" + hello() + "\n"));
  const ChildOutcome outcome = child.finish(std::chrono::seconds(60));
  std::filesystem::remove_all(alone);
  EXPECT_EQ(outcome.exitStatus, 0);
  EXPECT_EQ(outcome.standardError, "");
  const std::vector<json> responses = outcome.responses();
  ASSERT_EQ(responses.size(), 3u) << outcome.standardOutput;
  EXPECT_EQ(responses[0]["error"]["code"], "unsupported-source");
  const std::string message = responses[0]["error"]["message"];
  EXPECT_TRUE(message.starts_with("PDF support could not be loaded: ")) << message;
  EXPECT_NE(message.find((alone / "quorvantelmic-pdf.so").string()), std::string::npos) << message;
  EXPECT_EQ(responses[1]["error"]["code"], "unsupported-source");
  const std::string imageMessage = responses[1]["error"]["message"];
  EXPECT_TRUE(imageMessage.starts_with("Image metadata support could not be loaded: ")) << imageMessage;
  EXPECT_NE(imageMessage.find((alone / "quorvantelmic-metadata.so").string()), std::string::npos) << imageMessage;
  EXPECT_EQ(responses[2]["ok"], true);
}

}  // namespace
}  // namespace quorvantelmic

namespace quorvantelmic {
namespace {

// OpenMP reads its thread limit once, when it loads: the helper fixes the
// limit before the palette quantiser brings it in, whatever environment its
// parent gave it, so a GIF is written on the helper's one thread.
TEST(HelperProcess, RunsItsLibrariesOnOneThread) {
  const testing_support::TemporaryDirectory root;
  const UniqueFd source = testing_support::openOrThrow(
      std::string(QUORVANTELMIC_SOURCE_DIR) + "/tests/fixtures/images/photo-640x480.jpg", O_RDONLY | O_CLOEXEC);
  const UniqueFd directory = testing_support::openOrThrow(root.path().string(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  json convert = envelope("convert-image");
  convert["sourcePath"] = "/dev/fd/3";
  convert["outputPath"] = "/dev/fd/4/" + stagedName("gif");
  convert["options"] = json{{"quality", 0.8},
                            {"metadataPolicy", "remove"},
                            {"orientationPolicy", "preserve"},
                            {"targetTypeIdentifier", "com.compuserve.gif"},
                            {"maximumWidth", nullptr},
                            {"maximumHeight", nullptr}};
  HelperChild helper({{3, source.get()}, {4, directory.get()}}, {}, {"OMP_THREAD_LIMIT=8"});
  ASSERT_TRUE(helper.started());
  ASSERT_TRUE(helper.send(convert.dump() + "\n"));
  const std::string answer = helper.waitForLines(1, std::chrono::seconds(120));
  // The quantiser's worker threads would stay, idle, for the next request.
  const std::size_t threads = testing_support::entriesOf("/proc/" + std::to_string(helper.pid()) + "/task").size();
  const ChildOutcome run = helper.finish(std::chrono::seconds(60));
  EXPECT_EQ(run.exitStatus, 0);
  ASSERT_EQ(run.responses().size(), 1u);
  EXPECT_EQ(run.responses()[0]["ok"], true) << answer;
  EXPECT_EQ(threads, 1u);
}

}  // namespace
}  // namespace quorvantelmic
