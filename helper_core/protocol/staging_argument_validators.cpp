#include "helper_core/protocol/staging_argument_validators.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <set>

#include "helper_core/protocol/helper_limits.hpp"

namespace quorvantelmic {

namespace {
constexpr std::size_t maximumDecimalBytes = 20;
constexpr std::size_t stagedNameMaximumBytes = 96;

// "0", or a digit 1-9 followed by digits, at most 20 bytes.
bool isCanonicalUnsignedText(std::string_view text) {
  if (text.empty() || text.size() > maximumDecimalBytes) return false;
  if (text == "0") return true;
  if (text.front() < '1' || text.front() > '9') return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

template <typename Integer>
bool fits(std::string_view text) {
  Integer value{};
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

const std::string& stringOf(const JsonValue* value) { return value->get_ref<const std::string&>(); }

[[noreturn]] void identityFieldInvalid(std::string_view fieldName) {
  throwInvalidRequest("The file identity " + std::string(fieldName) + " is invalid.");
}

std::string requireNanoseconds(const JsonValue* value, std::string_view fieldName, std::string_view rangeMessage) {
  std::string text = requireCanonicalUnsignedDecimal(value, fieldName);
  if (text.size() > 9) throwInvalidRequest(rangeMessage);  // canonical, so ten or more digits means >= 10^9
  return text;
}
}  // namespace

void requireExactKeys(const JsonValue& object, std::initializer_list<std::string_view> keys) {
  bool exact = object.size() == keys.size();
  for (const auto key : keys) exact = exact && object.contains(key);
  if (!exact) throwInvalidRequest("The request contains missing or unknown fields.");
}

std::string requireCanonicalUnsignedDecimal(const JsonValue* value, std::string_view fieldName) {
  if (value == nullptr || !value->is_string() || !isCanonicalUnsignedText(stringOf(value)) ||
      !fits<std::uint64_t>(stringOf(value))) {
    identityFieldInvalid(fieldName);
  }
  return stringOf(value);
}

std::string requireCanonicalSignedDecimal(const JsonValue* value, std::string_view fieldName) {
  if (value == nullptr || !value->is_string()) identityFieldInvalid(fieldName);
  const std::string_view text = stringOf(value);
  const bool negative = text.starts_with('-');
  const std::string_view magnitude = negative ? text.substr(1) : text;
  if (text.size() > maximumDecimalBytes || !isCanonicalUnsignedText(magnitude) || (negative && magnitude == "0") ||
      !fits<std::int64_t>(text)) {
    identityFieldInvalid(fieldName);
  }
  return std::string(text);
}

ProtocolFileIdentity requireFileIdentity(const JsonValue* value) {
  if (value == nullptr || !value->is_object()) throwInvalidRequest("The file identity is invalid.");
  requireExactKeys(*value, {"device", "inode", "size", "modifiedSeconds", "modifiedNanoseconds",
                            "statusChangedSeconds", "statusChangedNanoseconds"});
  ProtocolFileIdentity identity;
  identity.device = requireCanonicalUnsignedDecimal(member(*value, "device"), "device");
  identity.inode = requireCanonicalUnsignedDecimal(member(*value, "inode"), "inode");
  identity.size = requireCanonicalUnsignedDecimal(member(*value, "size"), "size");
  identity.modifiedSeconds = requireCanonicalSignedDecimal(member(*value, "modifiedSeconds"), "modified seconds");
  identity.modifiedNanoseconds = requireNanoseconds(member(*value, "modifiedNanoseconds"), "modified nanoseconds",
                                                    "The modified nanoseconds are invalid.");
  identity.statusChangedSeconds =
      requireCanonicalSignedDecimal(member(*value, "statusChangedSeconds"), "status changed seconds");
  identity.statusChangedNanoseconds =
      requireNanoseconds(member(*value, "statusChangedNanoseconds"), "status changed nanoseconds",
                         "The status changed nanoseconds are invalid.");
  return identity;
}

std::string requireSha256(const JsonValue* value) {
  bool valid = value != nullptr && value->is_string() && stringOf(value).size() == 64;
  if (valid) {
    for (const char c : stringOf(value)) valid = valid && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
  }
  if (!valid) throwInvalidRequest("The SHA-256 value is invalid.");
  return stringOf(value);
}

std::vector<std::string> requireOutputNames(const JsonValue* value) {
  constexpr std::string_view inventoryMessage = "The staged output-name inventory is invalid.";
  if (value == nullptr || !value->is_array() || value->empty() ||
      value->size() > static_cast<std::size_t>(HelperLimits::maximumOutputSetFiles)) {
    throwInvalidRequest(inventoryMessage);
  }
  std::vector<std::string> names;
  names.reserve(value->size());
  for (const auto& element : *value) names.push_back(requireBoundedString(&element, stagedNameMaximumBytes, "output name"));
  if (std::set<std::string>(names.begin(), names.end()).size() != names.size()) throwInvalidRequest(inventoryMessage);
  for (const auto& name : names) {
    if (!parseStagedOutputName(name)) throwInvalidRequest(inventoryMessage);
  }
  return names;
}

std::vector<StagedOutputBinding> requireStagedOutputBindings(const JsonValue* value,
                                                             const std::vector<std::string>& allowedOutputNames) {
  if (value == nullptr || !value->is_array() || value->size() > allowedOutputNames.size()) {
    throwInvalidRequest("The staged output binding inventory is invalid.");
  }
  const std::set<std::string, std::less<>> allowed(allowedOutputNames.begin(), allowedOutputNames.end());
  std::vector<StagedOutputBinding> bindings;
  std::set<std::string, std::less<>> seen;
  for (const auto& element : *value) {
    if (!element.is_object()) throwInvalidRequest("A staged output binding is invalid.");
    requireExactKeys(element, {"outputName", "identity", "sha256"});
    StagedOutputBinding binding;
    binding.outputName = requireBoundedString(member(element, "outputName"), stagedNameMaximumBytes, "output name");
    if (!allowed.contains(binding.outputName)) {
      throwInvalidRequest("A staged output binding is outside the planned inventory.");
    }
    binding.identity = requireFileIdentity(member(element, "identity"));
    binding.sha256 = requireSha256(member(element, "sha256"));
    bindings.push_back(std::move(binding));
  }
  for (const auto& binding : bindings) {
    if (!seen.insert(binding.outputName).second) throwInvalidRequest("The staged output bindings must be unique.");
  }
  return bindings;
}

std::vector<PublishOutputSetMember> requirePublishOutputSetMembers(const JsonValue* value) {
  if (value == nullptr || !value->is_array() || value->empty() ||
      value->size() > static_cast<std::size_t>(HelperLimits::maximumOutputSetFiles)) {
    throwInvalidRequest("The publication output inventory is invalid.");
  }
  std::vector<PublishOutputSetMember> members;
  for (const auto& element : *value) {
    if (!element.is_object()) throwInvalidRequest("A publication output member is invalid.");
    requireExactKeys(element, {"outputName", "outputIdentity", "outputSha256", "outputBaseName", "outputExtension"});
    PublishOutputSetMember entry;
    entry.outputName = requireBoundedString(member(element, "outputName"), stagedNameMaximumBytes, "output name");
    const JsonValue* extension = member(element, "outputExtension");
    const auto declared = extension->is_string()
                              ? stagedOutputExtensionFromRawValue(extension->get_ref<const std::string&>())
                              : std::nullopt;
    if (!declared || parseStagedOutputName(entry.outputName) != declared) {
      throwInvalidRequest("A publication output extension is invalid.");
    }
    entry.outputExtension = std::string(rawValue(*declared));
    entry.outputIdentity = requireFileIdentity(member(element, "outputIdentity"));
    entry.outputSha256 = requireSha256(member(element, "outputSha256"));
    entry.outputBaseName = requireBoundedString(member(element, "outputBaseName"),
                                                static_cast<std::size_t>(HelperLimits::maximumOutputBaseNameUTF8Bytes),
                                                "output base name");
    members.push_back(std::move(entry));
  }
  std::set<std::string, std::less<>> seen;
  for (const auto& entry : members) {
    if (!seen.insert(entry.outputName).second) throwInvalidRequest("Publication output names must be unique.");
  }
  return members;
}

}  // namespace quorvantelmic
