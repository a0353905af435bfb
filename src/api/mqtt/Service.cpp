#include "api/mqtt/Service.h"

#include "Utils.h"
#include "api/mqtt/JsonText.h"
#include "api/mqtt/Secrets.h"

#include <thread>

namespace zelmo::Corvane::API::MQTT {

thread_local bool Service::sHandlingRequest = false;

namespace {
// Longest wait for the farewell status to reach the broker before disconnecting.
constexpr int kFarewellWaitMs = 1000;
} // namespace

Service::Service(std::shared_ptr<Engine> engine) : Service(std::move(engine), DefaultRetryDelay) {}

Service::Service(std::shared_ptr<Engine> engine, std::chrono::milliseconds retryDelay)
    : Logger("MQTT::Service"), mEngine(std::move(engine)), mClient(this),
      mGate(std::make_shared<LifetimeGate<Service>>(this)), mRetries(retryDelay),
      mControl(std::chrono::milliseconds(0)) {
    auto gate = mGate;

    const int metricsId = mEngine->metricsChanged.connect([gate] {
        if (LifetimeGate<Service>::Pass service{*gate})
            service->onMetricsChanged();
    });
    mSignalDisconnects.push_back(
        [engine = mEngine.get(), metricsId] { engine->metricsChanged.disconnect(metricsId); });

    mEngine->addStatusCallback([gate](const Status& status) {
        if (LifetimeGate<Service>::Pass service{*gate})
            service->statusCallback(status);
    });
    mEngine->addGetConfigCallback("mqtt", [gate]() -> json {
        LifetimeGate<Service>::Pass service{*gate};
        return service ? service->getConfigCallback() : json::object();
    });
    mEngine->addSetConfigCallback("mqtt", [gate](json section) {
        if (LifetimeGate<Service>::Pass service{*gate})
            service->setConfigCallback(section);
    });
}

Service::~Service() {
    mRetries.cancel();
    mControl.cancel();
    mClient.setListener(nullptr);
    {
        std::lock_guard<std::mutex> lock(mConnectionsMutex);
        for (const auto& disconnect : mSignalDisconnects)
            disconnect();
        mSignalDisconnects.clear();
    }
    mGate->close();
}

void Service::start() {
    std::lock_guard<std::recursive_mutex> lock(mLifecycleMutex);
    if (mStarted)
        return;
    mStarted = true;
    log(Log::Info, "MQTT::Service starting...");
    const std::string clientId = "corvane" + Utils::getProcessId();
    log(Log::Info, "Connecting to MQTT broker %s (clientId=%s).", mConfig.url().c_str(), clientId.c_str());
    mClient.setClientId(clientId);
    mClient.setUrl(mConfig.url());
    mClient.setUsername(mConfig.username());
    mClient.setPassword(mConfig.password());
    mClient.connect();
}

void Service::stop() {
    std::lock_guard<std::recursive_mutex> lock(mLifecycleMutex);
    if (!mStarted)
        return;
    mStarted = false;
    mRetries.cancel();
    log(Log::Info, "Publishing last will...");
    try {
        publishStatus(mEngine->getStatus(), 2);
        mClient.wait(kFarewellWaitMs);
    } catch (const std::exception& e) {
        log(Log::Error, "Farewell status failed: %s", e.what());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    log(Log::Info, "Stopping MQTT::Service...");
    mClient.disconnect(0);
    log(Log::Info, "MQTT::Service stopped");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

void Service::restart() {
    std::lock_guard<std::recursive_mutex> lock(mLifecycleMutex);
    log(Log::Info, "Restarting...");
    if (mStarted) {
        stop();
        start();
    }
    log(Log::Info, "Restarted!");
}

void Service::publish(const Message& message) {
    const std::string topic = Utils::combinePath(mConfig.base(), message.topic);
    log(Log::Info, "Publishing message %s : %s", topic.c_str(), message.payload.c_str());
    const bool published = mClient.publish(topic, message.payload, message.qos, message.retained);
    log(Log::Info, "Published: %s", published ? "true" : "false");
}

Service::json Service::getConfigCallback() {
    return mConfig.toJson();
}

void Service::setConfigCallback(const json& section) {
    log(Log::Debug, "setConfigCallback()");
    json change = section;
    if (change.is_object()) {
        // A document read back from a publication carries the mask, not the password.
        auto password = change.find("password");
        if (password != change.end() && password->is_string() && password->get<std::string>() == PasswordMask)
            change.erase(password);
    }
    const json before = mConfig.toJson();
    if (change == before)
        return;
    mConfig.updateFromJson(change);
    if (mConfig.toJson() == before)
        return;
    if (!mStarted) {
        restart();
        return;
    }
    // A change made by a request ("config/set") reconnects only once that request's answer is out:
    // onMessageReceived schedules the restart when it is done. Any other change reconnects now, on
    // the control thread.
    if (sHandlingRequest) {
        mRestartAfterRequest = true;
        return;
    }
    mControl.schedule([this] { restart(); });
}

void Service::reconnect() {
    std::lock_guard<std::recursive_mutex> lock(mLifecycleMutex);
    if (!mStarted || mClient.isConnected())
        return;
    mClient.setUrl(mConfig.url());
    mClient.setUsername(mConfig.username());
    mClient.setPassword(mConfig.password());
    mClient.connect();
}

void Service::onConnected() {
    log(Log::Info, "Connected to MQTT Broker");
    if (!mStarted) {
        // stop() came while this connection was being made: it must not serve requests.
        mClient.disconnect(0);
        return;
    }
    connectEngineHandlers();
    subscribeAll();
    try {
        publishStatus(mEngine->getStatus(), 2);
    } catch (const std::exception& e) {
        log(Log::Error, "Publishing state failed: %s", e.what());
    }
    Message message;
    const Message none;
    for (auto producer : {&Service::getConfig, &Service::getInfo, &Service::getMetrics}) {
        try {
            message = Message{};
            (this->*producer)(none, message);
            publish(message);
        } catch (const std::exception& e) {
            log(Log::Error, "Publishing state failed: %s", e.what());
        }
    }
}

void Service::onDisconnected() {
    log(Log::Info, "Disconnected from MQTT Broker.");
    if (mStarted)
        mRetries.schedule([this] { reconnect(); });
}

void Service::onConnectFailed(const std::string& reason) {
    log(Log::Error, "Connection failed (reason=%s).", reason.c_str());
    if (mStarted)
        mRetries.schedule([this] { reconnect(); });
}

void Service::onSubscribeFailed(const std::string& topic) {
    log(Log::Error, "Failed to subscribe to topic '%s'", topic.c_str());
    if (mStarted)
        mRetries.schedule([this, topic] { mClient.subscribe(topic, 0); });
}

void Service::onUnsubscribeFailed(const std::string& topic) {
    log(Log::Error, "Failed to unsubscribe from topic '%s'", topic.c_str());
    if (mStarted)
        mRetries.schedule([this, topic] { mClient.unsubscribe(topic); });
}

void Service::onSubscribed(const std::string& topic) {
    log(Log::Info, "Subscribed to topic '%s'.", topic.c_str());
}

void Service::onUnsubscribed(const std::string& topic) {
    log(Log::Info, "Unsubscribed from topic '%s'.", topic.c_str());
}

void Service::onMessageSent(int id) {
    log(Log::Debug, "MQTT message sent (id=%d).", id);
}

void Service::onMessageDelivered(int id) {
    log(Log::Debug, "MQTT message delivered (id=%d).", id);
}

void Service::onMessageSendFailed(int id) {
    log(Log::Error, "Message send failed (id=%d).", id);
}

void Service::subscribeAll() {
    const std::string base = mConfig.base();
    auto subscribe = [this](const std::string& topic) {
        log(Log::Info, "Subscribing to topic '%s'.", topic.c_str());
        mClient.subscribe(topic, 0);
    };
    for (const auto& [key, handler] : mSubscriptions)
        subscribe(Utils::combinePath(base, key));
    for (const auto& [key, handler] : mRpcSubscriptions)
        subscribe(Utils::combinePath(base, key) + "/request/+");
    if (!mConfig.tollenBase().empty())
        subscribe(tollenStateMachineTopic());
}

// Once per service: handlers connected again on every connection would publish every event once
// per connection made so far.
void Service::connectEngineHandlers() {
    std::call_once(mEngineHandlersOnce, [this] {
        auto gate = mGate;
        auto forward = [gate](auto method) {
            return [gate, method](auto... args) {
                if (LifetimeGate<Service>::Pass service{*gate})
                    ((*service).*method)(args...);
            };
        };
        Engine& engine = *mEngine;
        std::lock_guard<std::mutex> lock(mConnectionsMutex);
        const int fwProgress = engine.firmwareUpgradeProgress.connect(
            [f = forward(&Service::onFirmwareUpgradeProgress)](float p) { f(p); });
        const int fwFinished = engine.firmwareUpgradeFinished.connect(
            [f = forward(&Service::onFirmwareUpgradeFinished)](std::error_code ec) { f(ec); });
        const int resProgress = engine.resourceLoadProgress.connect(
            [f = forward(&Service::onResourceLoadProgress)](float p) { f(p); });
        const int resFinished = engine.resourceLoadFinished.connect(
            [f = forward(&Service::onResourceLoadFinished)](std::error_code ec) { f(ec); });
        const int powerCycle =
            engine.powerCycleRequired.connect([f = forward(&Service::onPowerCycleRequired)] { f(); });
        mSignalDisconnects.push_back([&engine, fwProgress, fwFinished, resProgress, resFinished, powerCycle] {
            engine.firmwareUpgradeProgress.disconnect(fwProgress);
            engine.firmwareUpgradeFinished.disconnect(fwFinished);
            engine.resourceLoadProgress.disconnect(resProgress);
            engine.resourceLoadFinished.disconnect(resFinished);
            engine.powerCycleRequired.disconnect(powerCycle);
        });
    });
}

} // namespace zelmo::Corvane::API::MQTT
