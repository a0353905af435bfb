// ELG15019 printer simulator: a pseudo-terminal whose slave is published under a link path, with the
// printer behind its master side and a control socket beside it.

#include "Control.h"
#include "Printer.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) {
    stopRequested = 1;
}

void usage() {
    std::fprintf(stderr, "usage: elg-simulator <link-path> [--control <socket-path>] [--status <text>]\n"
                         "                     [--dles <count>] [--address <hex>] [--version <text>]\n");
}

bool writeAll(int fd, const uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Replaces an earlier link of ours; refuses to remove anything that is not a symbolic link.
bool publishLink(const std::string& link, const std::string& target) {
    struct stat info {};
    if (lstat(link.c_str(), &info) == 0) {
        if (!S_ISLNK(info.st_mode)) {
            std::fprintf(stderr, "elg-simulator: %s exists and is not a symbolic link\n", link.c_str());
            return false;
        }
        unlink(link.c_str());
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "elg-simulator: cannot create %s: %s\n", link.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

int listenOn(const std::string& path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof(addr.sun_path)) {
        std::fprintf(stderr, "elg-simulator: control path too long: %s\n", path.c_str());
        return -1;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 8) != 0) {
        std::fprintf(stderr, "elg-simulator: cannot listen on %s: %s\n", path.c_str(), std::strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage();
        return 2;
    }
    const std::string link = argv[1];
    std::string controlPath = link + ".ctl";
    std::vector<std::string> setup;
    for (int i = 2; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) {
            usage();
            return 2;
        }
        const std::string value = argv[++i];
        if (option == "--control")
            controlPath = value;
        else if (option == "--status")
            setup.push_back("status " + value);
        else if (option == "--dles")
            setup.push_back("dles " + value);
        else if (option == "--version")
            setup.push_back("version " + value);
        else if (option == "--address")
            setup.push_back("address " + value);
        else {
            usage();
            return 2;
        }
    }

    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "elg-simulator: openpty failed: %s\n", std::strerror(errno));
        return 1;
    }
    // The slave stays open here too, so the master never sees a hang-up between two host sessions.
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    const std::string slaveName = ttyname(slave) != nullptr ? ttyname(slave) : "";

    elgsim::Printer printer(
        [master](const elgsim::Bytes& bytes) { writeAll(master, bytes.data(), bytes.size()); });
    elgsim::Control control(printer);
    for (const std::string& line : setup) {
        if (line.rfind("address ", 0) == 0) {
            printer.setAddress(static_cast<uint8_t>(std::strtoul(line.c_str() + 8, nullptr, 16)));
            continue;
        }
        const auto answer = control.handle(line);
        if (!answer.empty() && answer.back() != "ok") {
            std::fprintf(stderr, "elg-simulator: %s: %s\n", line.c_str(), answer.back().c_str());
            return 2;
        }
    }

    const int listener = listenOn(controlPath);
    if (listener < 0 || !publishLink(link, slaveName))
        return 1;

    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    std::printf("ready %s %s\n", slaveName.c_str(), controlPath.c_str());
    std::fflush(stdout);

    std::map<int, std::string> clients;
    while (!stopRequested) {
        const short lineEvents = printer.deaf() ? 0 : POLLIN;
        std::vector<pollfd> fds = {{master, lineEvents, 0}, {listener, POLLIN, 0}};
        for (const auto& [fd, buffer] : clients)
            fds.push_back({fd, POLLIN, 0});
        const int waitMs = static_cast<int>(std::min<long>(100, printer.nextTick().count()));
        if (poll(fds.data(), fds.size(), waitMs) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        printer.tick();
        if (fds[0].revents & POLLIN) {
            uint8_t buffer[4096];
            const ssize_t n = read(master, buffer, sizeof(buffer));
            for (ssize_t i = 0; i < n; ++i)
                printer.feed(buffer[i]);
        }
        if (fds[1].revents & POLLIN) {
            const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0)
                clients.emplace(client, std::string());
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                continue;
            const int fd = fds[i].fd;
            char buffer[1024];
            const ssize_t n = read(fd, buffer, sizeof(buffer));
            if (n <= 0) {
                close(fd);
                clients.erase(fd);
                continue;
            }
            std::string& pending = clients[fd];
            pending.append(buffer, static_cast<std::size_t>(n));
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                std::string answer;
                for (const std::string& out : control.handle(line))
                    answer += out + "\n";
                writeAll(fd, reinterpret_cast<const uint8_t*>(answer.data()), answer.size());
            }
        }
    }

    for (const auto& [fd, buffer] : clients)
        close(fd);
    close(listener);
    unlink(controlPath.c_str());
    unlink(link.c_str());
    close(slave);
    close(master);
    return 0;
}
