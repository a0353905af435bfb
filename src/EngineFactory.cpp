#include "Engine.h"

#include "CommandRunner.h"
#include "Helpers.h"
#include "dispensers/eltra/Driver.h"

#include <libudev.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace zelmo::Corvane {

namespace {

struct UdevDeleter {
    void operator()(udev* context) const { udev_unref(context); }
    void operator()(udev_device* device) const { udev_device_unref(device); }
};
using UdevContext = std::unique_ptr<udev, UdevDeleter>;
using UdevDevice = std::unique_ptr<udev_device, UdevDeleter>;

// udev links are made relative to /dev; an absolute target is a full path already.
std::string resolveLink(const std::string& device) {
    if (!Helpers::isSymlink(device))
        return device;
    const auto target = Helpers::readSymlink(device);
    if (target.find("/dev/") != std::string::npos || target.starts_with("/"))
        return target;
    return "/dev/" + target;
}

} // namespace

std::vector<Engine::FactoryEntry> Engine::factoryTable() const {
    return {
        {{{"idVendor", "1f36"}, {"idProduct", "0900"}},
         [this](const std::string& path) -> std::unique_ptr<Dispensers::Driver> {
             log(Log::Error, "No driver for the DDM dispenser at '%s' in this build", path.c_str());
             return nullptr;
         }},
    };
}

std::unique_ptr<Dispensers::Driver> Engine::serialDriver(const std::string& device) const {
    return std::make_unique<Dispensers::EltraSistemi::ELG150191::Driver>(device);
}

std::unique_ptr<Dispensers::Driver> Engine::driverFactory(const std::string& device) {
    log(Log::Debug, "Running factory on '%s'", device.c_str());

    // Replays the add event of an attached DDM dispenser so that its rule recreates the device link.
    mRunner->run("udevadm", {"trigger", "--action=add", "--subsystem-match=usb", "--attr-match=idVendor=1f36",
                             "--attr-match=idProduct=0900"});

    if (::access(device.c_str(), F_OK) != 0) {
        // The poll retries every period; once a minute is enough to say so.
        const auto now = mClock();
        if (now - mLastMissingReport > std::chrono::seconds(60)) {
            log(Log::Error, "Could not open device '%s': No such file or directory", device.c_str());
            mLastMissingReport = now;
        }
        throw std::runtime_error("Could not open device");
    }

    const auto table = factoryTable();
    const auto resolved = resolveLink(device);
    log(Log::Debug, "Opening device %s -> %s", device.c_str(), resolved.c_str());

    struct stat info {};
    if (::stat(resolved.c_str(), &info) != 0) {
        log(Log::Error, "stat(%s) failed: %s", resolved.c_str(), std::strerror(errno));
        return nullptr;
    }

    UdevContext context(udev_new());
    UdevDevice udevDevice(context ? udev_device_new_from_devnum(context.get(), 'c', info.st_rdev) : nullptr);
    if (!udevDevice) {
        // Pseudo-terminals, forwarded serial ports and devices inside containers have no sysfs entry:
        // nothing identifies them as a USB dispenser, so they are served as the serial printer.
        log(Log::Error, "udev_device_new_from_devnum() failed: %s", std::strerror(errno));
        return serialDriver(device);
    }

    // Matches are counted over the device and all its ancestors: the USB identity sits on a parent.
    std::vector<std::size_t> matches(table.size(), 0);
    for (udev_device* level = udevDevice.get(); level; level = udev_device_get_parent(level)) {
        for (std::size_t i = 0; i < table.size(); ++i) {
            for (const auto& [name, value] : table[i].attributes) {
                const char* actual = udev_device_get_sysattr_value(level, name.c_str());
                if (actual && value == actual)
                    ++matches[i];
            }
        }
    }
    udevDevice.reset();
    context.reset();

    for (std::size_t i = 0; i < table.size(); ++i) {
        if (matches[i] == table[i].attributes.size())
            return table[i].create(resolved);
    }
    return serialDriver(device);
}

} // namespace zelmo::Corvane
