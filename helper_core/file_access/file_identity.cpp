#include "helper_core/file_access/file_identity.hpp"

#include <charconv>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "helper_core/protocol/helper_error.hpp"

namespace quorvantelmic {

namespace {

[[noreturn]] void outsideRange() {
  throw HelperFault(HelperErrorCode::invalidRequest, "The file identity is outside the platform range.");
}

// An optional single sign, then one or more ASCII digits and nothing else.
template <typename Integer>
std::optional<Integer> parseDecimal(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  if constexpr (std::is_unsigned_v<Integer>) {
    Integer value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (negative && value != 0) return std::nullopt;  // "-0" is zero; any other negative does not fit
    return value;
  } else {
    // Parse the magnitude unsigned so that the most negative value fits.
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    constexpr auto maximum = static_cast<std::uint64_t>(std::numeric_limits<Integer>::max());
    if (!negative) {
      if (magnitude > maximum) return std::nullopt;
      return static_cast<Integer>(magnitude);
    }
    if (magnitude > maximum + 1) return std::nullopt;
    if (magnitude == maximum + 1) return std::numeric_limits<Integer>::min();
    return static_cast<Integer>(-static_cast<Integer>(magnitude));
  }
}

template <typename Integer>
Integer require(const std::string& text) {
  const auto value = parseDecimal<Integer>(text);
  if (!value) outsideRange();
  return *value;
}

bool validNanoseconds(std::int64_t value) { return value >= 0 && value <= 999999999; }

}  // namespace

FileIdentity::FileIdentity(const ProtocolFileIdentity& protocolValue) {
  const auto parsedDevice = require<std::uint64_t>(protocolValue.device);
  const auto parsedInode = require<std::uint64_t>(protocolValue.inode);
  const auto parsedSize = require<std::uint64_t>(protocolValue.size);
  const auto parsedModifiedSeconds = require<std::int64_t>(protocolValue.modifiedSeconds);
  const auto parsedModifiedNanoseconds = require<std::int64_t>(protocolValue.modifiedNanoseconds);
  const auto parsedStatusChangedSeconds = require<std::int64_t>(protocolValue.statusChangedSeconds);
  const auto parsedStatusChangedNanoseconds = require<std::int64_t>(protocolValue.statusChangedNanoseconds);

  if (parsedDevice > std::numeric_limits<dev_t>::max()) outsideRange();
  if (parsedSize > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) outsideRange();
  if (!validNanoseconds(parsedModifiedNanoseconds) || !validNanoseconds(parsedStatusChangedNanoseconds)) {
    outsideRange();
  }

  device = static_cast<dev_t>(parsedDevice);
  inode = parsedInode;
  size = static_cast<std::int64_t>(parsedSize);
  modifiedSeconds = parsedModifiedSeconds;
  modifiedNanoseconds = parsedModifiedNanoseconds;
  statusChangedSeconds = parsedStatusChangedSeconds;
  statusChangedNanoseconds = parsedStatusChangedNanoseconds;
}

FileIdentity FileIdentity::of(const struct stat& status) noexcept {
  FileIdentity identity;
  identity.device = status.st_dev;
  identity.inode = static_cast<std::uint64_t>(status.st_ino);
  identity.size = static_cast<std::int64_t>(status.st_size);
  identity.modifiedSeconds = static_cast<std::int64_t>(status.st_mtim.tv_sec);
  identity.modifiedNanoseconds = static_cast<std::int64_t>(status.st_mtim.tv_nsec);
  identity.statusChangedSeconds = static_cast<std::int64_t>(status.st_ctim.tv_sec);
  identity.statusChangedNanoseconds = static_cast<std::int64_t>(status.st_ctim.tv_nsec);
  return identity;
}

ProtocolFileIdentity FileIdentity::protocolValue() const {
  return ProtocolFileIdentity{
      std::to_string(device),
      std::to_string(inode),
      std::to_string(size),
      std::to_string(modifiedSeconds),
      std::to_string(modifiedNanoseconds),
      std::to_string(statusChangedSeconds),
      std::to_string(statusChangedNanoseconds),
  };
}

}  // namespace quorvantelmic
