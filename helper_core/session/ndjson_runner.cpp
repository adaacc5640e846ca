#include "helper_core/session/ndjson_runner.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "helper_core/protocol/helper_limits.hpp"
#include "helper_core/protocol/strict_request_decoder.hpp"

namespace quorvantelmic {

namespace {

// Writes all of `bytes`, retrying interrupted and short writes. A descriptor
// opened non-blocking by the parent is waited on rather than abandoned. A write
// that fails for good (the parent closed the pipe) is not reported: the session
// goes on until its input ends.
void writeFully(BorrowedFd output, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(output.get(), bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd waiter{output.get(), POLLOUT, 0};
      if (::poll(&waiter, 1, -1) >= 0 || errno == EINTR) continue;
    }
    return;
  }
}

// Reads up to one chunk. Returns the byte count, 0 at end of input, or -1 when
// the input can no longer be read.
ssize_t readChunk(BorrowedFd input, char* buffer, std::size_t capacity) {
  for (;;) {
    const ssize_t got = ::read(input.get(), buffer, capacity);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd waiter{input.get(), POLLIN, 0};
      if (::poll(&waiter, 1, -1) >= 0 || errno == EINTR) continue;
    }
    return -1;
  }
}

bool emit(const HelperResponse& response, BorrowedFd output) {
  std::string line;
  try {
    line = encodeResponse(response);
  } catch (...) {
    return false;
  }
  line.push_back('\n');
  writeFully(output, line);
  return true;
}

void emitProtocolFailure(HelperErrorCode code, std::string_view message, BorrowedFd output) {
  emit(HelperResponse::failure(std::string(defaultRequestId), HelperOperation::protocolFailure, code, message),
       output);
}

bool endsSession(const HelperResponse& response) {
  if (!response.error) return false;
  if (response.error->code == HelperErrorCode::invalidRequest) return true;
  return response.error->code == HelperErrorCode::resourceLimit &&
         response.operation == HelperOperation::protocolFailure;
}

constexpr std::string_view byteLimitMessage = "The protocol session exceeds the byte limit.";
constexpr std::string_view requestLimitMessage = "The protocol session exceeds the request limit.";
constexpr std::string_view lineLimitMessage = "The request line exceeds the protocol limit.";

void dropTrailingCarriageReturn(std::string& line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
}

}  // namespace

int NDJSONRunner::run(BorrowedFd input, BorrowedFd output) const {
  const auto lineLimit = static_cast<std::size_t>(HelperLimits::maximumProtocolLineBytes);
  std::string pending;
  pending.reserve(lineLimit + readChunkBytes);
  std::int64_t bytesRead = 0;
  std::int64_t requestsProcessed = 0;
  char chunk[readChunkBytes];

  for (;;) {
    const ssize_t got = readChunk(input, chunk, sizeof chunk);
    if (got < 0) return exitProtocolFailure;  // an unreadable input ends the session without acting on partial data
    if (got == 0) break;

    if (bytesRead + got > HelperLimits::maximumProtocolSessionBytes) {
      emitProtocolFailure(HelperErrorCode::resourceLimit, byteLimitMessage, output);
      return exitProtocolFailure;
    }
    bytesRead += got;
    pending.append(chunk, static_cast<std::size_t>(got));

    std::size_t consumed = 0;
    for (;;) {
      const std::size_t feed = pending.find('\n', consumed);
      if (feed == std::string::npos) break;
      std::string line = pending.substr(consumed, feed - consumed);
      consumed = feed + 1;
      dropTrailingCarriageReturn(line);

      if (requestsProcessed + 1 > HelperLimits::maximumProtocolRequests) {
        emitProtocolFailure(HelperErrorCode::resourceLimit, requestLimitMessage, output);
        return exitProtocolFailure;
      }
      if (line.size() > lineLimit) {
        emitProtocolFailure(HelperErrorCode::resourceLimit, lineLimitMessage, output);
        return exitProtocolFailure;
      }
      const HelperResponse response = processor_(line);
      if (!emit(response, output)) return exitEncodingFailure;
      if (endsSession(response)) return exitProtocolFailure;
      ++requestsProcessed;
    }
    pending.erase(0, consumed);

    if (pending.size() > lineLimit) {
      emitProtocolFailure(HelperErrorCode::resourceLimit, lineLimitMessage, output);
      return exitProtocolFailure;
    }
  }

  if (pending.empty()) return exitNormal;
  dropTrailingCarriageReturn(pending);
  if (requestsProcessed + 1 > HelperLimits::maximumProtocolRequests) {
    emitProtocolFailure(HelperErrorCode::resourceLimit, requestLimitMessage, output);
    return exitProtocolFailure;
  }
  const HelperResponse response = processor_(pending);
  if (!emit(response, output)) return exitEncodingFailure;
  if (response.error && response.error->code == HelperErrorCode::invalidRequest) return exitProtocolFailure;
  return exitNormal;
}

}  // namespace quorvantelmic
