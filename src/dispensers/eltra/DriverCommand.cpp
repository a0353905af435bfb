#include "dispensers/eltra/Driver.h"

#include "Helpers.h"
#include "String.h"

#include <condition_variable>
#include <cstdio>
#include <termios.h>
#include <vector>

namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191 {

namespace {

std::string spacedHex(const std::string& text) {
    return Helpers::bytesToHex(std::vector<unsigned char>(text.begin(), text.end()), true);
}

std::string hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof(text), "%02x", value & 0xFF);
    return text;
}

} // namespace

std::error_code Driver::execute(std::string& response, std::string& code, char command,
                                const std::string& data) {
    std::lock_guard<std::mutex> lock(commandMutex);
    if (command != '?') {
        const std::string letter(1, command);
        log(Log::Info, "Sending command '%c' [%s] with data '%s' [%s]", command, spacedHex(letter).c_str(),
            data.c_str(), spacedHex(data).c_str());
    }
    const std::error_code ec = waitAck(command, data);
    if (ec)
        return ec;
    return waitResponse(command, response, code);
}

// The worker is never killed: once the caller's limit has run out it raises the abandon flag, which
// every blocking step of the link looks at, so the worker returns within one wait slice and is joined.
void Driver::endWorker(std::thread& worker, std::mutex& mutex, const bool& done) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (done) {
            log(Log::Debug, "Wrapper thread was done. joining...");
        } else {
            log(Log::Warning, "Wrapper thread was not done. Killing!");
            abandon = true;
        }
    }
    worker.join();
}

std::error_code Driver::waitAck(char command, const std::string& data) {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    int answer = 0;

    abandon = false;
    std::thread worker([&] {
        const elx_cmd cmd{command, data.data(), static_cast<int>(data.size())};
        int result = 0;
        {
            std::lock_guard<std::mutex> link(linkMutex);
            // The first byte after the frame is taken as its acknowledge: a late answer of an exchange
            // given up earlier must not be that byte.
            if (conf.fd >= 0)
                tcflush(conf.fd, TCIFLUSH);
            result = send_cmd(&cmd, &conf);
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            answer = result;
            done = true;
        }
        cv.notify_all();
    });

    bool answered = false;
    int received = 0;
    {
        std::unique_lock<std::mutex> lock(mutex);
        answered = cv.wait_for(lock, timing.ackLimit, [&] { return done; });
        received = answer;
    }
    if (!answered) {
        log(Log::Warning, "ACK timed-out");
        endWorker(worker, mutex, done);
        return ErrorCode::Timeout;
    }
    endWorker(worker, mutex, done);
    if (received == ELX_ACK)
        return ErrorCode::Success;
    log(Log::Warning, "ACK failed. received: %d", static_cast<int>(static_cast<signed char>(received)));
    return ErrorCode::ModuleFailedToAcknowledge;
}

std::error_code Driver::waitResponse(char command, std::string& response, std::string& code) {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;

    abandon = false;
    reply.reset();
    std::thread worker([&] {
        elx_reply* answer = nullptr;
        {
            std::lock_guard<std::mutex> link(linkMutex);
            answer = wait_reply(&conf, nullptr, &Driver::waitCallback);
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            reply.reset(answer);
            done = true;
        }
        cv.notify_all();
    });

    bool finished = false;
    {
        std::unique_lock<std::mutex> lock(mutex);
        finished = cv.wait_for(lock, timing.replyLimit, [&] { return done; });
    }
    if (!finished) {
        log(Log::Warning, "Reply timed-out");
        endWorker(worker, mutex, done);
        reply.reset();
        return ErrorCode::Timeout;
    }
    endWorker(worker, mutex, done);

    if (!reply)
        return ErrorCode::MalformedResponse;
    const ReplyPtr answer = std::move(reply);
    // The link gave up polling before the printer had its reply ready.
    if (answer->error == 1)
        return ErrorCode::Timeout;
    response = std::string(answer->data);
    code = std::string(answer->code, sizeof(answer->code));
    return answer->cmd == command ? ErrorCode::Success : ErrorCode::UnknownError;
}

void Driver::waitCallback(int value) {
    if (value == -1 || value == -2)
        Log::error("WaitCallback: Error(%d)", value);
    else if (value == ELX_DLE)
        Log::info("WaitCallback: Wait");
}

ErrorCode Driver::reportToEc(const std::string& code) {
    static const std::vector<std::pair<const char*, ErrorCode>> table = {
        {"007", ErrorCode::LastTicket},
        {"006", ErrorCode::SecondFromLastTicket},
        {"008", ErrorCode::TicketInMouth},
        {"010", ErrorCode::NoMoreTickets},
        {"020", ErrorCode::JammingError},
        {"030", ErrorCode::TicketInTransport},
        {"040", ErrorCode::ValueOutOfRange},
        {"070", ErrorCode::FontNotPresent},
        {"100", ErrorCode::JammingError},
        {"500", ErrorCode::MalformedRequest},
        {"700", ErrorCode::WrongDeviceConfiguration},
        {"900", ErrorCode::WrongPrinterConfiguration},
    };
    for (const auto& [text, ec] : table)
        if (code == text)
            return ec;
    return ErrorCode::UnknownError;
}

std::string Driver::replyToString(const elx_reply& r) {
    std::string text;
    text += "Type    : 0x" + hex2(static_cast<unsigned char>(r.type)) + "\n";
    text += "Error   : 0x" + hex2(static_cast<unsigned char>(r.error)) + "\n";
    text += "Cmd     : 0x" + hex2(static_cast<unsigned char>(r.cmd)) + "\n";
    text += "Addr    : 0x" + hex2(static_cast<unsigned char>(r.addr)) + "\n";
    for (int i = 0; i < 3; ++i)
        text += "Code[" + std::to_string(i) + "] : 0x" + hex2(static_cast<unsigned char>(r.code[i])) + "\n";
    text += "Data len: 0x" + hex2(r.data_len) + "\n";
    if (r.data_len > 0)
        text += "Data    : " + std::string(r.data, r.data_len) + "\r\n";
    char lrc[16];
    std::snprintf(lrc, sizeof(lrc), "%04x", static_cast<unsigned>(r.lrc) & 0xFFFF);
    text += std::string("LRC     : 0x") + lrc + "\n";
    return text;
}

std::error_code Driver::dispose() {
    log(Log::Info, "Disposing paper ticket...");
    std::string response;
    std::string code;
    if (const std::error_code ec = execute(response, code, ':', ""))
        return ec;
    switch (code[1]) {
    case '0':
        return ErrorCode::Success;
    case '1':
        return ErrorCode::NoTicketInMouth;
    case '2':
        jammed = true;
        return ErrorCode::JammingError;
    case '4':
        return ErrorCode::TicketAlreadyDisposed;
    case '8':
        return ErrorCode::TicketNotDisposed;
    default:
        return ErrorCode::UnknownError;
    }
}

std::error_code Driver::eject() {
    log(Log::Info, "Ejecting paper ticket...");
    std::string response;
    std::string code;
    if (const std::error_code ec = execute(response, code, '@', ""))
        return ec;
    switch (code[1]) {
    case '0':
        log(Log::Info, "Ticket ejected successfully");
        return ErrorCode::Success;
    case '2':
        jammed = true;
        return ErrorCode::JammingError;
    case '4':
        return ErrorCode::NoTicketUnderAntena;
    default:
        return ErrorCode::UnknownError;
    }
}

std::error_code Driver::park() {
    log(Log::Error, "%s: Not implemented", "park");
    return ErrorCode::MalformedRequest;
}

std::error_code Driver::ping() {
    const auto status = getStatus();
    if (!status)
        return status.error();
    return ErrorCode::Success;
}

tl::expected<std::string, std::error_code> Driver::getFirmwareVersion() {
    std::string response;
    std::string code;
    if (const std::error_code ec = execute(response, code, '}', ""))
        return tl::unexpected(ec);
    return response;
}

} // namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191
