#include "ElgSimulator.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef CORVANE_BINARY_DIR
#define CORVANE_BINARY_DIR "."
#endif

namespace {

std::vector<uint8_t> fromHex(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

} // namespace

ElgSimulator::ElgSimulator(const std::vector<std::string>& options) {
    char pattern[] = "/tmp/elgsim-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("cannot create a temporary directory");
    mDirectory = pattern;
    mLink = mDirectory + "/printer";
    mControl = mDirectory + "/printer.ctl";

    const std::string program = std::string(CORVANE_BINARY_DIR) + "/tools/elg-simulator";
    std::vector<std::string> args = {program, mLink, "--control", mControl};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    mPid = fork();
    if (mPid < 0)
        throw std::runtime_error("fork failed");
    if (mPid == 0) {
        // Keep the test output clean of the simulator's ready line.
        const int devNull = open("/dev/null", O_WRONLY);
        if (devNull >= 0)
            dup2(devNull, STDOUT_FILENO);
        execv(program.c_str(), argv.data());
        _exit(127);
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (std::filesystem::is_symlink(mLink)) {
            try {
                connectControl();
                command("ping");
                return;
            } catch (const std::exception&) {
            }
        }
        int status = 0;
        if (waitpid(mPid, &status, WNOHANG) == mPid) {
            mPid = -1;
            throw std::runtime_error("elg-simulator exited early");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error("elg-simulator did not come up");
}

ElgSimulator::~ElgSimulator() {
    if (mSocket >= 0)
        close(mSocket);
    if (mPid > 0) {
        kill(mPid, SIGTERM);
        int status = 0;
        waitpid(mPid, &status, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(mDirectory, ec);
}

void ElgSimulator::connectControl() {
    if (mSocket >= 0) {
        close(mSocket);
        mSocket = -1;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, mControl.c_str(), sizeof(addr.sun_path) - 1);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        if (fd >= 0)
            close(fd);
        throw std::runtime_error("cannot connect to the simulator");
    }
    mSocket = fd;
    mPending.clear();
}

std::vector<std::string> ElgSimulator::command(const std::string& line) {
    const std::string request = line + "\n";
    if (send(mSocket, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        throw std::runtime_error("simulator control connection broken");
    std::vector<std::string> lines;
    for (;;) {
        const auto end = mPending.find('\n');
        if (end == std::string::npos) {
            char buffer[4096];
            const ssize_t n = recv(mSocket, buffer, sizeof(buffer), 0);
            if (n <= 0)
                throw std::runtime_error("simulator control connection broken");
            mPending.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        std::string answer = mPending.substr(0, end);
        mPending.erase(0, end + 1);
        if (answer == "ok")
            return lines;
        if (answer.rfind("error", 0) == 0)
            throw std::runtime_error("simulator: " + answer);
        lines.push_back(answer);
    }
}

std::vector<std::string> ElgSimulator::records() {
    return command("dump");
}

std::vector<ElgSimulator::Frame> ElgSimulator::frames() {
    std::vector<Frame> frames;
    for (const std::string& line : records()) {
        std::istringstream in(line);
        std::string kind, letter, lrc;
        in >> kind >> letter >> lrc;
        if (kind != "cmd")
            continue;
        Frame frame;
        frame.letter = static_cast<char>(std::stoi(letter, nullptr, 16));
        frame.lrcOk = lrc == "ok";
        std::string field;
        while (in >> field)
            if (field.rfind("addr=", 0) != 0) {
                const auto bytes = fromHex(field);
                frame.data.assign(bytes.begin(), bytes.end());
            }
        frames.push_back(frame);
    }
    return frames;
}

std::vector<uint8_t> ElgSimulator::raw() {
    const auto lines = command("raw");
    if (lines.empty() || lines.front().size() < 4)
        return {};
    return fromHex(lines.front().substr(4));
}

void ElgSimulator::clear() {
    command("clear");
}

bool ElgSimulator::waitForFrames(std::size_t count, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (frames().size() >= count)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}
