// The closed set of wire error codes and the one fault type every component
// throws. A fault carries a fixed English sentence; the request processor turns
// it into the error object of a response.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace quorvantelmic {

enum class HelperErrorCode {
  invalidRequest,
  unsupportedSource,
  resourceLimit,
  decodeFailed,
  encodeFailed,
  outputExists,
  commitExhausted,
  filesystemPolicy,
  cancelled,
  internalError,
};

std::string_view wireString(HelperErrorCode code);
std::optional<HelperErrorCode> helperErrorCodeFromWire(std::string_view wire);

struct HelperErrorBody {
  HelperErrorCode code;
  std::string message;

  friend bool operator==(const HelperErrorBody&, const HelperErrorBody&) = default;
};

class HelperFault : public std::exception {
 public:
  HelperFault(HelperErrorCode code, std::string message) : code_(code), message_(std::move(message)) {}

  HelperErrorCode code() const noexcept { return code_; }
  const std::string& message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

  friend bool operator==(const HelperFault& a, const HelperFault& b) {
    return a.code_ == b.code_ && a.message_ == b.message_;
  }

 private:
  HelperErrorCode code_;
  std::string message_;
};

// Messages placed into an error body are cut to this many user-perceived
// characters (grapheme clusters), never in the middle of one.
inline constexpr std::size_t maximumMessageCharacters = 480;

// Returns the first `maximumMessageCharacters` grapheme clusters of `message`.
std::string cutMessage(std::string_view message);

// The generic message for every failure that is not a HelperFault.
inline constexpr std::string_view internalErrorMessage = "The helper could not complete the request.";

}  // namespace quorvantelmic
