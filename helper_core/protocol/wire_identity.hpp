// A file identity as JSON: the seven decimal strings under their wire names,
// as every request and response that carries an identity writes them.
#pragma once

#include <nlohmann/json.hpp>

#include "helper_core/protocol/wire_records.hpp"

namespace quorvantelmic {

nlohmann::json fileIdentityJson(const ProtocolFileIdentity& identity);

}  // namespace quorvantelmic
