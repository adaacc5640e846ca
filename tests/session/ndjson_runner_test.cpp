#include "helper_core/session/ndjson_runner.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <thread>
#include <vector>

#include "helper_core/session/request_processor.hpp"
#include "tests/protocol/request_fixtures.hpp"

namespace quorvantelmic {
namespace {

using nlohmann::json;
using namespace quorvantelmic::testing;

struct Session {
  int status = -1;
  std::vector<json> responses;
  std::string raw;
};

std::string readAll(int descriptor) {
  std::string bytes;
  ::lseek(descriptor, 0, SEEK_SET);
  char buffer[65536];
  for (ssize_t got; (got = ::read(descriptor, buffer, sizeof buffer)) > 0;) bytes.append(buffer, static_cast<std::size_t>(got));
  return bytes;
}

// Runs a session whose input arrives as exactly the given chunks: each chunk is
// one packet of a sequenced-packet socket, so every read of the runner returns
// exactly one of them.
Session runChunks(const NDJSONRunner& runner, const std::vector<std::string>& chunks) {
  int pair[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd reader(pair[0]);
  UniqueFd writer(pair[1]);
  UniqueFd output(::memfd_create("responses", MFD_CLOEXEC));

  for (const auto& chunk : chunks) EXPECT_LE(chunk.size(), NDJSONRunner::readChunkBytes);
  std::thread feeder([&] {
    for (const auto& chunk : chunks) {
      if (::send(writer.get(), chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0) break;
    }
    writer.reset();
  });
  Session session;
  session.status = runner.run(reader.borrow(), output.borrow());
  reader.reset();  // a runner that stopped early unblocks the feeder
  feeder.join();
  session.raw = readAll(output.get());
  std::size_t start = 0;
  for (std::size_t end; (end = session.raw.find('\n', start)) != std::string::npos; start = end + 1) {
    session.responses.push_back(json::parse(session.raw.substr(start, end - start)));
  }
  EXPECT_EQ(start, session.raw.size()) << "output ends in a partial line";
  return session;
}

// Splits a byte stream into chunks of at most 8192 bytes, as a regular file reads.
std::vector<std::string> chunked(const std::string& stream) {
  std::vector<std::string> chunks;
  for (std::size_t offset = 0; offset < stream.size(); offset += NDJSONRunner::readChunkBytes) {
    chunks.push_back(stream.substr(offset, NDJSONRunner::readChunkBytes));
  }
  return chunks;
}

const RequestProcessor processor;
const NDJSONRunner realRunner([](std::string_view line) { return processor.processLine(line); });

std::string hello(const std::string& id = kRequestId) {
  return R"({"operation":"hello","requestId":")" + id + R"(","protocolVersion":4})";
}

// A hello request padded with JSON white space to exactly `bytes` bytes.
std::string helloOfLength(std::size_t bytes) {
  std::string line = hello();
  line.insert(line.size() - 1, bytes - line.size(), ' ');
  return line;
}

void expectProtocolFailure(const json& response, const std::string& message) {
  EXPECT_EQ(response["operation"], "protocol");
  EXPECT_EQ(response["requestId"], "00000000-0000-4000-8000-000000000000");
  EXPECT_EQ(response["ok"], false);
  EXPECT_EQ(response["error"]["code"], "resource-limit");
  EXPECT_EQ(response["error"]["message"], message);
}

TEST(NDJSONRunner, AnswersEachLineInOrderAndEndsCleanly) {
  const Session session = runChunks(realRunner, {hello() + "\n" + hello("00000000-0000-0000-0000-000000000000") + "\n"});
  EXPECT_EQ(session.status, 0);
  ASSERT_EQ(session.responses.size(), 2u);
  EXPECT_EQ(session.responses[0]["requestId"], kRequestId);
  EXPECT_EQ(session.responses[1]["requestId"], "00000000-0000-0000-0000-000000000000");
  EXPECT_EQ(runChunks(realRunner, {}).status, 0);
}

TEST(NDJSONRunner, LinesSpanningChunksAreJoined) {
  const std::string line = hello() + "\n";
  std::vector<std::string> bytewise;
  for (const char c : line + line) bytewise.emplace_back(1, c);
  const Session session = runChunks(realRunner, bytewise);
  EXPECT_EQ(session.status, 0);
  EXPECT_EQ(session.responses.size(), 2u);
}

TEST(NDJSONRunner, CarriageReturnsAndFinalLines) {
  std::vector<std::string> seen;
  const NDJSONRunner recording([&seen](std::string_view line) {
    seen.emplace_back(line);
    return HelperResponse::hello(kRequestId);
  });
  const Session session = runChunks(recording, {"a\r\nb\r\r\nc\rd\ne\r"});
  EXPECT_EQ(session.status, 0);
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b\r", "c\rd", "e"}));
  EXPECT_EQ(session.responses.size(), 4u);

  // A final line without a line feed is answered; its invalid-request ends with 2.
  EXPECT_EQ(runChunks(realRunner, {hello()}).status, 0);
  const Session badFinal = runChunks(realRunner, {hello() + "\n{"});
  EXPECT_EQ(badFinal.status, 2);
  ASSERT_EQ(badFinal.responses.size(), 2u);
  EXPECT_EQ(badFinal.responses[1]["error"]["message"], "The request must be one JSON object.");
}

TEST(NDJSONRunner, InvalidRequestEndsTheSessionAfterItsAnswer) {
  const Session empty = runChunks(realRunner, {hello() + "\n\n" + hello() + "\n"});
  EXPECT_EQ(empty.status, 2);
  ASSERT_EQ(empty.responses.size(), 2u);
  EXPECT_EQ(empty.responses[1]["error"]["message"], "The request line must not be empty.");
  EXPECT_EQ(empty.responses[1]["operation"], "protocol");

  const Session carriage = runChunks(realRunner, {"\r\n" + hello() + "\n"});
  EXPECT_EQ(carriage.status, 2);
  ASSERT_EQ(carriage.responses.size(), 1u);

  // Other failures leave the session running.
  json merge = envelope("merge-pdfs");
  merge["sourcePaths"] = json::array({"/dev/fd/3", "/dev/fd/5"});
  merge["outputPath"] = "/dev/fd/4/" + stagedName("pdf");
  const Session refused = runChunks(realRunner, {merge.dump() + "\n" + hello() + "\n"});
  EXPECT_EQ(refused.status, 0);
  ASSERT_EQ(refused.responses.size(), 2u);
  EXPECT_EQ(refused.responses[0]["error"]["code"], "unsupported-source");
  EXPECT_EQ(refused.responses[1]["ok"], true);
}

TEST(NDJSONRunner, LineLimitCountsBytesAfterCarriageReturnRemoval) {
  const Session exact = runChunks(realRunner, chunked(helloOfLength(65536) + "\n"));
  EXPECT_EQ(exact.status, 0);
  ASSERT_EQ(exact.responses.size(), 1u);
  EXPECT_EQ(exact.responses[0]["ok"], true);

  const Session over = runChunks(realRunner, chunked(helloOfLength(65537) + "\n"));
  EXPECT_EQ(over.status, 2);
  ASSERT_EQ(over.responses.size(), 1u);
  expectProtocolFailure(over.responses[0], "The request line exceeds the protocol limit.");

  // 65536 bytes and CR LF in one chunk: processed.
  std::vector<std::string> together = chunked(helloOfLength(65536));
  together.push_back("\r\n");
  EXPECT_EQ(runChunks(realRunner, together).status, 0);
  // A read boundary between the CR and the LF leaves 65537 pending bytes.
  std::vector<std::string> split = chunked(helloOfLength(65536));
  split.push_back("\r");
  split.push_back("\n");
  const Session splitSession = runChunks(realRunner, split);
  EXPECT_EQ(splitSession.status, 2);
  ASSERT_EQ(splitSession.responses.size(), 1u);
  expectProtocolFailure(splitSession.responses[0], "The request line exceeds the protocol limit.");

  // A partial line never waits for its line feed once it is over the limit.
  const Session partial = runChunks(realRunner, chunked(std::string(65537, ' ')));
  EXPECT_EQ(partial.status, 2);
  EXPECT_EQ(partial.responses.size(), 1u);
}

TEST(NDJSONRunner, RequestLimitComesBeforeTheLineLimit) {
  std::string stream;
  for (int index = 0; index < 512; ++index) stream += hello() + "\n";
  const Session full = runChunks(realRunner, chunked(stream));
  EXPECT_EQ(full.status, 0);
  EXPECT_EQ(full.responses.size(), 512u);

  const Session overEmpty = runChunks(realRunner, chunked(stream + "\n"));
  EXPECT_EQ(overEmpty.status, 2);
  ASSERT_EQ(overEmpty.responses.size(), 513u);
  expectProtocolFailure(overEmpty.responses[512], "The protocol session exceeds the request limit.");

  std::vector<std::string> overLong = chunked(stream);
  for (const auto& chunk : chunked(std::string(70000, ' ') + "\n")) overLong.push_back(chunk);
  const Session overLongSession = runChunks(realRunner, overLong);
  ASSERT_EQ(overLongSession.responses.size(), 513u);
  expectProtocolFailure(overLongSession.responses[512], "The protocol session exceeds the request limit.");

  const Session overFinal = runChunks(realRunner, chunked(stream + hello()));
  EXPECT_EQ(overFinal.status, 2);
  ASSERT_EQ(overFinal.responses.size(), 513u);
  expectProtocolFailure(overFinal.responses[512], "The protocol session exceeds the request limit.");
}

TEST(NDJSONRunner, ByteLimitRefusesTheCrossingChunkWhole) {
  // 512 lines of 16384 bytes each, line feeds included, are exactly 8 MiB.
  std::string stream;
  for (int index = 0; index < 512; ++index) stream += helloOfLength(16383) + "\n";
  ASSERT_EQ(stream.size(), 8388608u);
  const Session exact = runChunks(realRunner, chunked(stream));
  EXPECT_EQ(exact.status, 0);
  EXPECT_EQ(exact.responses.size(), 512u);

  // One byte more: the last chunk holds the end of line 512 and the extra byte,
  // and is refused whole, so line 512 is never answered.
  std::vector<std::string> over = chunked(stream.substr(0, stream.size() - 100));
  over.push_back(stream.substr(stream.size() - 100) + " ");
  const Session overSession = runChunks(realRunner, over);
  EXPECT_EQ(overSession.status, 2);
  ASSERT_EQ(overSession.responses.size(), 512u);
  expectProtocolFailure(overSession.responses[511], "The protocol session exceeds the byte limit.");
}

TEST(NDJSONRunner, UnencodableOrOversizedResponsesWriteNothingAndEndWithThree) {
  const NDJSONRunner oversized([](std::string_view line) {
    HelperResponse response = HelperResponse::hello(kRequestId);
    if (line == "big") response.helperVersion = std::string(262144, 'v');
    return response;
  });
  const Session big = runChunks(oversized, {"small\nbig\nsmall\n"});
  EXPECT_EQ(big.status, 3);
  EXPECT_EQ(big.responses.size(), 1u);

  const NDJSONRunner notUTF8([](std::string_view) {
    HelperResponse response = HelperResponse::hello(kRequestId);
    response.helperVersion = "\xff";
    return response;
  });
  const Session broken = runChunks(notUTF8, {"x"});
  EXPECT_EQ(broken.status, 3);
  EXPECT_TRUE(broken.raw.empty());
}

TEST(NDJSONRunner, EveryResponseIsOneCompleteWrite) {
  // A reader that takes one byte at a time still sees whole lines: the runner
  // finishes short writes itself.
  int pipeEnds[2];
  ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
  UniqueFd outRead(pipeEnds[0]);
  UniqueFd outWrite(pipeEnds[1]);
  UniqueFd input(::memfd_create("requests", MFD_CLOEXEC));
  std::string stream;
  for (int index = 0; index < 300; ++index) stream += hello() + "\n";
  ASSERT_EQ(::write(input.get(), stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
  ::lseek(input.get(), 0, SEEK_SET);
  std::string received;
  std::thread drain([&] {
    char byte;
    while (::read(outRead.get(), &byte, 1) == 1) received.push_back(byte);
  });
  EXPECT_EQ(realRunner.run(input.borrow(), outWrite.borrow()), 0);
  outWrite.reset();
  drain.join();
  EXPECT_EQ(std::count(received.begin(), received.end(), '\n'), 300);
}

}  // namespace
}  // namespace quorvantelmic
