#include "MosquittoBroker.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace corvane::test {

namespace {
constexpr const char* kBroker = "/usr/sbin/mosquitto";
constexpr const char* kPasswdTool = "/usr/bin/mosquitto_passwd";
constexpr auto kStartLimit = std::chrono::seconds(10);

pid_t spawn(const std::vector<std::string>& args, const std::string& logFile) {
    std::vector<char*> argv;
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + args[0]);
    return pid;
}

int run(const std::vector<std::string>& args, const std::string& logFile) {
    const pid_t pid = spawn(args, logFile);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
} // namespace

int freeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        throw std::runtime_error("no free loopback port");
    }
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

bool loopbackPortOpen(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool open = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return open;
}

MosquittoBroker::MosquittoBroker() {
    std::string pattern = (std::filesystem::temp_directory_path() / "corvane-broker-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create broker directory");
    mDirectory = pattern;
    const std::string passwords = mDirectory + "/passwords";
    if (run({kPasswdTool, "-b", "-c", passwords, Username, Password}, mDirectory + "/passwd.log") != 0)
        throw std::runtime_error("mosquitto_passwd failed");
    mPort = freeLoopbackPort();
    {
        std::ofstream conf(mDirectory + "/mosquitto.conf");
        conf << "listener " << mPort << " 127.0.0.1\n"
             << "allow_anonymous false\n"
             << "password_file " << passwords << "\n"
             << "persistence false\n"
             << "user root\n";
    }
    start();
}

MosquittoBroker::~MosquittoBroker() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(mDirectory, ignored);
}

std::string MosquittoBroker::url() const {
    return "tcp://127.0.0.1:" + std::to_string(mPort);
}

void MosquittoBroker::start() {
    if (running())
        return;
    mPid = spawn({kBroker, "-c", mDirectory + "/mosquitto.conf"}, mDirectory + "/broker.log");
    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (loopbackPortOpen(mPort))
            return;
        int status = 0;
        if (waitpid(mPid, &status, WNOHANG) == mPid) {
            mPid = -1;
            throw std::runtime_error("mosquitto exited at start; see " + mDirectory + "/broker.log");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop();
    throw std::runtime_error("mosquitto did not open its port");
}

void MosquittoBroker::stop() {
    if (!running())
        return;
    kill(mPid, SIGKILL);
    int status = 0;
    while (waitpid(mPid, &status, 0) < 0 && errno == EINTR) {
    }
    mPid = -1;
}

} // namespace corvane::test
