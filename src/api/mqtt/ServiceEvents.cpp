#include "api/mqtt/Service.h"

#include "BuildInfo.h"
#include "Utils.h"
#include "api/mqtt/JsonText.h"

namespace zelmo::Corvane::API::MQTT {

namespace {
constexpr const char* kTollenStateMachine = "psu/status/state_machine";
constexpr const char* kShutdown = "SHUTDOWN";

Service::json countsToJson(const Metrics::Counts& counts) {
    Service::json doc = Service::json::object();
    for (const auto& [status, count] : counts)
        doc[Dispensers::toStr(status)] = count;
    return doc;
}
} // namespace

void Service::injectMetrics(json& device) const {
    const Metrics metrics = mEngine->getMetrics();
    if (metrics.getPrintFailure())
        device["active"] = false;
    const auto counts = metrics.getPrintMetrics();
    device["printStats"] = counts.empty() ? json(nullptr) : countsToJson(counts);
}

Service::json Service::statusDevice(const Status& status) const {
    json device = status.toJson();
    injectMetrics(device);
    return device;
}

Service::json Service::statusDocument(const Status& status) const {
    return json{{"device", statusDevice(status)}, {"service", mStarted.load()}};
}

// Every retained status goes through here. The started flag is read under the same lock the
// farewell is published under, so no document saying "service": true can follow the farewell.
void Service::publishStatus(const Status& status, int qos) {
    const json device = statusDevice(status);
    std::lock_guard<std::mutex> lock(mStatusMutex);
    publish(Message{"status", toText(json{{"device", device}, {"service", mStarted.load()}}), qos, true});
}

std::error_code Service::getStatus(const Message&, Message& response) {
    response = Message{"status", toText(statusDocument(mEngine->getStatus())), 2, true};
    return {};
}

std::error_code Service::getInfo(const Message&, Message& response) {
    const json device = {
        {"firmware", mEngine->getFirmwareVersion().value_or("")},
        {"manufacturer", mEngine->getManufacturer().value_or("")},
        {"model", mEngine->getModel().value_or("")},
        {"type", mEngine->getConnectionType().value_or("")},
    };
    const json service = {{"type", "dispenser"}, {"version", getProjectVersion()}};
    response = Message{"info", toText(json{{"device", device}, {"service", service}}), 2, true};
    return {};
}

std::error_code Service::getMetrics(const Message&, Message& response) {
    const auto monotonic = mEngine->getMetrics().getMonotonic();
    const json doc = monotonic.empty() ? json(nullptr) : json{{"print", countsToJson(monotonic)}};
    response = Message{"metrics", toText(doc), 2, true};
    return {};
}

void Service::statusCallback(const Status& status) {
    try {
        publishStatus(status, 0);
    } catch (const std::exception& e) {
        log(Log::Error, "Publishing status failed: %s", e.what());
    }
    // The first status of the process comes with a driver: the info document has device data now.
    // Asking the engine for it takes the command lock, which this poll may still hold, so the
    // question is asked from the control thread.
    if (!mInfoSent.exchange(true)) {
        mControl.schedule([this] {
            try {
                Message info;
                getInfo(Message{}, info);
                publish(info);
            } catch (const std::exception& e) {
                log(Log::Error, "Publishing info failed: %s", e.what());
            }
        });
    }
}

void Service::onMetricsChanged() {
    try {
        publishStatus(mEngine->getStatus(), 2);
        Message message;
        getMetrics(Message{}, message);
        publish(message);
    } catch (const std::exception& e) {
        log(Log::Error, "Publishing metrics failed: %s", e.what());
    }
}

// One message per call at most: the reported value climbs by one towards the engine's value.
void Service::publishProgress(std::uint8_t& counter, float percent, const char* topic) {
    std::lock_guard<std::mutex> lock(mEventMutex);
    if (static_cast<float>(counter) > percent)
        return;
    ++counter;
    publish(Message{topic, toText(json{{"percent", counter}}), 0, false});
}

void Service::publishFinished(const std::optional<std::string>& id, const char* topic, std::error_code ec) {
    std::optional<std::string> requestId;
    {
        std::lock_guard<std::mutex> lock(mEventMutex);
        requestId = id;
    }
    if (!requestId)
        return;
    publish(Message{Utils::combinePath(topic, *requestId), toText(codeToJson(ec)), 0, false});
}

void Service::onFirmwareUpgradeProgress(float percent) {
    publishProgress(mFirmwareProgress, percent, "firmwareUpgrade/progress");
}

void Service::onFirmwareUpgradeFinished(std::error_code ec) {
    publishFinished(mFirmwareRequestId, "firmwareUpgrade/finished", ec);
}

void Service::onResourceLoadProgress(float percent) {
    publishProgress(mResourceProgress, percent, "resourceLoads/progress");
}

void Service::onResourceLoadFinished(std::error_code ec) {
    publishFinished(mResourceRequestId, "resourceLoads/finished", ec);
}

void Service::onPowerCycleRequired() {
    const std::string base = mConfig.tollenBase();
    const std::string reset = mConfig.tollenReset();
    if (base.empty() || reset.empty())
        return;
    mClient.publish(Utils::combinePath(base, reset), "", 0, false);
}

std::string Service::tollenStateMachineTopic() const {
    return Utils::combinePath(mConfig.tollenBase(), kTollenStateMachine);
}

std::error_code Service::onTollenStateMachine(const Message& request, Message&) {
    const json doc = json::parse(request.payload);
    // Anything but an object, null included, is the library's type error and becomes an error report.
    if (!doc.is_object())
        throw json::type_error::create(
            305, std::string("cannot use operator[] with a string argument with ") + doc.type_name(), &doc);
    const auto message = doc.find("message");
    if (message != doc.end() && message->is_string() && message->get<std::string>() == kShutdown)
        mEngine->park();
    return {};
}

} // namespace zelmo::Corvane::API::MQTT
