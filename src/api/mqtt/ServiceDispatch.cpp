#include "api/mqtt/Service.h"

#include "ErrorCode.h"
#include "Utils.h"
#include "api/mqtt/JsonText.h"
#include "api/mqtt/Secrets.h"

#include <stdexcept>

namespace zelmo::Corvane::API::MQTT {

namespace {
constexpr const char* kRequestSeparator = "/request/";
constexpr unsigned long kCrc16Mask = 0xFFFF;

// The mandatory string member of a long-operation request, or MalformedRequest.
std::error_code requestPath(const Logger& logger, const std::string& payload, const char* member,
                            std::string& path, Service::json& doc) {
    if (!payload.empty() && !Service::json::accept(payload)) {
        logger.log(Log::Warning, "Malformed JSON");
        return ErrorCode::MalformedRequest;
    }
    // An empty payload throws here and is answered through the RPC guard.
    doc = Service::json::parse(payload);
    if (!doc.is_object() || !doc.contains(member) || !doc[member].is_string()) {
        logger.log(Log::Warning, "Parameter '%s' is not a string", member);
        return ErrorCode::MalformedRequest;
    }
    path = doc[member].get<std::string>();
    return {};
}
} // namespace

const std::map<std::string, Service::Handler> Service::mSubscriptions = {
    {"config/get", &Service::getConfig}, {"config/set", &Service::setConfig},
    {"info/get", &Service::getInfo},     {"metrics/get", &Service::getMetrics},
    {"status/get", &Service::getStatus},
};

const std::map<std::string, Service::Handler> Service::mRpcSubscriptions = {
    {"clearJamming", &Service::clearJamming},
    {"dispose", &Service::dispose},
    {"eject", &Service::eject},
    {"firmwareUpgrade", &Service::firmwareUpgrade},
    {"metrics/clear", &Service::metricsClear},
    {"moveInner", &Service::park},
    {"park", &Service::park},
    {"print", &Service::print},
    {"reset", &Service::reset},
    {"resourcesLoad", &Service::loadResources},
    {"status/get", &Service::getStatusRpc},
};

std::string Service::removeBase(const std::string& topic) const {
    const std::string base = mConfig.base();
    const auto pos = topic.find(base);
    if (pos == std::string::npos)
        return topic;
    const auto rest = pos + base.size() + 1;
    return rest >= topic.size() ? std::string() : topic.substr(rest);
}

bool Service::isRpc(const std::string& topic) {
    const auto pos = topic.find(kRequestSeparator);
    return pos != std::string::npos && mRpcSubscriptions.contains(topic.substr(0, pos));
}

std::string Service::extractRpcCommand(const std::string& topic) {
    return topic.substr(0, topic.find(kRequestSeparator));
}

std::string Service::extractRpcID(const std::string& topic) {
    const auto pos = topic.find(kRequestSeparator);
    if (pos == std::string::npos)
        return {};
    return topic.substr(pos + std::char_traits<char>::length(kRequestSeparator));
}

Service::json Service::codeToJson(std::error_code ec) {
    if (!ec)
        return json{{"completed", true}};
    return json{{"completed", false}, {"error", {{"code", ec.value()}, {"what", ec.message()}}}};
}

Message Service::makeErrorMessage(const std::string& error, const std::string& command) const {
    log(Log::Info, "Command %s failed. Error message published to MQTT broker", command.c_str());
    return Message{"error", toText(json{{"command", command}, {"error", error}}), 0, false};
}

void Service::onMessageReceived(const std::string& topic, const std::string& payload, int qos,
                                bool retained) {
    log(Log::Info, "%s message received (qos=%d): %s", retained ? "Retained" : "New", qos, topic.c_str());
    const Message request{removeBase(topic), payload, qos, retained};
    Message response;
    sHandlingRequest = true;
    try {
        if (isRpc(request.topic)) {
            dispatchRpc(request, response);
        } else if (const auto handler = mSubscriptions.find(request.topic); handler != mSubscriptions.end()) {
            log(Log::Info, "Calling: %s", request.topic.c_str());
            if (const auto ec = (this->*handler->second)(request, response))
                publish(makeErrorMessage(ec.message(), topic));
        } else if (request.topic.find("state_machine") != std::string::npos) {
            onTollenStateMachine(request, response);
        } else {
            throw std::runtime_error("Invalid topic");
        }
        if (!response.payload.empty())
            publish(response);
    } catch (const std::exception& e) {
        log(Log::Warning, "Command failed: %s, reason: %s", request.topic.c_str(), e.what());
        publish(makeErrorMessage(e.what(), topic));
    } catch (...) {
        log(Log::Warning, "Command failed: %s, reason: %s", request.topic.c_str(), "unknown exception");
        publish(makeErrorMessage("unknown exception", topic));
    }
    sHandlingRequest = false;
    if (mRestartAfterRequest.exchange(false))
        mControl.schedule([this] { restart(); });
}

void Service::dispatchRpc(const Message& request, Message& response) {
    const std::string command = extractRpcCommand(request.topic);
    const std::string id = extractRpcID(request.topic);
    log(Log::Info, "Command: %s", command.c_str());
    log(Log::Info, "ID     : %s", id.c_str());

    json result;
    try {
        const Handler handler = mRpcSubscriptions.at(command);
        const std::error_code ec = (this->*handler)(request, response);
        if (!response.payload.empty())
            result = json::parse(response.payload);
        if (ec) {
            result["completed"] = false;
            result["error"] = {{"code", ec.value()}, {"description", ec.message()}};
        } else {
            result["completed"] = true;
        }
    } catch (const std::exception& e) {
        result = json{{"completed", false}, {"error", {{"code", 1}, {"description", e.what()}}}};
    } catch (...) {
        result = json{{"completed", false}, {"error", {{"code", 1}, {"description", "unknown exception"}}}};
    }
    response = Message{Utils::combinePath(command, "response/" + id), toText(result), 0, false};
}

std::error_code Service::getConfig(const Message&, Message& response) {
    response = Message{"config", toText(maskSecrets(mEngine->getConfig())), 2, true};
    return {};
}

std::error_code Service::setConfig(const Message& request, Message& response) {
    json doc = json::parse(request.payload);
    dropMaskedSecrets(doc);
    if (const auto ec = mEngine->setConfig(doc))
        return ec;
    return getConfig(request, response);
}

std::error_code Service::clearJamming(const Message&, Message&) {
    return mEngine->clearJamming();
}

std::error_code Service::dispose(const Message&, Message&) {
    return mEngine->dispose();
}

std::error_code Service::eject(const Message&, Message&) {
    return mEngine->eject();
}

std::error_code Service::metricsClear(const Message&, Message&) {
    return mEngine->clearMetrics();
}

std::error_code Service::park(const Message&, Message&) {
    return mEngine->park();
}

std::error_code Service::reset(const Message&, Message&) {
    return mEngine->reset();
}

std::error_code Service::print(const Message& request, Message&) {
    return mEngine->print(json::parse(request.payload));
}

std::error_code Service::firmwareUpgrade(const Message& request, Message&) {
    std::string path;
    json doc;
    if (const auto ec = requestPath(*this, request.payload, "firmware", path, doc))
        return ec;
    unsigned long crc = 0;
    if (const auto it = doc.find("crc16"); it != doc.end()) {
        if (it->is_string())
            crc = std::stoul(it->get<std::string>(), nullptr, 16);
        else if (it->is_number_unsigned())
            crc = it->get<unsigned long>();
    }
    {
        std::lock_guard<std::mutex> lock(mEventMutex);
        mFirmwareRequestId = extractRpcID(request.topic);
        mFirmwareProgress = 0;
    }
    return mEngine->firmwareUpgrade(path, static_cast<unsigned short>(crc & kCrc16Mask));
}

std::error_code Service::loadResources(const Message& request, Message&) {
    std::string path;
    json doc;
    if (const auto ec = requestPath(*this, request.payload, "resources", path, doc))
        return ec;
    {
        std::lock_guard<std::mutex> lock(mEventMutex);
        mResourceRequestId = extractRpcID(request.topic);
        mResourceProgress = 0;
    }
    return mEngine->loadResources(path);
}

std::error_code Service::getStatusRpc(const Message& request, Message& response) {
    return getStatus(request, response);
}

} // namespace zelmo::Corvane::API::MQTT
