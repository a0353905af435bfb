#pragma once

#include <mqtt/token.h>

#include <string>

// The first topic a subscribe or unsubscribe token refers to, or the empty string.
inline std::string firstTopicOf(const mqtt::token& token) {
    const auto topics = token.get_topics();
    if (!topics || topics->empty())
        return {};
    return (*topics)[0];
}
