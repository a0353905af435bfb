// Round-trip time of a "status/get" RPC through the daemon (no dispenser attached) against a bare
// request/echo round trip between two plain clients through the same broker.
//
// Usage: bench_rpc_roundtrip [daemon binary (default build/corvane)] [round trips (default 2000)]
//                            [extra daemon arguments, e.g. --verbose 0]
// Starts its own mosquitto on a free loopback port and the daemon in a scratch directory under
// $TMPDIR (default /tmp). Without a dispenser every status request reads and rewrites metrics.json
// in that directory, and every log line goes to syslog: both show in the daemon's numbers.

#include <mqtt/async_client.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kBase = "zelmo/tvm/paperticket/dispenser";
constexpr const char* kUser = "bench";
constexpr const char* kPassword = "bench-password";
constexpr int kWarmup = 100;

int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

bool portOpen(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool open = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return open;
}

// A child process, killed and reaped on destruction.
class Child {
public:
    Child(std::vector<std::string> args, const std::string& dir, const std::string& log) {
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        const int rc = posix_spawn(&mPid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            throw std::runtime_error("cannot start " + args[0]);
    }
    ~Child() { stop(SIGKILL); }
    void stop(int sig) {
        if (mPid <= 0)
            return;
        kill(mPid, sig);
        int status = 0;
        waitpid(mPid, &status, 0);
        mPid = -1;
    }

private:
    pid_t mPid = -1;
};

struct Stats {
    double p50;
    double p99;
};

Stats percentiles(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        return samples[std::min(samples.size() - 1, std::size_t(q * samples.size()))];
    };
    return {at(0.50), at(0.99)};
}

mqtt::connect_options options() {
    mqtt::connect_options opts;
    opts.set_clean_session(true);
    opts.set_user_name(kUser);
    opts.set_password(kPassword);
    return opts;
}

// Publishes each request and waits for its response; returns the round-trip times in ms.
std::vector<double> measure(mqtt::async_client& client, const std::string& requestPrefix,
                            const std::string& responsePrefix, int count) {
    std::vector<double> samples;
    for (int i = -kWarmup; i < count; ++i) {
        const std::string id = std::to_string(i + kWarmup);
        const auto start = Clock::now();
        client.publish(requestPrefix + id, "", 0, 0, false);
        while (true) {
            auto message = client.try_consume_message_for(std::chrono::seconds(10));
            if (!message)
                throw std::runtime_error("no response to " + requestPrefix + id);
            if (message->get_topic() == responsePrefix + id)
                break;
        }
        if (i >= 0)
            samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return samples;
}

// The plain second client: answers every echo request at once.
class Echo : public mqtt::callback {
public:
    explicit Echo(const std::string& url) : mClient(url, "bench-echo") {
        mClient.set_callback(*this);
        mClient.connect(options())->wait();
        mClient.subscribe("echo/request/+", 0)->wait();
    }
    ~Echo() override {
        mClient.disconnect()->wait();
        mClient.disable_callbacks();
    }
    void message_arrived(mqtt::const_message_ptr message) override {
        const std::string id = message->get_topic().substr(std::string("echo/request/").size());
        mClient.publish("echo/response/" + id, message->to_string(), 0, false);
    }

private:
    mqtt::async_client mClient;
};

} // namespace

int main(int argc, char** argv) {
    const std::string daemonBinary = std::filesystem::absolute(argc > 1 ? argv[1] : "build/corvane").string();
    const int count = argc > 2 ? std::atoi(argv[2]) : 2000;
    std::vector<std::string> daemonArgs{daemonBinary, "-f", "corvane.json", "-d",
                                        "/nonexistent/paperTicketDispenser"};
    for (int i = 3; i < argc; ++i)
        daemonArgs.push_back(argv[i]);

    std::string pattern = (std::filesystem::temp_directory_path() / "corvane-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        return 1;
    const std::string dir = pattern;
    const int port = freePort();
    const std::string url = "tcp://127.0.0.1:" + std::to_string(port);

    int rc = 0;
    try {
        if (std::system(("/usr/bin/mosquitto_passwd -b -c " + dir + "/passwords " + kUser + " " + kPassword +
                         " >/dev/null 2>&1")
                            .c_str()) != 0)
            throw std::runtime_error("mosquitto_passwd failed");
        std::ofstream(dir + "/mosquitto.conf") << "listener " << port << " 127.0.0.1\nallow_anonymous false\n"
                                               << "password_file " << dir << "/passwords\npersistence false\n"
                                               << "user root\n";
        Child broker({"/usr/sbin/mosquitto", "-c", dir + "/mosquitto.conf"}, dir, dir + "/broker.log");
        for (int i = 0; i < 500 && !portOpen(port); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));

        std::ofstream(dir + "/corvane.json") << R"({"mqtt":{"url":")" << url << R"(","username":")" << kUser
                                             << R"(","password":")" << kPassword << R"("}})";
        mqtt::async_client requester(url, "bench-requester");
        requester.start_consuming();
        requester.connect(options())->wait();
        requester.subscribe(std::string(kBase) + "/status/get/response/+", 0)->wait();
        requester.subscribe(std::string(kBase) + "/status", 0)->wait();
        requester.subscribe("echo/response/+", 0)->wait();

        Child daemon({daemonBinary, "-f", "corvane.json", "-d", dir + "/no-device"}, dir,
                     dir + "/daemon.log");
        // The daemon is ready once its retained status is out.
        while (true) {
            auto message = requester.try_consume_message_for(std::chrono::seconds(15));
            if (!message)
                throw std::runtime_error("daemon did not connect; see " + dir + "/daemon.log");
            if (message->get_topic() == std::string(kBase) + "/status")
                break;
        }
        Echo echo(url);

        const auto bare = percentiles(measure(requester, "echo/request/", "echo/response/", count));
        const auto daemonStats = percentiles(measure(requester, std::string(kBase) + "/status/get/request/",
                                                     std::string(kBase) + "/status/get/response/", count));
        daemon.stop(SIGTERM);

        std::string extra;
        for (std::size_t i = 5; i < daemonArgs.size(); ++i)
            extra += " " + daemonArgs[i];
        std::printf("round trips: %d each (after %d warm-up), scratch %s, daemon args:%s\n", count, kWarmup,
                    dir.c_str(), extra.empty() ? " (none)" : extra.c_str());
        std::printf("bare echo       p50 %8.3f ms   p99 %8.3f ms\n", bare.p50, bare.p99);
        std::printf("daemon status   p50 %8.3f ms   p99 %8.3f ms\n", daemonStats.p50, daemonStats.p99);
        std::printf("ratio           p50 %8.2f x    p99 %8.2f x\n", daemonStats.p50 / bare.p50,
                    daemonStats.p99 / bare.p99);
        std::printf("difference      p50 %8.3f ms   p99 %8.3f ms\n", daemonStats.p50 - bare.p50,
                    daemonStats.p99 - bare.p99);
        requester.disconnect()->wait();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench failed: %s\n", e.what());
        rc = 1;
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return rc;
}
