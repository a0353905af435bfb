#pragma once

#include "Log.h"
#include "MQTTClientListener.h"

#include <mqtt/connect_options.h>
#include <mqtt/ssl_options.h>
#include <mqtt/token.h>
#include <mqtt/will_options.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class MQTTMemoryPersistence;

// Small asynchronous MQTT client over the Paho async client. Every outcome of every request is
// reported to one MQTTClientListener; nothing but wait() blocks its caller.
//
// Each connect attempt runs on the wrapper's own connect thread (attempts are serialised) and uses a
// fresh library client object. The previous object is retired: it no longer reports to the listener
// and is destroyed on the connect thread only once none of its callbacks and none of the wrapper's
// requests still use it, so no callback ever runs on a destroyed object.
class MQTTClient {
public:
    explicit MQTTClient(MQTTClientListener* listener);
    MQTTClient(const MQTTClient&) = delete;
    MQTTClient& operator=(const MQTTClient&) = delete;
    // Disconnects a connected client (500 ms) and waits for the outstanding request first.
    virtual ~MQTTClient();

    // Replaces the listener. Detaching (nullptr) waits until no listener call is running any more, so
    // the old listener may be destroyed afterwards; must not be called from a listener call.
    void setListener(MQTTClientListener* listener);

    void setClientId(const std::string& id);
    std::string clientId() const;
    void setUrl(const std::string& url);
    std::string url() const;
    void setUsername(const std::string& username);
    std::string username() const;
    void setPassword(const std::string& password);
    std::string password() const;
    void setKeepAlive(int seconds);
    void setCleanSession(bool clean);

    void setTrustStore(const std::string& path);
    void setKeyStore(const std::string& path);
    void setPrivateKey(const std::string& path);
    void setPrivateKeyPassword(const std::string& password);
    void setEnabledCipherSuites(const std::string& suites);
    void setEnableServerCertAuth(bool enable);

    void setWill(const std::string& topic, const std::string& payload, int qos, bool retained);
    void setLogEnabled(bool enabled);

    bool connect();
    bool disconnect(int timeoutMs);
    bool subscribe(const std::string& topic, int qos);
    bool unsubscribe(const std::string& topic);
    bool publish(const std::string& topic, const std::string& payload, int qos, bool retained);
    bool isConnected() const;
    // Waits for the latest request of any thread: -1 without limit, 0 only checks.
    bool wait(int timeoutMs);

    // Text for the return code of a failed connect attempt.
    static std::string connectFailureReason(int returnCode);

private:
    class Session;
    struct Lease;

    void log(Log::Level level, const char* fmt, ...) const __attribute__((format(printf, 3, 4)));
    void connectThread(std::stop_token stop);
    void runConnectAttempt();
    void reportConnectFailure(const std::string& reason);
    std::shared_ptr<Session> acquire();
    void release(const std::shared_ptr<Session>& session);
    void setLastToken(mqtt::token_ptr token);
    mqtt::token_ptr lastToken() const;
    void attachSsl();
    void waitIdle(const std::shared_ptr<Session>& session, std::unique_lock<std::mutex>& lock);

    std::atomic<bool> mLogEnabled{false};
    std::string mClientId = "zelmo_mqtt_client";
    MQTTClientListener* mListener;
    std::string mUrl;
    mqtt::token_ptr mLastToken;
    std::unique_ptr<mqtt::connect_options> mConnectOptions;
    mqtt::ssl_options mSslOptions;
    std::unique_ptr<mqtt::will_options> mWillOptions;
    std::unique_ptr<MQTTMemoryPersistence> mPersistence;
    std::shared_ptr<Session> mSession;
    std::vector<std::shared_ptr<Session>> mRetired;

    // Guards every member above that is not atomic, the sessions' counters and the listener calls'
    // bookkeeping; never held while the library or the listener is called.
    mutable std::mutex mMutex;
    std::condition_variable mChanged;
    int mPendingConnects = 0;
    int mListenerCalls = 0;
    std::jthread mConnectThread;

    friend class Session;
};
