#pragma once

#include <string>

namespace zelmo::Corvane::API::MQTT {

// One MQTT message: a request, a response or an event. The topic is relative to the service's base
// topic unless said otherwise.
struct Message {
    std::string topic;
    std::string payload;
    int qos = 0;
    bool retained = false;
};

} // namespace zelmo::Corvane::API::MQTT
