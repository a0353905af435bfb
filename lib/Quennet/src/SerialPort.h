#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct termios;

// A terminal device in raw mode: speed, character size, stop bits, parity and read time-out, moving
// single bytes or byte blocks. No operation throws; failures are returned and errno is kept.
class SerialPort {
public:
    enum Parity : int { None = 0, Even = 1, Odd = 2 };

    SerialPort();
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // readTimeoutMs: -1 waits for at least one byte, 0 returns at once, above 0 waits up to that
    // long (in tenths of a second, 1 to 255). An open port is closed first.
    bool open(const std::string& device, int baud, int readTimeoutMs, int dataBits, int stopBits, int parity);
    bool configure(int baud, int readTimeoutMs, int dataBits, int stopBits, int parity);
    bool write(uint8_t byte);
    std::size_t writeBytes(const std::vector<uint8_t>& bytes);
    // The byte read (0-255), or -1 when none could be read (time-out or failure).
    int read();
    // Restores the settings found at open; true also when the port was not open.
    bool close();

    bool isOpen() const;
    int lastError() const;
    // The terminal settings last applied by configure (some terminals, pseudo-terminals for one,
    // report back only part of them).
    void appliedSettings(struct termios& out) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
