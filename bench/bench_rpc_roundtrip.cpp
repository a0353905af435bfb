// Round-trip time of a "status/get" RPC through the daemon (no dispenser attached) against a bare
// request/echo round trip between two plain clients through the same broker.
//
// Usage: bench_rpc_roundtrip [daemon binary (default build/corvane)] [round trips (default 2000)]
//                            [extra daemon arguments, e.g. --verbose 0]
// Starts its own mosquitto on a free loopback port and the daemon in a scratch directory under
// $TMPDIR (default /tmp).
//
// The daemon logs several info lines per request through syslog(3). On the board a syslog daemon
// takes them from /dev/log; a machine without one (a container) makes glibc write every line to
// /dev/console instead, which can cost milliseconds per line and swamps what is measured here. So,
// when allowed to (root), the bench runs the daemon in a private mount namespace whose /dev/log is
// a datagram socket the bench itself drains, as a syslog daemon would. Nothing changes outside
// that namespace. Without the privilege, or with BENCH_MACHINE_SYSLOG set in the environment, the
// daemon logs to whatever sink the machine has.

#include "MosquittoBroker.h"

#include <mqtt/async_client.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
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
using corvane::test::freeLoopbackPort;
using corvane::test::loopbackPortOpen;
constexpr const char* kBase = "zelmo/tvm/paperticket/dispenser";
constexpr const char* kUser = "bench";
constexpr const char* kPassword = "bench-password";
constexpr int kWarmup = 100;

// A syslog stand-in: a datagram socket at `path` drained by a thread, counting the lines.
class SyslogSink {
public:
    explicit SyslogSink(const std::string& path) : mPath(path) {
        mFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (path.size() >= sizeof addr.sun_path)
            throw std::runtime_error("socket path too long: " + path);
        path.copy(addr.sun_path, path.size());
        if (mFd < 0 || bind(mFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            throw std::runtime_error("cannot bind " + path);
        mThread = std::jthread([this](std::stop_token stop) { drain(stop); });
    }
    ~SyslogSink() {
        mThread.request_stop();
        mThread.join();
        close(mFd);
        unlink(mPath.c_str());
    }
    const std::string& path() const { return mPath; }
    long lines() const { return mLines.load(); }

private:
    void drain(const std::stop_token& stop) {
        char buffer[8192];
        while (!stop.stop_requested()) {
            pollfd pfd{mFd, POLLIN, 0};
            if (poll(&pfd, 1, 100) > 0 && recv(mFd, buffer, sizeof buffer, 0) >= 0)
                ++mLines;
        }
    }

    std::string mPath;
    int mFd = -1;
    std::atomic<long> mLines{0};
    std::jthread mThread;
};

// Prepared before fork() so the child of this multi-threaded process only makes system calls:
// a private mount namespace with a fresh /dev holding links to every real device node, and
// /dev/log linked to the sink's socket.
class LogNamespace {
public:
    LogNamespace(const std::string& dir, const std::string& socketPath)
        : mRealDev(dir + "/real-dev"), mSocket(socketPath) {
        std::filesystem::create_directory(mRealDev);
        for (const auto& entry : std::filesystem::directory_iterator("/dev")) {
            const std::string name = entry.path().filename().string();
            if (name != "log")
                mLinks.emplace_back(mRealDev + "/" + name, "/dev/" + name);
        }
        mLinks.emplace_back(mSocket, "/dev/log");
    }
    // Runs in the child; returns false if the namespace cannot be made.
    bool enter() const {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("/dev", mRealDev.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
            mount("tmpfs", "/dev", "tmpfs", 0, "mode=755") != 0)
            return false;
        for (const auto& [target, link] : mLinks)
            if (symlink(target.c_str(), link.c_str()) != 0)
                return false;
        return true;
    }
    // Whether this process may make one (root, no seccomp in the way), tried in a throw-away child.
    bool available() const {
        const pid_t pid = fork();
        if (pid == 0)
            _exit(enter() ? 0 : 1);
        int status = 0;
        return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

private:
    std::string mRealDev;
    std::string mSocket;
    std::vector<std::pair<std::string, std::string>> mLinks;
};

// A child process, killed and reaped on destruction.
class Child {
public:
    Child(std::vector<std::string> args, const std::string& dir, const std::string& log,
          const LogNamespace* logNamespace = nullptr) {
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        mPid = fork();
        if (mPid < 0)
            throw std::runtime_error("cannot start " + args[0]);
        if (mPid == 0) {
            const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if ((logNamespace && !logNamespace->enter()) || chdir(dir.c_str()) != 0 || out < 0 ||
                dup2(out, 1) < 0 || dup2(out, 2) < 0)
                _exit(126);
            execve(argv[0], argv.data(), environ);
            _exit(127);
        }
    }
    ~Child() { stop(SIGKILL); }
    // Stops the process and returns the CPU time (user + system, seconds) it used in all.
    double stop(int sig) {
        if (mPid <= 0)
            return 0;
        kill(mPid, sig);
        int status = 0;
        rusage usage{};
        wait4(mPid, &status, 0, &usage);
        mPid = -1;
        auto seconds = [](const timeval& tv) { return tv.tv_sec + tv.tv_usec / 1e6; };
        return seconds(usage.ru_utime) + seconds(usage.ru_stime);
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

// One round trip: publishes the request and waits for its response; returns the time in ms.
double roundTrip(mqtt::async_client& client, const std::string& requestTopic,
                 const std::string& responseTopic) {
    const auto start = Clock::now();
    client.publish(requestTopic, "", 0, 0, false);
    while (true) {
        auto message = client.try_consume_message_for(std::chrono::seconds(10));
        if (!message)
            throw std::runtime_error("no response to " + requestTopic);
        if (message->get_topic() == responseTopic)
            return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    }
}

struct Samples {
    std::vector<double> bare;
    std::vector<double> daemon;
};

// Alternates bare and daemon round trips, so both see the same load on the machine.
Samples measure(mqtt::async_client& client, int count) {
    const std::string daemonRequest = std::string(kBase) + "/status/get/request/";
    const std::string daemonResponse = std::string(kBase) + "/status/get/response/";
    Samples samples;
    for (int i = -kWarmup; i < count; ++i) {
        const std::string id = std::to_string(i + kWarmup);
        const double bare = roundTrip(client, "echo/request/" + id, "echo/response/" + id);
        const double daemon = roundTrip(client, daemonRequest + id, daemonResponse + id);
        if (i >= 0) {
            samples.bare.push_back(bare);
            samples.daemon.push_back(daemon);
        }
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
    std::vector<std::string> daemonArgs{daemonBinary, "-f", "corvane.json", "-d", "(scratch)/no-device"};
    for (int i = 3; i < argc; ++i)
        daemonArgs.push_back(argv[i]);

    std::string pattern = (std::filesystem::temp_directory_path() / "corvane-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        return 1;
    const std::string dir = pattern;
    const int port = freeLoopbackPort();
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
        for (int i = 0; i < 500 && !loopbackPortOpen(port); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));

        std::ofstream(dir + "/corvane.json") << R"({"mqtt":{"url":")" << url << R"(","username":")" << kUser
                                             << R"(","password":")" << kPassword << R"("}})";
        mqtt::async_client requester(url, "bench-requester");
        requester.start_consuming();
        requester.connect(options())->wait();
        requester.subscribe(std::string(kBase) + "/status/get/response/+", 0)->wait();
        requester.subscribe(std::string(kBase) + "/status", 0)->wait();
        requester.subscribe("echo/response/+", 0)->wait();

        daemonArgs[4] = dir + "/no-device";
        SyslogSink sink(dir + "/log");
        const LogNamespace logNamespace(dir, sink.path());
        const bool sinkUsed = std::getenv("BENCH_MACHINE_SYSLOG") == nullptr && logNamespace.available();
        Child daemon(daemonArgs, dir, dir + "/daemon.log", sinkUsed ? &logNamespace : nullptr);
        // The daemon is ready once its retained status is out.
        while (true) {
            auto message = requester.try_consume_message_for(std::chrono::seconds(15));
            if (!message)
                throw std::runtime_error("daemon did not connect; see " + dir + "/daemon.log");
            if (message->get_topic() == std::string(kBase) + "/status")
                break;
        }
        Echo echo(url);

        const Samples samples = measure(requester, count);
        const auto bare = percentiles(samples.bare);
        const auto daemonStats = percentiles(samples.daemon);
        const double daemonCpu = daemon.stop(SIGTERM);

        std::string extra;
        for (std::size_t i = 5; i < daemonArgs.size(); ++i)
            extra += " " + daemonArgs[i];
        std::printf("round trips: %d each (after %d warm-up), scratch %s, daemon args:%s\n", count, kWarmup,
                    dir.c_str(), extra.empty() ? " (none)" : extra.c_str());
        if (sinkUsed)
            std::printf("daemon log: a syslog socket at /dev/log (private mount namespace), %ld lines\n",
                        sink.lines());
        else
            std::printf("daemon log: this machine's own /dev/log, or the console without one\n");
        std::printf("bare echo       p50 %8.3f ms   p99 %8.3f ms\n", bare.p50, bare.p99);
        std::printf("daemon status   p50 %8.3f ms   p99 %8.3f ms\n", daemonStats.p50, daemonStats.p99);
        std::printf("ratio           p50 %8.2f x    p99 %8.2f x\n", daemonStats.p50 / bare.p50,
                    daemonStats.p99 / bare.p99);
        std::printf("difference      p50 %8.3f ms   p99 %8.3f ms\n", daemonStats.p50 - bare.p50,
                    daemonStats.p99 - bare.p99);
        std::printf("daemon CPU      %8.1f us per request (%.3f s for the whole run, start-up included)\n",
                    daemonCpu * 1e6 / (count + kWarmup), daemonCpu);
        requester.disconnect()->wait();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench failed: %s\n", e.what());
        rc = 1;
    }
    // The bind mount of /dev only ever existed inside the daemon's namespace; still, never recurse
    // into a real-dev folder that is not empty.
    std::error_code ignored;
    const std::string realDev = dir + "/real-dev";
    if (rmdir(realDev.c_str()) == 0 || errno == ENOENT)
        std::filesystem::remove_all(dir, ignored);
    else
        std::fprintf(stderr, "left %s in place: %s is not empty\n", dir.c_str(), realDev.c_str());
    return rc;
}
