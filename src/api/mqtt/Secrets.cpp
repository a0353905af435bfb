#include "api/mqtt/Secrets.h"

namespace zelmo::Corvane::API::MQTT {

nlohmann::json maskSecrets(nlohmann::json config) {
    if (config.is_object()) {
        auto section = config.find("mqtt");
        if (section != config.end() && section->is_object() && section->contains("password"))
            (*section)["password"] = PasswordMask;
    }
    return config;
}

void dropMaskedSecrets(nlohmann::json& config) {
    if (!config.is_object())
        return;
    auto section = config.find("mqtt");
    if (section == config.end() || !section->is_object())
        return;
    auto password = section->find("password");
    if (password != section->end() && password->is_string() && password->get<std::string>() == PasswordMask)
        section->erase(password);
}

} // namespace zelmo::Corvane::API::MQTT
