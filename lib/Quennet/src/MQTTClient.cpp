#include "MQTTClient.h"

#include "MQTTConnectListener.h"
#include "MQTTDisconnectListener.h"
#include "MQTTMemoryPersistence.h"
#include "MQTTPublishListener.h"
#include "MQTTSubscribeListener.h"
#include "MQTTUnSubscribeListener.h"

#include <mqtt/async_client.h>

#include <chrono>
#include <cstdarg>
#include <map>

namespace {
// Bounds for the waits of the destructor: a request the library never completes must not keep the
// process from ending.
constexpr auto kPendingRequestLimit = std::chrono::seconds(10);
constexpr auto kDisconnectLimit = std::chrono::seconds(5);
} // namespace

// One library client object with the callback and action listeners that report for it. Every
// entry from the library is counted, so the object is destroyed only while nothing runs in it; once
// retired it reports nothing to the listener.
class MQTTClient::Session : public MQTTClientListener, public mqtt::callback {
public:
    Session(MQTTClient& owner, const std::string& url, const std::string& id,
            MQTTMemoryPersistence* persistence)
        : owner(owner), connectListener(this), disconnectListener(this), subscribeListener(this),
          unsubscribeListener(this), publishListener(this),
          client(std::make_unique<mqtt::async_client>(url, id, persistence)) {
        client->set_callback(*this);
    }

    // The library client goes first: it may still report pending requests to the listeners below
    // while it is being destroyed.
    ~Session() override { client.reset(); }

    // Counts one entry from the library; `listener` is null when the call must not be forwarded.
    struct Call {
        explicit Call(Session& session) : session(session) {
            std::lock_guard<std::mutex> lock(session.owner.mMutex);
            ++session.calls;
            listener = session.retired ? nullptr : session.owner.mListener;
            if (listener)
                ++session.owner.mListenerCalls;
        }
        ~Call() {
            {
                std::lock_guard<std::mutex> lock(session.owner.mMutex);
                --session.calls;
                if (listener)
                    --session.owner.mListenerCalls;
            }
            session.owner.mChanged.notify_all();
        }
        Session& session;
        MQTTClientListener* listener = nullptr;
    };

    bool idle() const { return calls == 0 && leases == 0; }

    // MQTTClientListener, reached from the action listeners.
    void onConnected() override {
        Call call(*this);
        if (call.listener)
            call.listener->onConnected();
    }
    void onDisconnected() override {
        Call call(*this);
        if (call.listener)
            call.listener->onDisconnected();
    }
    void onSubscribed(const std::string& topic) override {
        Call call(*this);
        if (call.listener)
            call.listener->onSubscribed(topic);
    }
    void onUnsubscribed(const std::string& topic) override {
        Call call(*this);
        if (call.listener)
            call.listener->onUnsubscribed(topic);
    }
    void onMessageSent(int id) override {
        Call call(*this);
        if (call.listener)
            call.listener->onMessageSent(id);
    }
    void onMessageDelivered(int id) override {
        Call call(*this);
        if (call.listener)
            call.listener->onMessageDelivered(id);
    }
    void onMessageReceived(const std::string& topic, const std::string& payload, int qos,
                           bool retained) override {
        Call call(*this);
        if (call.listener)
            call.listener->onMessageReceived(topic, payload, qos, retained);
    }
    void onConnectFailed(const std::string& reason) override {
        Call call(*this);
        if (call.listener)
            call.listener->onConnectFailed(reason);
    }
    void onSubscribeFailed(const std::string& topic) override {
        Call call(*this);
        if (call.listener)
            call.listener->onSubscribeFailed(topic);
    }
    void onUnsubscribeFailed(const std::string& topic) override {
        Call call(*this);
        if (call.listener)
            call.listener->onUnsubscribeFailed(topic);
    }
    void onMessageSendFailed(int id) override {
        Call call(*this);
        if (call.listener)
            call.listener->onMessageSendFailed(id);
    }

    // mqtt::callback
    void connected(const std::string& cause) override {
        Call call(*this);
        owner.log(Log::Debug, "Connected (cause=%s).", cause.c_str());
        if (call.listener)
            call.listener->onConnected();
    }
    void connection_lost(const std::string& cause) override {
        Call call(*this);
        owner.log(Log::Debug, "Disconnected (cause=%s)!", cause.c_str());
        if (call.listener)
            call.listener->onDisconnected();
    }
    void message_arrived(mqtt::const_message_ptr message) override {
        Call call(*this);
        const std::string topic = message ? message->get_topic() : std::string();
        const std::string payload = message ? message->to_string() : std::string();
        const int qos = message ? message->get_qos() : 0;
        const bool retained = message && message->is_retained();
        owner.log(Log::Debug, "New message received.");
        owner.log(Log::Debug, "Topic     = %s", topic.c_str());
        owner.log(Log::Debug, "QoS       = %d", qos);
        owner.log(Log::Debug, "Retained  = %s", retained ? "yes" : "no");
        owner.log(Log::Debug, "Duplicate = %s", message && message->is_duplicate() ? "yes" : "no");
        owner.log(Log::Debug, "Data      = '%s'", payload.c_str());
        if (call.listener)
            call.listener->onMessageReceived(topic, payload, qos, retained);
    }
    void delivery_complete(mqtt::delivery_token_ptr token) override {
        Call call(*this);
        const int id = token ? token->get_message_id() : 0;
        owner.log(Log::Debug, "Message delivered (id=%d)", id);
        if (call.listener)
            call.listener->onMessageDelivered(id);
    }

    MQTTClient& owner;
    MQTTConnectListener connectListener;
    MQTTDisconnectListener disconnectListener;
    MQTTSubscribeListener subscribeListener;
    MQTTUnSubscribeListener unsubscribeListener;
    MQTTPublishListener publishListener;
    std::unique_ptr<mqtt::async_client> client;

    // Guarded by owner.mMutex.
    int calls = 0;
    int leases = 0;
    bool retired = false;
};

// Keeps the current session in use for the length of one request.
struct MQTTClient::Lease {
    explicit Lease(MQTTClient& owner) : owner(owner), session(owner.acquire()) {}
    ~Lease() {
        if (session)
            owner.release(session);
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    MQTTClient& owner;
    std::shared_ptr<Session> session;
};

MQTTClient::MQTTClient(MQTTClientListener* listener)
    : mListener(listener), mConnectOptions(std::make_unique<mqtt::connect_options>()),
      mWillOptions(std::make_unique<mqtt::will_options>()),
      mPersistence(std::make_unique<MQTTMemoryPersistence>()) {
    mConnectOptions->set_keep_alive_interval(20);
    mConnectOptions->set_clean_session(true);
    mConnectOptions->set_connect_timeout(5);
    mConnectThread = std::jthread([this](std::stop_token stop) { connectThread(stop); });
}

MQTTClient::~MQTTClient() {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mConnectThread.request_stop();
    }
    mChanged.notify_all();
    mConnectThread.join();

    try {
        if (auto token = lastToken(); token && !token->is_complete())
            token->wait_for(std::chrono::duration_cast<std::chrono::milliseconds>(kPendingRequestLimit));
    } catch (const std::exception&) {
        // The outcome was reported to the listener already.
    }
    if (isConnected() && disconnect(500)) {
        try {
            if (auto token = lastToken())
                token->wait_for(std::chrono::duration_cast<std::chrono::milliseconds>(kDisconnectLimit));
        } catch (const std::exception&) {
        }
    }

    std::vector<std::shared_ptr<Session>> sessions;
    {
        std::unique_lock<std::mutex> lock(mMutex);
        sessions = std::move(mRetired);
        mRetired.clear();
        if (mSession)
            sessions.push_back(std::move(mSession));
        mSession.reset();
        for (const auto& session : sessions) {
            session->retired = true;
            waitIdle(session, lock);
        }
    }
    sessions.clear();
}

void MQTTClient::setListener(MQTTClientListener* listener) {
    std::unique_lock<std::mutex> lock(mMutex);
    mListener = listener;
    if (!listener)
        mChanged.wait(lock, [this] { return mListenerCalls == 0; });
}

void MQTTClient::setClientId(const std::string& id) {
    std::lock_guard<std::mutex> lock(mMutex);
    mClientId = id;
}

std::string MQTTClient::clientId() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mClientId;
}

void MQTTClient::setUrl(const std::string& url) {
    std::lock_guard<std::mutex> lock(mMutex);
    mUrl = url;
}

std::string MQTTClient::url() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mUrl;
}

void MQTTClient::setUsername(const std::string& username) {
    std::lock_guard<std::mutex> lock(mMutex);
    mConnectOptions->set_user_name(username);
}

std::string MQTTClient::username() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mConnectOptions->get_user_name();
}

void MQTTClient::setPassword(const std::string& password) {
    std::lock_guard<std::mutex> lock(mMutex);
    mConnectOptions->set_password(password);
}

std::string MQTTClient::password() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mConnectOptions->get_password_str();
}

void MQTTClient::setKeepAlive(int seconds) {
    std::lock_guard<std::mutex> lock(mMutex);
    mConnectOptions->set_keep_alive_interval(seconds);
}

void MQTTClient::setCleanSession(bool clean) {
    std::lock_guard<std::mutex> lock(mMutex);
    mConnectOptions->set_clean_session(clean);
}

// Callers hold mMutex.
void MQTTClient::attachSsl() {
    mConnectOptions->set_ssl(mSslOptions);
}

void MQTTClient::setTrustStore(const std::string& path) {
    std::lock_guard<std::mutex> lock(mMutex);
    mSslOptions.set_trust_store(path);
    attachSsl();
}

void MQTTClient::setKeyStore(const std::string& path) {
    std::lock_guard<std::mutex> lock(mMutex);
    mSslOptions.set_key_store(path);
    attachSsl();
}

void MQTTClient::setPrivateKey(const std::string& path) {
    std::lock_guard<std::mutex> lock(mMutex);
    mSslOptions.set_private_key(path);
    attachSsl();
}

void MQTTClient::setPrivateKeyPassword(const std::string& password) {
    std::lock_guard<std::mutex> lock(mMutex);
    mSslOptions.set_private_key_password(password);
    attachSsl();
}

void MQTTClient::setEnabledCipherSuites(const std::string& suites) {
    std::lock_guard<std::mutex> lock(mMutex);
    mSslOptions.set_enabled_cipher_suites(suites);
    attachSsl();
}

void MQTTClient::setEnableServerCertAuth(bool enable) {
    std::lock_guard<std::mutex> lock(mMutex);
    mSslOptions.set_enable_server_cert_auth(enable);
    attachSsl();
}

void MQTTClient::setWill(const std::string& topic, const std::string& payload, int qos, bool retained) {
    std::lock_guard<std::mutex> lock(mMutex);
    mWillOptions->set_topic(topic);
    mWillOptions->set_payload(payload);
    mWillOptions->set_retained(retained);
    mWillOptions->set_qos(qos);
    mConnectOptions->set_will(*mWillOptions);
}

void MQTTClient::setLogEnabled(bool enabled) {
    mLogEnabled = enabled;
}

bool MQTTClient::connect() {
    log(Log::Debug, "Connecting to '%s'", url().c_str());
    {
        std::lock_guard<std::mutex> lock(mMutex);
        ++mPendingConnects;
    }
    mChanged.notify_all();
    return true;
}

bool MQTTClient::disconnect(int timeoutMs) {
    log(Log::Debug, "Disconnecting from '%s'", url().c_str());
    Lease lease(*this);
    if (!lease.session) {
        log(Log::Error, "Client not connected.");
        return false;
    }
    try {
        setLastToken(
            lease.session->client->disconnect(timeoutMs, nullptr, lease.session->disconnectListener));
        return true;
    } catch (const mqtt::exception& e) {
        log(Log::Error, "[ERROR] %s", e.what());
        return false;
    }
}

bool MQTTClient::subscribe(const std::string& topic, int qos) {
    log(Log::Debug, "Subscribing to '%s' (qos=%d)", topic.c_str(), qos);
    Lease lease(*this);
    if (!lease.session) {
        log(Log::Error, "Client not connected.");
        return false;
    }
    try {
        setLastToken(lease.session->client->subscribe(topic, qos, nullptr, lease.session->subscribeListener));
        return true;
    } catch (const mqtt::exception& e) {
        log(Log::Error, "[ERROR] %s", e.what());
        return false;
    }
}

bool MQTTClient::unsubscribe(const std::string& topic) {
    log(Log::Debug, "Unsubscribing from '%s'", topic.c_str());
    Lease lease(*this);
    if (!lease.session) {
        log(Log::Error, "Client not connected.");
        return false;
    }
    try {
        setLastToken(lease.session->client->unsubscribe(topic, nullptr, lease.session->unsubscribeListener));
        return true;
    } catch (const mqtt::exception& e) {
        log(Log::Error, "[ERROR] %s", e.what());
        return false;
    }
}

bool MQTTClient::publish(const std::string& topic, const std::string& payload, int qos, bool retained) {
    log(Log::Debug, "Publishing message.");
    log(Log::Debug, "Topic     = %s", topic.c_str());
    log(Log::Debug, "QoS       = %d", qos);
    log(Log::Debug, "Retained  = %s", retained ? "yes" : "no");
    log(Log::Debug, "Data      = '%s'", payload.c_str());
    Lease lease(*this);
    if (!lease.session) {
        log(Log::Error, "Client not connected.");
        return false;
    }
    try {
        auto message = mqtt::make_message(topic, payload, qos, retained);
        auto token = lease.session->client->publish(message, nullptr, lease.session->publishListener);
        setLastToken(token);
        log(Log::Debug, "ID        = '%d'", token->get_message_id());
        return true;
    } catch (const mqtt::exception& e) {
        log(Log::Error, "[ERROR] %s", e.what());
        return false;
    }
}

bool MQTTClient::isConnected() const {
    auto& self = const_cast<MQTTClient&>(*this);
    Lease lease(self);
    return lease.session && lease.session->client->is_connected();
}

bool MQTTClient::wait(int timeoutMs) {
    const auto token = lastToken();
    if (!token)
        return false;
    try {
        if (token->is_complete())
            return true;
        if (timeoutMs == -1) {
            token->wait();
            return true;
        }
        if (timeoutMs == 0)
            return token->try_wait();
        return token->wait_for(std::chrono::milliseconds(timeoutMs));
    } catch (const std::exception& e) {
        log(Log::Error, "ERROR: MQTTClient::wait() : %s", e.what());
        return false;
    }
}

std::string MQTTClient::connectFailureReason(int returnCode) {
    static const std::map<int, std::string> reasons = {
        {0, "Connection accepted"}, {1, "Unacceptable protocol version"}, {2, "Identifier rejected"},
        {3, "Service unavailable"}, {4, "Bad user name or password"},     {5, "Not authorized"},
        {-1, "Connection timeout"},
    };
    const auto it = reasons.find(returnCode);
    return it == reasons.end() ? "Unknown reason" : it->second;
}

void MQTTClient::log(Log::Level level, const char* fmt, ...) const {
    if (!mLogEnabled)
        return;
    const std::string format = std::string("[MQTTClient] ") + fmt;
    va_list args;
    va_start(args, fmt);
    Log::vprint(level, format.c_str(), args);
    va_end(args);
}

void MQTTClient::connectThread(std::stop_token stop) {
    std::unique_lock<std::mutex> lock(mMutex);
    while (true) {
        mChanged.wait(lock, [&] {
            if (stop.stop_requested() || mPendingConnects > 0)
                return true;
            for (const auto& session : mRetired)
                if (session->idle())
                    return true;
            return false;
        });
        std::vector<std::shared_ptr<Session>> idle;
        std::erase_if(mRetired, [&](const std::shared_ptr<Session>& session) {
            if (!session->idle())
                return false;
            idle.push_back(session);
            return true;
        });
        if (!idle.empty()) {
            // Destroying a library client may report its pending requests, which takes mMutex.
            lock.unlock();
            idle.clear();
            lock.lock();
            continue;
        }
        if (stop.stop_requested())
            return;
        --mPendingConnects;
        lock.unlock();
        runConnectAttempt();
        lock.lock();
    }
}

void MQTTClient::runConnectAttempt() {
    std::string url;
    std::string id;
    mqtt::connect_options options;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        url = mUrl;
        id = mClientId;
        options = *mConnectOptions;
    }

    std::shared_ptr<Session> fresh;
    try {
        fresh = std::make_shared<Session>(*this, url, id, mPersistence.get());
    } catch (const mqtt::exception& e) {
        log(Log::Error, "[ERROR] %s", e.what());
        reportConnectFailure(connectFailureReason(e.get_return_code()));
        return;
    }

    std::shared_ptr<Session> previous;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        previous = std::move(mSession);
        if (previous) {
            previous->retired = true;
            ++previous->leases;
            mRetired.push_back(previous);
        }
        mSession = fresh;
        ++fresh->leases;
    }
    if (previous) {
        // Say goodbye properly; the object itself goes once nothing runs in it any more.
        try {
            if (previous->client->is_connected())
                previous->client->disconnect(0);
        } catch (const mqtt::exception&) {
        }
        release(previous);
    }

    try {
        setLastToken(fresh->client->connect(options, nullptr, fresh->connectListener));
    } catch (const mqtt::exception& e) {
        log(Log::Error, "[ERROR] %s", e.what());
        reportConnectFailure(connectFailureReason(e.get_return_code()));
    }
    release(fresh);
}

void MQTTClient::reportConnectFailure(const std::string& reason) {
    MQTTClientListener* listener = nullptr;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        listener = mListener;
        if (listener)
            ++mListenerCalls;
    }
    if (!listener)
        return;
    listener->onConnectFailed(reason);
    {
        std::lock_guard<std::mutex> lock(mMutex);
        --mListenerCalls;
    }
    mChanged.notify_all();
}

std::shared_ptr<MQTTClient::Session> MQTTClient::acquire() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mSession)
        ++mSession->leases;
    return mSession;
}

void MQTTClient::release(const std::shared_ptr<Session>& session) {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        --session->leases;
    }
    mChanged.notify_all();
}

void MQTTClient::setLastToken(mqtt::token_ptr token) {
    std::lock_guard<std::mutex> lock(mMutex);
    mLastToken = std::move(token);
}

mqtt::token_ptr MQTTClient::lastToken() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mLastToken;
}

void MQTTClient::waitIdle(const std::shared_ptr<Session>& session, std::unique_lock<std::mutex>& lock) {
    mChanged.wait(lock, [&] { return session->idle(); });
}
