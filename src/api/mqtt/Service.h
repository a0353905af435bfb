#pragma once

#include "Engine.h"
#include "LifetimeGate.h"
#include "Logger.h"
#include "MQTTClient.h"
#include "MQTTClientListener.h"
#include "api/mqtt/Config.h"
#include "api/mqtt/Message.h"
#include "api/mqtt/RetryScheduler.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace zelmo::Corvane::API::MQTT {

// The daemon's MQTT interface: answers plain and RPC requests with Engine calls, keeps the retained
// status, info, config and metrics documents current and reports the long operations' progress.
class Service : public MQTTClientListener, public Logger {
public:
    using json = nlohmann::json;
    using Handler = std::error_code (Service::*)(const Message& request, Message& response);

    static constexpr std::chrono::milliseconds DefaultRetryDelay{2000};

    explicit Service(std::shared_ptr<Engine> engine);
    // retryDelay: pause before a reconnect or a repeated (un)subscription.
    Service(std::shared_ptr<Engine> engine, std::chrono::milliseconds retryDelay);
    ~Service() override;
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    void start();
    void stop();
    void restart();
    bool isStarted() const { return mStarted; }

    void publish(const Message& message);

    // The real "mqtt" section: it goes to the configuration file. What the service publishes or
    // answers is masked (maskSecrets).
    json getConfigCallback();
    void setConfigCallback(const json& section);

    // MQTTClientListener
    void onConnected() override;
    void onDisconnected() override;
    void onSubscribed(const std::string& topic) override;
    void onUnsubscribed(const std::string& topic) override;
    void onMessageSent(int id) override;
    void onMessageDelivered(int id) override;
    void onMessageReceived(const std::string& topic, const std::string& payload, int qos,
                           bool retained) override;
    void onConnectFailed(const std::string& reason) override;
    void onSubscribeFailed(const std::string& topic) override;
    void onUnsubscribeFailed(const std::string& topic) override;
    void onMessageSendFailed(int id) override;

    // Engine events.
    void statusCallback(const Status& status);
    void onMetricsChanged();
    void onFirmwareUpgradeProgress(float percent);
    void onFirmwareUpgradeFinished(std::error_code ec);
    void onResourceLoadProgress(float percent);
    void onResourceLoadFinished(std::error_code ec);
    void onPowerCycleRequired();

    // Topics.
    std::string removeBase(const std::string& topic) const;
    static bool isRpc(const std::string& topic);
    static std::string extractRpcCommand(const std::string& topic);
    static std::string extractRpcID(const std::string& topic);

    static json codeToJson(std::error_code ec);
    Message makeErrorMessage(const std::string& error, const std::string& command) const;

    const Config& config() const { return mConfig; }

private:
    // Plain requests.
    std::error_code getConfig(const Message& request, Message& response);
    std::error_code setConfig(const Message& request, Message& response);
    std::error_code getInfo(const Message& request, Message& response);
    std::error_code getMetrics(const Message& request, Message& response);
    std::error_code getStatus(const Message& request, Message& response);
    // RPC commands.
    std::error_code clearJamming(const Message& request, Message& response);
    std::error_code dispose(const Message& request, Message& response);
    std::error_code eject(const Message& request, Message& response);
    std::error_code firmwareUpgrade(const Message& request, Message& response);
    std::error_code metricsClear(const Message& request, Message& response);
    std::error_code park(const Message& request, Message& response);
    std::error_code print(const Message& request, Message& response);
    std::error_code reset(const Message& request, Message& response);
    std::error_code loadResources(const Message& request, Message& response);
    std::error_code getStatusRpc(const Message& request, Message& response);
    std::error_code onTollenStateMachine(const Message& request, Message& response);

    void dispatchRpc(const Message& request, Message& response);
    json statusDevice(const Status& status) const;
    json statusDocument(const Status& status) const;
    void publishStatus(const Status& status, int qos);
    void injectMetrics(json& device) const;
    void subscribeAll();
    void connectEngineHandlers();
    void reconnect();
    void publishProgress(std::uint8_t& counter, float percent, const char* topic);
    void publishFinished(const std::optional<std::string>& id, const char* topic, std::error_code ec);
    std::string tollenStateMachineTopic() const;

    static const std::map<std::string, Handler> mSubscriptions;
    static const std::map<std::string, Handler> mRpcSubscriptions;

    std::atomic<bool> mStarted{false};
    std::shared_ptr<Engine> mEngine;
    MQTTClient mClient;
    Config mConfig;

    // Request ids and progress counters of the two long operations; touched by the MQTT thread and
    // the engine's worker threads.
    std::mutex mEventMutex;
    std::optional<std::string> mFirmwareRequestId;
    std::optional<std::string> mResourceRequestId;
    std::uint8_t mFirmwareProgress = 0;
    std::uint8_t mResourceProgress = 0;

    std::atomic<bool> mInfoSent{false};
    // Orders the retained status documents against the farewell.
    std::mutex mStatusMutex;
    // Set on the MQTT callback thread while it handles a request.
    static thread_local bool sHandlingRequest;
    std::atomic<bool> mRestartAfterRequest{false};
    std::once_flag mEngineHandlersOnce;
    // Undo the connections made to the engine's signals.
    std::mutex mConnectionsMutex;
    std::vector<std::function<void()>> mSignalDisconnects;
    // Shared with the callbacks registered with the engine, which may outlive the service.
    std::shared_ptr<LifetimeGate<Service>> mGate;
    std::recursive_mutex mLifecycleMutex;
    // Last members: their threads end before anything they use goes away.
    // Reconnects and repeated subscriptions, after the retry delay.
    RetryScheduler mRetries;
    // Restarts asked for by a configuration change, which arrives on the MQTT callback thread.
    RetryScheduler mControl;
};

} // namespace zelmo::Corvane::API::MQTT
