// The shared field validators of request decoding. Each takes the raw JSON value
// found under a key (nullptr when the key is absent) and returns the typed value
// or throws HelperFault invalid-request with its fixed message. They are pure:
// no file is touched, nothing is remembered.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "helper_core/image/raster_types.hpp"

namespace quorvantelmic {

using JsonValue = nlohmann::json;

// A number (never a Boolean) whose double value is finite and whole and lies in
// the signed 64-bit range. Returns no value otherwise; callers choose the message.
std::optional<std::int64_t> exactInteger(const JsonValue* value);
// A number (never a Boolean) whose double value is finite. Integers are accepted.
std::optional<double> exactDouble(const JsonValue* value);

bool isCanonicalUUID(std::string_view text);
std::string requireCanonicalUUID(const JsonValue* value);
std::string requirePathString(const JsonValue* value);
std::string requireBoundedString(const JsonValue* value, std::size_t maximumUTF8Bytes, std::string_view fieldName);
std::optional<std::int64_t> requireOptionalResizeDimension(const JsonValue* value, std::string_view fieldName);
std::string requireInheritedSourcePath(const JsonValue* value);
std::vector<std::string> requireInheritedSourcePaths(const JsonValue* value, std::size_t minimumCount,
                                                     std::size_t maximumCount);
std::string requireStagedOutputPath(const JsonValue* value, StagedOutputExtension extension);
std::vector<std::string> requireStagedOutputPaths(const JsonValue* value, StagedOutputExtension extension);

// Throws HelperFault invalid-request with `message`.
[[noreturn]] void throwInvalidRequest(std::string_view message);

// The value under `key` of `object`, or nullptr.
const JsonValue* member(const JsonValue& object, std::string_view key);

}  // namespace quorvantelmic
