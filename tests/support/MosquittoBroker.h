#pragma once

#include <string>
#include <sys/types.h>

namespace corvane::test {

// A real mosquitto broker on a free loopback port, with a password file and anonymous access off.
// stop() kills it, start() brings it back on the same port.
class MosquittoBroker {
public:
    static constexpr const char* Username = "QuennetUser";
    static constexpr const char* Password = "ambersnout";

    MosquittoBroker();
    ~MosquittoBroker();
    MosquittoBroker(const MosquittoBroker&) = delete;
    MosquittoBroker& operator=(const MosquittoBroker&) = delete;

    // Starts the broker and waits until it accepts connections; throws on failure.
    void start();
    // Kills the broker (SIGKILL, like a crash) and reaps it.
    void stop();
    bool running() const { return mPid > 0; }

    int port() const { return mPort; }
    std::string url() const;
    const std::string& directory() const { return mDirectory; }

private:
    std::string mDirectory;
    int mPort = 0;
    pid_t mPid = -1;
};

// A free TCP port on 127.0.0.1 at the time of the call.
int freeLoopbackPort();
// True when a TCP connection to 127.0.0.1:port succeeds.
bool loopbackPortOpen(int port);

} // namespace corvane::test
