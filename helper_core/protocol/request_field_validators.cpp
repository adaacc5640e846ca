#include "helper_core/protocol/request_field_validators.hpp"

#include <cmath>
#include <set>

#include "helper_core/protocol/helper_error.hpp"
#include "helper_core/protocol/helper_limits.hpp"
#include "helper_core/protocol/inherited_descriptors.hpp"

namespace quorvantelmic {

namespace {
constexpr std::string_view inheritedDescriptorPrefix = "/dev/fd/";

// 2^63 as a double: the first value past the signed 64-bit range.
constexpr double twoToThe63 = 9223372036854775808.0;

std::optional<double> numberAsDouble(const JsonValue* value) {
  if (value == nullptr || !value->is_number()) return std::nullopt;  // is_number excludes Booleans
  return value->get<double>();
}

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool containsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }
}  // namespace

void throwInvalidRequest(std::string_view message) {
  throw HelperFault(HelperErrorCode::invalidRequest, std::string(message));
}

const JsonValue* member(const JsonValue& object, std::string_view key) {
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

std::optional<std::int64_t> exactInteger(const JsonValue* value) {
  const auto number = numberAsDouble(value);
  if (!number || !std::isfinite(*number) || std::trunc(*number) != *number) return std::nullopt;
  if (*number < -twoToThe63 || *number >= twoToThe63) return std::nullopt;
  return static_cast<std::int64_t>(*number);
}

std::optional<double> exactDouble(const JsonValue* value) {
  const auto number = numberAsDouble(value);
  if (!number || !std::isfinite(*number)) return std::nullopt;
  return number;
}

bool isCanonicalUUID(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t index = 0; index < text.size(); ++index) {
    const bool hyphenPlace = index == 8 || index == 13 || index == 18 || index == 23;
    if (hyphenPlace ? text[index] != '-' : !isHexDigit(text[index])) return false;
  }
  // The nil and the maximum identifier carry no version or variant.
  bool nil = true;
  bool maximum = true;
  for (const char c : text) {
    if (c == '-') continue;
    nil = nil && c == '0';
    maximum = maximum && (c == 'f' || c == 'F');
  }
  if (nil || maximum) return true;
  const char version = text[14];
  const char variant = text[19];
  const bool versionValid = version >= '1' && version <= '8';
  const bool variantValid = variant == '8' || variant == '9' || variant == 'a' || variant == 'b' || variant == 'A' ||
                            variant == 'B';
  return versionValid && variantValid;
}

std::string requireCanonicalUUID(const JsonValue* value) {
  if (value == nullptr || !value->is_string() || !isCanonicalUUID(value->get_ref<const std::string&>())) {
    throwInvalidRequest("The request ID must be a canonical UUID.");
  }
  return value->get<std::string>();
}

std::string requirePathString(const JsonValue* value) {
  if (value == nullptr || !value->is_string()) throwInvalidRequest("The file path must be a bounded absolute path.");
  const auto& text = value->get_ref<const std::string&>();
  if (!text.starts_with('/') || containsNul(text) ||
      text.size() > static_cast<std::size_t>(HelperLimits::maximumPathUTF8Bytes)) {
    throwInvalidRequest("The file path must be a bounded absolute path.");
  }
  return text;
}

std::string requireBoundedString(const JsonValue* value, std::size_t maximumUTF8Bytes, std::string_view fieldName) {
  if (value == nullptr || !value->is_string() || value->get_ref<const std::string&>().empty() ||
      containsNul(value->get_ref<const std::string&>()) ||
      value->get_ref<const std::string&>().size() > maximumUTF8Bytes) {
    throwInvalidRequest("The " + std::string(fieldName) + " is invalid.");
  }
  return value->get<std::string>();
}

std::optional<std::int64_t> requireOptionalResizeDimension(const JsonValue* value, std::string_view fieldName) {
  if (value != nullptr && value->is_null()) return std::nullopt;
  const auto dimension = exactInteger(value);
  if (!dimension || *dimension < 1 || *dimension > HelperLimits::maximumResizeDimension) {
    throwInvalidRequest("The " + std::string(fieldName) + " is outside the allowed range.");
  }
  return dimension;
}

std::string requireInheritedSourcePath(const JsonValue* value) {
  if (value == nullptr || !value->is_string() ||
      !value->get_ref<const std::string&>().starts_with(inheritedDescriptorPrefix)) {
    throwInvalidRequest("A PDF source must use an inherited descriptor path.");
  }
  const auto& text = value->get_ref<const std::string&>();
  const std::string_view digits = std::string_view(text).substr(inheritedDescriptorPrefix.size());
  // Canonical decimal text of 3 to 1023: at most four digits, no leading zero.
  bool canonical = !digits.empty() && digits.size() <= 4 && digits.front() != '0';
  int number = 0;
  // Digits are only added up while the text can still be canonical, so a long
  // run of digits never overflows the number.
  for (const char c : digits) {
    if (!canonical || c < '0' || c > '9') {
      canonical = false;
      break;
    }
    number = number * 10 + (c - '0');
  }
  if (!canonical || number < 3 || number > 1023 || number == 4) {
    throwInvalidRequest("The inherited PDF source descriptor is invalid.");
  }
  return text;
}

std::vector<std::string> requireInheritedSourcePaths(const JsonValue* value, std::size_t minimumCount,
                                                     std::size_t maximumCount) {
  if (value == nullptr || !value->is_array() || value->size() < minimumCount || value->size() > maximumCount) {
    throwInvalidRequest("The inherited PDF source inventory is invalid.");
  }
  std::vector<std::string> paths;
  paths.reserve(value->size());
  for (const auto& element : *value) paths.push_back(requireInheritedSourcePath(&element));
  if (std::set<std::string>(paths.begin(), paths.end()).size() != paths.size()) {
    throwInvalidRequest("Inherited PDF source descriptors must be distinct.");
  }
  return paths;
}

std::string requireStagedOutputPath(const JsonValue* value, StagedOutputExtension extension) {
  if (value == nullptr || !value->is_string()) {
    throwInvalidRequest("The PDF output must use the inherited staging directory.");
  }
  const auto& text = value->get_ref<const std::string&>();
  if (!text.starts_with(inheritedStagingPrefix)) throwInvalidRequest("The staged PDF output path is invalid.");
  const std::string_view leaf = std::string_view(text).substr(inheritedStagingPrefix.size());
  const auto parsed = parseStagedOutputName(leaf);
  if (leaf.find('/') != std::string_view::npos || !parsed || *parsed != extension) {
    throwInvalidRequest("The staged PDF output path is invalid.");
  }
  return text;
}

std::vector<std::string> requireStagedOutputPaths(const JsonValue* value, StagedOutputExtension extension) {
  if (value == nullptr || !value->is_array() || value->empty() ||
      value->size() > static_cast<std::size_t>(HelperLimits::maximumOutputSetFiles)) {
    throwInvalidRequest("The staged PDF output inventory is invalid.");
  }
  std::vector<std::string> paths;
  paths.reserve(value->size());
  for (const auto& element : *value) paths.push_back(requireStagedOutputPath(&element, extension));
  if (std::set<std::string>(paths.begin(), paths.end()).size() != paths.size()) {
    throwInvalidRequest("Staged PDF output paths must be distinct.");
  }
  return paths;
}

}  // namespace quorvantelmic
