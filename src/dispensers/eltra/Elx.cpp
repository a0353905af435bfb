#include "dispensers/eltra/Elx.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Longest single wait inside the link; the abandon flag is looked at between two slices.
constexpr long SLICE_US = 20000;

// A reply frame longer than this is not a printer reply: give up reading it.
constexpr int MAX_FRAME_BYTES = 4 * ELX_DATA_SIZE;

// Drained bytes after which draining stops even if the line keeps talking.
constexpr int MAX_DRAIN_BYTES = 64 * 1024;

long toMicros(const timeval& tv) {
    return tv.tv_sec * 1000000L + tv.tv_usec;
}

// Sleeps ms milliseconds in slices; false when the exchange was abandoned meanwhile.
bool sliced_sleep(const elx_conf* conf, int ms) {
    long remaining = static_cast<long>(ms) * 1000L;
    while (remaining > 0) {
        if (elx_abandoned(conf))
            return false;
        const long step = remaining < SLICE_US ? remaining : SLICE_US;
        usleep(static_cast<useconds_t>(step));
        remaining -= step;
    }
    return !elx_abandoned(conf);
}

// One byte with the retry rule of the link: timeouts are retried up to max_retries times.
// Returns the byte, or -1 when it cannot be had. Timeouts are logged when log_timeouts is set.
int read_with_retries(elx_conf* conf, bool log_timeouts) {
    unsigned char byte = 0;
    int timeouts = 0;
    while (timeouts < conf->max_retries) {
        if (elx_abandoned(conf))
            return -1;
        rdch_dev(conf, &byte);
        if (byte == 0xFD || byte == 0xFE)
            return -1;
        if (byte != 0xFF)
            return byte;
        ++timeouts;
        if (log_timeouts)
            dbg(conf, "rdch_dev timeout %d/%d\r\n", timeouts, conf->max_retries);
    }
    if (log_timeouts)
        dbg(conf, "Reached max retries %d\r\n", conf->max_retries);
    return -1;
}

elx_reply* new_reply() {
    return static_cast<elx_reply*>(std::calloc(1, sizeof(elx_reply)));
}

enum class FrameState { Header, Data, Lrc, Trailer };

} // namespace

extern "C" {

void init_conf(elx_conf* conf, char debug) {
    conf->poll_interval_ms = 200;
    conf->max_polls = 100;
    conf->address = 0;
    conf->read_timeout.tv_sec = 1;
    conf->read_timeout.tv_usec = 0;
    conf->max_retries = 10;
    conf->debug = debug;
    std::memset(conf->log_name, 0, sizeof(conf->log_name));
    char* stamp = elx_timefmt();
    std::snprintf(conf->log_name, sizeof(conf->log_name), "dbg_elx_%s.log", stamp != nullptr ? stamp : "");
    std::free(stamp);
    conf->log = debug ? std::fopen(conf->log_name, "w") : nullptr;
    std::memset(conf->port, 0, sizeof(conf->port));
    std::strncpy(conf->port, "/dev/ttyUSB0", sizeof(conf->port) - 1);
    conf->baud = B9600;
    conf->fd = -1;
    conf->abandon = nullptr;
}

int open_dev(elx_conf* conf) {
    dbg(conf, "Opening serial port '%s'\r\n", conf->port);
    const int fd = open(conf->port, O_RDWR | O_NOCTTY);
    if (fd < 0) {
        dbg(conf, "error opening %s\r\n", conf->port);
        conf->fd = -1;
        return -1;
    }
    dbg(conf, "Opened serial port (FD=%d)\r\n", fd);

    termios current{};
    tcgetattr(fd, &current);

    termios settings{};
    settings.c_iflag = IGNPAR;
    settings.c_oflag = 0;
    settings.c_cflag = conf->baud | CS8 | CREAD | CLOCAL;
    settings.c_lflag = 0;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    cfsetispeed(&settings, conf->baud);
    cfsetospeed(&settings, conf->baud);

    // A device that does not take line settings is not a serial line we can talk to.
    if (tcflush(fd, TCIFLUSH) != 0 || tcsetattr(fd, TCSANOW, &settings) != 0) {
        dbg(conf, "error configuring %s: %d\r\n", conf->port, errno);
        close(fd);
        conf->fd = -1;
        return -1;
    }
    conf->fd = fd;
    return fd;
}

int close_dev(elx_conf* conf) {
    int result = -1;
    if (conf->fd >= 0) {
        dbg(conf, "Closing serial port (FD=%d)\r\n", conf->fd);
        result = close(conf->fd);
        conf->fd = -1;
    }
    // The debug log belongs to the open link; a new init_conf opens the next one. A log that stayed
    // empty goes: a printer re-initialised every few seconds would otherwise fill the directory.
    if (conf->log != nullptr) {
        struct stat info {};
        const bool empty = fstat(fileno(conf->log), &info) == 0 && info.st_size == 0;
        std::fclose(conf->log);
        conf->log = nullptr;
        if (empty)
            std::remove(conf->log_name);
    }
    return result;
}

void consume_usb_inbuffer(elx_conf* conf) {
    for (int drained = 0; drained < MAX_DRAIN_BYTES; ++drained) {
        const int byte = rdch_dev(conf, nullptr);
        if (byte < 0 || (byte & 0x80) != 0)
            return;
    }
}

int rdch_dev(elx_conf* conf, unsigned char* out) {
    long remaining = toMicros(conf->read_timeout);
    int result = -1;
    for (;;) {
        if (conf->fd < 0) {
            result = -2;
            break;
        }
        if (elx_abandoned(conf))
            break;
        const long step = remaining < SLICE_US ? remaining : SLICE_US;
        // poll, not select: an fd_set cannot hold a descriptor at or above FD_SETSIZE.
        pollfd pfd{conf->fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>((step + 999) / 1000));
        if (ready < 0 || (ready > 0 && (pfd.revents & POLLNVAL) != 0)) {
            if (ready < 0 && errno == EINTR)
                continue;
            dbg(conf, "select error: %d.\r\n", ready < 0 ? errno : EBADF);
            result = -2;
            break;
        }
        if (ready > 0) {
            unsigned char byte = 0;
            result = read(conf->fd, &byte, 1) == 1 ? byte : -3;
            break;
        }
        remaining -= step;
        if (remaining <= 0)
            break;
    }
    if (out != nullptr)
        *out = static_cast<unsigned char>(result);
    return result;
}

int wrch_dev(elx_conf* conf, unsigned char byte) {
    long remaining = toMicros(conf->read_timeout);
    while (conf->fd >= 0 && !elx_abandoned(conf)) {
        pollfd pfd{conf->fd, POLLOUT, 0};
        const long step = remaining < SLICE_US ? remaining : SLICE_US;
        const int ready = poll(&pfd, 1, static_cast<int>(step / 1000));
        if (ready < 0 && errno != EINTR)
            return -1;
        if (ready > 0) {
            if ((pfd.revents & POLLOUT) == 0)
                return -1;
            return write(conf->fd, &byte, 1) == 1 ? 1 : -1;
        }
        remaining -= step;
        if (remaining <= 0)
            return -1;
    }
    return -1;
}

int send_cmd(const elx_cmd* cmd, elx_conf* conf) {
    const int data_len = cmd->data != nullptr && cmd->data_len > 0 ? cmd->data_len : 0;
    std::vector<unsigned char> frame(static_cast<std::size_t>(data_len) + 8);
    frame[0] = ELX_DC2;
    frame[1] = ELX_STX;
    frame[2] = conf->address != 0 ? static_cast<unsigned char>(conf->address) : ELX_DEFAULT_ADDRESS;
    frame[3] = static_cast<unsigned char>(cmd->cmd);
    if (data_len > 0)
        std::memcpy(&frame[4], cmd->data, static_cast<std::size_t>(data_len));
    const std::size_t etx = 4 + static_cast<std::size_t>(data_len);
    frame[etx] = ELX_ETX;
    frame[etx + 3] = ELX_EOT;

    dbg(conf, "TX> ");
    unsigned char lrc = 0;
    for (std::size_t i = 0; i < frame.size(); ++i) {
        if (i <= etx)
            lrc ^= frame[i];
        else if (i == etx + 1)
            frame[i] = static_cast<unsigned char>((lrc >> 4) + 0x30);
        else if (i == etx + 2)
            frame[i] = static_cast<unsigned char>((lrc & 0x0F) + 0x30);
        if (wrch_dev(conf, frame[i]) != 1) {
            dbg(conf, "%.2X ", frame[i]);
            return -1;
        }
        dbg(conf, "%.2X ", frame[i]);
    }
    dbg(conf, "\r\n");

    dbg(conf, "RX> ");
    unsigned char byte = 0xFF;
    for (int attempt = 0; attempt < conf->max_retries && !elx_abandoned(conf); ++attempt) {
        rdch_dev(conf, &byte);
        dbg(conf, "%.2X ", byte);
        if (byte == 0xFD || byte == 0xFE) {
            dbg(conf, "\r\n");
            return -2;
        }
        if (byte != 0xFF)
            break;
    }
    dbg(conf, "\r\n");
    return byte == 0xFF ? -2 : byte;
}

elx_reply* poll_dev(elx_conf* conf, elx_reply** out) {
    if (out != nullptr)
        *out = nullptr;

    unsigned char poll[3] = {ELX_DC2, ELX_ENQ, static_cast<unsigned char>(conf->address)};
    const int poll_len = conf->address != 0 ? 3 : 2;
    dbg(conf, "TX> ");
    for (int i = 0; i < poll_len; ++i) {
        if (wrch_dev(conf, poll[i]) != 1) {
            dbg(conf, "%.2X \r\n", poll[i]);
            return nullptr;
        }
        dbg(conf, "%.2X ", poll[i]);
    }
    dbg(conf, "\r\n");
    dbg(conf, "RX> \r\n");

    const int first = read_with_retries(conf, true);
    if (first < 0)
        return nullptr;
    dbg(conf, "Got response\r\n");
    elx_reply* reply = new_reply();
    if (reply == nullptr)
        return nullptr;
    dbg(conf, "%.2X ", first);

    if (first == ELX_DLE) {
        reply->type = ELX_DLE;
        if (out != nullptr)
            *out = reply;
        return reply;
    }
    if (first != ELX_STX) {
        release_reply(&reply);
        return nullptr;
    }

    reply->type = ELX_STX;
    FrameState state = FrameState::Header;
    int header = 0;
    int lrc_chars = 0;
    int data_len = 0;
    bool overflow = false;
    for (int count = 0;; ++count) {
        const int byte = count < MAX_FRAME_BYTES ? read_with_retries(conf, false) : -1;
        if (byte < 0) {
            dbg(conf, "\r\n");
            release_reply(&reply);
            return nullptr;
        }
        dbg(conf, "%.2X ", byte);
        const char c = static_cast<char>(byte);
        if (byte == ELX_EOT) {
            if (state == FrameState::Data) {
                if (data_len < ELX_MAX_DATA)
                    reply->data[data_len++] = c;
                else
                    overflow = true;
            }
            break;
        }
        switch (state) {
        case FrameState::Header: {
            char* fields[5] = {&reply->addr, &reply->cmd, &reply->code[0], &reply->code[1], &reply->code[2]};
            *fields[header++] = c;
            if (header == 5)
                state = FrameState::Data;
            break;
        }
        case FrameState::Data:
            if (byte == ELX_ETX)
                state = FrameState::Lrc;
            else if (data_len < ELX_MAX_DATA)
                reply->data[data_len++] = c;
            else
                overflow = true;
            break;
        case FrameState::Lrc:
            if (lrc_chars++ == 0)
                reply->lrc = byte << 8;
            else
                reply->lrc |= byte;
            if (lrc_chars == 2)
                state = FrameState::Trailer;
            break;
        case FrameState::Trailer:
            break;
        }
    }
    dbg(conf, "\r\n");

    // Without its command letter and all three code characters the reply says nothing about the outcome.
    if (state == FrameState::Header) {
        dbg(conf, "Reply header cut short after %d bytes\r\n", header);
        release_reply(&reply);
        return nullptr;
    }
    // Handing out a cut reply would pass corrupted data on as a complete answer.
    if (overflow) {
        dbg(conf, "Reply data exceeds %d bytes\r\n", ELX_MAX_DATA);
        release_reply(&reply);
        return nullptr;
    }
    reply->data_len = static_cast<unsigned short>(data_len);
    reply->error = 0;
    if (out != nullptr)
        *out = reply;
    return reply;
}

elx_reply* wait_reply(elx_conf* conf, elx_reply** out, void (*callback)(int)) {
    if (out != nullptr)
        *out = nullptr;
    elx_reply* last = nullptr;
    for (int i = 1; i <= conf->max_polls; ++i) {
        elx_reply* answer = poll_dev(conf, nullptr);
        if (answer == nullptr) {
            release_reply(&last);
            if (callback != nullptr)
                callback(-1);
            return nullptr;
        }
        release_reply(&last);
        last = answer;
        if (callback != nullptr)
            callback(last->type);
        if (last->type == ELX_STX) {
            if (out != nullptr)
                *out = last;
            return last;
        }
        if (i == conf->max_polls)
            break;
        dbg(conf, "sleeping %d/%d\r\n", i, conf->max_polls);
        if (!sliced_sleep(conf, conf->poll_interval_ms)) {
            // The owner gave up on this exchange.
            release_reply(&last);
            return nullptr;
        }
    }
    if (callback != nullptr)
        callback(-2);
    if (last != nullptr)
        last->error = 1;
    if (out != nullptr)
        *out = last;
    return last;
}

elx_reply* send_cmd_and_wait_reply(const elx_cmd* cmd, elx_conf* conf, elx_reply** out,
                                   void (*callback)(int)) {
    if (send_cmd(cmd, conf) != ELX_ACK) {
        elx_reply* reply = new_reply();
        if (reply != nullptr)
            reply->error = 2;
        if (out != nullptr)
            *out = reply;
        return reply;
    }
    return wait_reply(conf, out, callback);
}

void release_reply(elx_reply** reply) {
    if (reply == nullptr)
        return;
    std::free(*reply);
    *reply = nullptr;
}

void dbg(elx_conf* conf, const char* fmt, ...) {
    if (!conf->debug || conf->log == nullptr)
        return;
    va_list args;
    va_start(args, fmt);
    std::vfprintf(conf->log, fmt, args);
    va_end(args);
    std::fflush(conf->log);
}

char* elx_timefmt(void) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    constexpr std::size_t size = 64;
    char* text = static_cast<char*>(std::malloc(size));
    if (text == nullptr)
        return nullptr;
    std::snprintf(text, size, "%d-%d-%d_%d.%d.%d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                  utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

unsigned get_elx_version(void) {
    return 0x00030001;
}

} // extern "C"
