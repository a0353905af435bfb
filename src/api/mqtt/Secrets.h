#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace zelmo::Corvane::API::MQTT {

// What every published, answered or logged configuration shows instead of the broker password.
inline constexpr const char* PasswordMask = "********";

// The configuration document with "mqtt"/"password" masked.
nlohmann::json maskSecrets(nlohmann::json config);
// Removes a masked "mqtt"/"password" from a configuration change, so the stored password stays.
void dropMaskedSecrets(nlohmann::json& config);
// Setting-store key of the password in the accumulated configuration ("mqtt/password").
inline constexpr const char* PasswordKey = "mqtt/password";

} // namespace zelmo::Corvane::API::MQTT
