#include "dispensers/eltra/Driver.h"

#include "dispensers/eltra/BootLoaderPort.h"
#include "dispensers/eltra/Firmware.h"
#include "dispensers/eltra/Pause.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191 {

namespace {

// Progress bytes the boot loader sends while it erases the flash.
constexpr int EraseSteps = 244;

bool isEraseProgress(uint8_t byte) {
    return byte == '*' || byte == '.' || byte == '#';
}

} // namespace

void Driver::reportFirmwareUpgradeProgress(float erase, float write) {
    firmwareUpgradeProgress.emit(std::min(100.0f, (erase + write) / 2.0f));
}

std::error_code Driver::firmwareUpgrade(const std::string& path, unsigned short expectedCrc) {
    Firmware firmware;
    errno = 0;
    if (!firmware.open(path)) {
        log(Log::Error, "Could not open firmware file '%s': %s", path.c_str(),
            errno != 0 ? std::strerror(errno) : "malformed file");
        return ErrorCode::MalformedRequest;
    }
    // Erasing the flash for an image with nothing to write would leave the printer without firmware.
    if (firmware.bytes().empty()) {
        log(Log::Error, "Firmware file '%s' holds no data records", path.c_str());
        return ErrorCode::MalformedRequest;
    }
    const unsigned crc = firmware.crc();
    log(Log::Info, "Calculated CRC16: %d [0x%04X]", crc, crc);
    if (expectedCrc != 0 && expectedCrc != crc) {
        log(Log::Warning, "CRC16 does not match: (expected=%d [0x%04X], actual=%d [0x%04X])", expectedCrc,
            expectedCrc, crc, crc);
        return ErrorCode::MalformedRequest;
    }

    log(Log::Info, "About to perform a firmware upgrade, waiting for other commands to complete...");
    std::unique_lock<std::mutex> lock(commandMutex);
    log(Log::Warning, "Performing firmware upgrade. All other commands are blocked");

    const OperationalMode mode = detectOperationalMode();
    if (mode == Normal) {
        try {
            start();
        } catch (const std::exception& e) {
            log(Log::Error, "Could not start the printer for its upgrade: %s", e.what());
            return ErrorCode::ModuleFailedToAcknowledge;
        }
        if (const std::error_code ec = setOperationalMode(Programming))
            return ec;
    }
    stop();
    {
        // Mode detection leaves the link open even when the driver was not running.
        std::lock_guard<std::mutex> link(linkMutex);
        closeLink();
    }

    log(Log::Info, "Sleeping until firmware boots-up (3sec)");
    pause(timing, std::chrono::milliseconds(3000));

    // Whatever happens below, the normal link is brought back; a printer that does not answer any more
    // leaves the driver stopped, ready for the next start.
    const auto restart = [this]() -> bool {
        try {
            start();
            return true;
        } catch (const std::exception& e) {
            log(Log::Error, "Printer did not come back after the upgrade: %s", e.what());
            return false;
        }
    };
    BootLoaderPort port(timing.bootLoaderReadLimit);
    const auto giveUp = [&](const char* what) -> std::error_code {
        log(Log::Error, "Firmware upgrade aborted: %s", what);
        port.close();
        restart();
        return ErrorCode::Timeout;
    };

    log(Log::Info, "Re-opening serial port @ 115200");
    if (!port.open(device)) {
        log(Log::Error, "Could not open '%s' for the upgrade", device.c_str());
        restart();
        return ErrorCode::MalformedResponse;
    }

    if (mode != Corrupted) {
        log(Log::Info, "Entering binary mode");
        if (!port.write(0x02))
            return giveUp("could not write to the boot loader");
        const auto answer = port.read();
        if (!answer)
            return giveUp("no answer to binary mode");
        log(Log::Info, "Received: %d", *answer);
        pause(timing, std::chrono::milliseconds(500));
    }

    log(Log::Info, "Erase existing firmware");
    if (!port.write({0x00, 0x02}))
        return giveUp("could not write to the boot loader");
    for (int k = 0; k < EraseSteps; ++k) {
        const auto byte = port.read();
        if (!byte)
            return giveUp("erase progress stopped");
        const float erase = static_cast<float>(k) / EraseSteps * 100.0f;
        reportFirmwareUpgradeProgress(erase, 0);
        log(Log::Info, "Erase progress %.1f", erase);
        if (!isEraseProgress(*byte))
            log(Log::Warning, "Received value not in set [*.#]: [0x%02X]", *byte);
    }
    if (!port.read())
        return giveUp("erase did not end");
    log(Log::Info, "Erase progress 100");
    firmwareUpgradeProgress.emit(50);

    log(Log::Info, "Writing new firmware...");
    const auto& packets = firmware.bytes();
    int loggedStep = 0;
    for (std::size_t k = 0; k < packets.size(); ++k) {
        if (!port.write(packets[k]))
            return giveUp("could not write to the boot loader");
        if (!port.read())
            return giveUp("no answer to a firmware record");
        const float written = static_cast<float>(k) / static_cast<float>(packets.size()) * 100.0f;
        reportFirmwareUpgradeProgress(100, written);
        if (written > static_cast<float>(loggedStep)) {
            ++loggedStep;
            log(Log::Info, "Writing progress: %.1f%%", static_cast<double>(loggedStep));
        }
    }

    log(Log::Info, "Done writing");
    pause(timing, std::chrono::milliseconds(3000));
    log(Log::Info, "Requesting CRC16");
    if (!port.write({0x00, 0x03}))
        return giveUp("could not write to the boot loader");
    const auto high = port.read();
    const auto low = high ? port.read() : std::nullopt;
    if (!high || !low)
        return giveUp("no CRC16 reported");
    const unsigned reported = (static_cast<unsigned>(*high) << 8) | *low;
    log(Log::Info, "Reported CRC16: %d [0x%04X]", reported, reported);
    // The flash does not hold the image: the boot loader is still left and the driver restarted, but
    // the upgrade is not reported as done.
    const bool flashMatches = reported == crc;
    if (!flashMatches)
        log(Log::Error, "Reported CRC16 does not match: (expected=%d [0x%04X], reported=%d [0x%04X])", crc,
            crc, reported, reported);

    firmwareUpgradeProgress.emit(100);
    log(Log::Info, "Exit binary-mode");
    port.write(0x00);
    port.write(0x00);
    log(Log::Info, "Exited");
    pause(timing, std::chrono::milliseconds(4000));

    // The boot loader's port goes first, so the normal link is the only one open on the line.
    port.close();
    if (!restart())
        return ErrorCode::Timeout;
    return flashMatches ? ErrorCode::Success : ErrorCode::MalformedResponse;
}

} // namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191
