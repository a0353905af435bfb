#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace zelmo::Corvane::API::MQTT {

// Compact text of a document. Strings that are not valid UTF-8 (an exception text quoting the bytes
// of a bad request, for instance) are written with replacement characters instead of throwing.
inline std::string toText(const nlohmann::json& doc) {
    return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace zelmo::Corvane::API::MQTT
