#include "dispensers/eltra/Driver.h"

#include "dispensers/eltra/Pause.h"
#include "dispensers/eltra/Resources.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191 {

namespace {

// One byte from the descriptor within limit; -1 when none came.
int readByte(int fd, std::chrono::milliseconds limit) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return -1;
        pollfd fds{fd, POLLIN, 0};
        const int ready = ::poll(&fds, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || (fds.revents & POLLIN) == 0)
            return -1;
        unsigned char byte = 0;
        const ssize_t n = ::read(fd, &byte, 1);
        if (n == 1)
            return byte;
        if (n < 0 && errno == EINTR)
            continue;
        return -1;
    }
}

// Writes size bytes within limit, in slices that look at the abandon flag; returns how many went out.
// The descriptor is non-blocking meanwhile, so a line that stops taking data cannot hold the write.
std::size_t writeWithin(int fd, const unsigned char* data, std::size_t size, std::chrono::milliseconds limit,
                        const std::atomic<bool>& abandon) {
    using Clock = std::chrono::steady_clock;
    constexpr std::size_t Chunk = 256;
    constexpr int SliceMs = 20;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return 0;
    const auto deadline = Clock::now() + limit;
    std::size_t done = 0;
    while (done < size && !abandon && Clock::now() < deadline) {
        pollfd fds{fd, POLLOUT, 0};
        const int ready = ::poll(&fds, 1, SliceMs);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        if ((fds.revents & POLLOUT) == 0)
            break;
        const ssize_t n = ::write(fd, data + done, std::min(Chunk, size - done));
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
            break;
    }
    ::fcntl(fd, F_SETFL, flags);
    return done;
}

// Sets the running flag back to what it was before the upload, on every way out.
class RunningRestore {
public:
    explicit RunningRestore(std::atomic<bool>& running) : mRunning(running), mWas(running.exchange(false)) {}
    ~RunningRestore() { mRunning = mWas; }
    RunningRestore(const RunningRestore&) = delete;
    RunningRestore& operator=(const RunningRestore&) = delete;

private:
    std::atomic<bool>& mRunning;
    bool mWas;
};

} // namespace

std::error_code Driver::loadResources(const EltraSistemi::Resources& resources) {
    log(Log::Info, "About to perform a resource upload, waiting for other commands to complete...");
    std::lock_guard<std::mutex> lock(commandMutex);
    const RunningRestore restore(running);
    pause(timing, std::chrono::milliseconds(1000));
    log(Log::Warning, "Performing resource upload. All other commands are blocked");

    const float total = static_cast<float>(3 + resources.logos().size() + 4 * resources.fonts().size());
    unsigned step = 0;
    const auto progress = [&] { resourceLoadProgress.emit(static_cast<float>(step++) / total * 100.0f); };

    log(Log::Info, "Writing logo memory layout");
    if (waitAck('A', resources.logoMemoryMap())) {
        log(Log::Error, "Did not receive ACK");
        return ErrorCode::ModuleFailedToAcknowledge;
    }
    progress();
    pause(timing, std::chrono::milliseconds(1000));

    for (const auto& logo : resources.logos()) {
        log(Log::Info, "Logo[%u] %s (cls=%s)", logo.index, logo.name.c_str(), logo.clear ? "true" : "false");
        log(Log::Warning, "Logo uploading not implemented!");
        progress();
    }

    const char command = resources.fontCommand();
    for (const auto& font : resources.fonts()) {
        log(Log::Info, "Font[%u] %s", font.id, font.name.c_str());
        if (waitAck(command, font.command)) {
            log(Log::Error, "font-initial: did not receive ACK");
            return ErrorCode::ModuleFailedToAcknowledge;
        }
        log(Log::Info, "font-initial: got ACK");
        progress();

        log(Log::Info, "Writing font file of %zu bytes", font.data.size());
        const auto pace = std::chrono::milliseconds(static_cast<long long>(font.data.size()) * 1000 /
                                                    std::max(1, timing.lineBytesPerSecond));
        std::size_t written = 0;
        {
            std::lock_guard<std::mutex> link(linkMutex);
            written = writeWithin(conf.fd, font.data.data(), font.data.size(),
                                  2 * pace + timing.fontWriteMargin, abandon);
        }
        if (written != font.data.size()) {
            log(Log::Error, "Incomplete write (expected=%zu, actual=%zu)", font.data.size(), written);
            return ErrorCode::Timeout;
        }
        log(Log::Info, "Flushing serial port...");
        {
            std::lock_guard<std::mutex> link(linkMutex);
            tcflush(conf.fd, TCIFLUSH);
        }
        progress();

        log(Log::Info, "Waiting for final ACK");
        int ack = -1;
        {
            std::lock_guard<std::mutex> link(linkMutex);
            ack = readByte(conf.fd, timing.fontAckLimit);
        }
        if (ack < 0) {
            log(Log::Error, "No final ACK within %lld ms",
                static_cast<long long>(timing.fontAckLimit.count()));
            return ErrorCode::Timeout;
        }
        // Anything but ACK is the printer refusing the font: the pack must not count as installed.
        if (ack != ELX_ACK) {
            log(Log::Error, "Error uploading font");
            return ErrorCode::ModuleFailedToAcknowledge;
        }
        log(Log::Info, "Received Final ACK");
        progress();

        std::string response;
        std::string code;
        if (waitResponse(command, response, code)) {
            log(Log::Error, "Did not receive response");
            return ErrorCode::Timeout;
        }
        log(Log::Info, "Font response data: '%s'", response.c_str());
        log(Log::Info, "Font response status: '%s'", code.c_str());
        progress();
    }

    progress();
    pause(timing, std::chrono::milliseconds(10000));
    progress();
    return ErrorCode::Success;
}

} // namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191
