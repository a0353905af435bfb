#include "SerialPort.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

struct SerialPort::Impl {
    int fd = -1;
    FILE* stream = nullptr;
    termios saved{};
    termios applied{};
    serial_struct serial{};
    int lastError = 0;
};

namespace {

speed_t speedFor(int baud) {
    switch (baud) {
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 500000:
        return B500000;
    case 576000:
        return B576000;
    case 921600:
        return B921600;
    case 1000000:
        return B1000000;
    case 1152000:
        return B1152000;
    case 1500000:
        return B1500000;
    case 2000000:
        return B2000000;
    case 2500000:
        return B2500000;
    case 3000000:
        return B3000000;
    case 3500000:
        return B3500000;
    case 4000000:
        return B4000000;
    default:
        return B9600;
    }
}

tcflag_t sizeFor(int dataBits) {
    switch (dataBits) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

} // namespace

SerialPort::SerialPort() : d(std::make_unique<Impl>()) {}

SerialPort::~SerialPort() {
    close();
}

bool SerialPort::open(const std::string& device, int baud, int readTimeoutMs, int dataBits, int stopBits,
                      int parity) {
    close();
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        d->lastError = errno;
        return false;
    }
    // The stream owns the descriptor from here on: closing it closes the port.
    FILE* stream = fdopen(fd, "r+");
    if (stream == nullptr) {
        d->lastError = errno;
        ::close(fd);
        return false;
    }
    if (tcgetattr(fd, &d->saved) != 0) {
        d->lastError = errno;
        std::fclose(stream);
        return false;
    }
    d->fd = fd;
    d->stream = stream;
    ioctl(fd, TIOCGSERIAL, &d->serial);
    if (!configure(baud, readTimeoutMs, dataBits, stopBits, parity)) {
        const int error = d->lastError;
        close();
        d->lastError = error;
        return false;
    }
    return true;
}

bool SerialPort::configure(int baud, int readTimeoutMs, int dataBits, int stopBits, int parity) {
    termios settings{};
    settings.c_cflag = sizeFor(dataBits) | CREAD | CLOCAL;
    if (stopBits == 2)
        settings.c_cflag |= CSTOPB;
    if (parity == Even)
        settings.c_cflag |= PARENB;
    else if (parity == Odd)
        settings.c_cflag |= PARENB | PARODD;
    settings.c_cflag &= ~CRTSCTS;
    const speed_t speed = speedFor(baud);
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
    settings.c_iflag = IGNPAR;
    settings.c_oflag = 0;
    settings.c_lflag = 0;
    if (readTimeoutMs < 0) {
        settings.c_cc[VMIN] = 1;
        settings.c_cc[VTIME] = 0;
    } else if (readTimeoutMs == 0) {
        settings.c_cc[VMIN] = 0;
        settings.c_cc[VTIME] = 0;
    } else {
        int tenths = readTimeoutMs / 100;
        tenths = tenths < 1 ? 1 : (tenths > 255 ? 255 : tenths);
        settings.c_cc[VMIN] = 0;
        settings.c_cc[VTIME] = static_cast<cc_t>(tenths);
    }
    if (tcflush(d->fd, TCIFLUSH) != 0 || tcsetattr(d->fd, TCSANOW, &settings) != 0) {
        d->lastError = errno;
        return false;
    }
    d->applied = settings;
    return true;
}

bool SerialPort::write(uint8_t byte) {
    if (::write(d->fd, &byte, 1) != 1) {
        d->lastError = errno;
        return false;
    }
    return true;
}

std::size_t SerialPort::writeBytes(const std::vector<uint8_t>& bytes) {
    if (bytes.empty())
        return 0;
    const ssize_t written = ::write(d->fd, bytes.data(), bytes.size());
    if (written <= 0) {
        d->lastError = errno;
        return 0;
    }
    return static_cast<std::size_t>(written);
}

int SerialPort::read() {
    uint8_t byte = 0;
    return ::read(d->fd, &byte, 1) == 1 ? byte : -1;
}

bool SerialPort::close() {
    if (d->stream == nullptr)
        return true;
    bool ok = true;
    if (tcsetattr(d->fd, TCSANOW, &d->saved) != 0) {
        d->lastError = errno;
        ok = false;
    }
    if (std::fclose(d->stream) != 0) {
        d->lastError = errno;
        ok = false;
    }
    // The descriptor is gone either way; a second close must not touch a reused number.
    d->stream = nullptr;
    d->fd = -1;
    return ok;
}

bool SerialPort::isOpen() const {
    return d->stream != nullptr;
}

int SerialPort::lastError() const {
    return d->lastError;
}

void SerialPort::appliedSettings(struct termios& out) const {
    out = d->applied;
}
