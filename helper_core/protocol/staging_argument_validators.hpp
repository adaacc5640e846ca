// Validators used only by the staging and publication requests: wire file
// identities, canonical decimals, digests, output-name inventories, cleanup
// bindings and publication-set members. Each throws HelperFault invalid-request.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "helper_core/protocol/request_field_validators.hpp"
#include "helper_core/protocol/staging_request_arguments.hpp"

namespace quorvantelmic {

ProtocolFileIdentity requireFileIdentity(const JsonValue* value);
std::string requireCanonicalUnsignedDecimal(const JsonValue* value, std::string_view fieldName);
std::string requireCanonicalSignedDecimal(const JsonValue* value, std::string_view fieldName);
std::string requireSha256(const JsonValue* value);
std::vector<std::string> requireOutputNames(const JsonValue* value);
std::vector<StagedOutputBinding> requireStagedOutputBindings(const JsonValue* value,
                                                             const std::vector<std::string>& allowedOutputNames);
std::vector<PublishOutputSetMember> requirePublishOutputSetMembers(const JsonValue* value);

// Throws "The request contains missing or unknown fields." unless the keys of
// `object` are exactly `keys`.
void requireExactKeys(const JsonValue& object, std::initializer_list<std::string_view> keys);

}  // namespace quorvantelmic
