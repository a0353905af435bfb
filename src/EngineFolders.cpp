#include "Engine.h"

#include "ErrorCode.h"
#include "Helpers.h"
#include "Log.h"
#include "Utils.h"
#include "dispensers/eltra/Resources.h"

#include <cerrno>
#include <cstdio>
#include <set>
#include <sys/stat.h>

namespace zelmo::Corvane {

using ResourcePack = Dispensers::EltraSistemi::Resources;

namespace {

std::error_code ensureDirectory(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0)
        return S_ISDIR(info.st_mode) ? std::error_code() : std::make_error_code(std::errc::not_a_directory);
    if (::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST)
        return {};
    return {errno, std::system_category()};
}

std::set<std::string> namesOf(const std::list<std::string>& paths) {
    std::set<std::string> names;
    for (const auto& path : paths)
        names.insert(Utils::getFilenameFromFilepath(path));
    return names;
}

} // namespace

std::error_code Engine::prepareFolders(const std::string& name, std::string& folder, std::string& accepted) {
    std::string base;
    try {
        base = mApplicationDirectory.empty() ? Helpers::getExecutableDirectory() : mApplicationDirectory;
    } catch (const std::exception&) {
        return std::make_error_code(std::errc::no_such_file_or_directory);
    }
    log(Log::Info, "Detected app path %s", base.c_str());

    const auto dir = Utils::combinePath(base, name);
    const auto acceptedDir = Utils::combinePath(dir, "accepted");
    if (const auto ec = ensureDirectory(dir))
        return ec;
    if (const auto ec = ensureDirectory(acceptedDir))
        return ec;
    folder = dir;
    accepted = acceptedDir;
    return {};
}

std::error_code Engine::prepareFirmwareFolders() {
    const auto ec = prepareFolders("firmwares", mFirmwareFolder, mAcceptedFirmwareFolder);
    if (ec)
        log(Log::Error, "Could not create firmware sub-directories: %s", ec.message().c_str());
    return ec;
}

std::error_code Engine::prepareResourceFolders() {
    const auto ec = prepareFolders("resources", mResourceFolder, mAcceptedResourceFolder);
    if (ec)
        log(Log::Error, "Could not create resource sub-directories: %s", ec.message().c_str());
    return ec;
}

bool Engine::initializeFirmwareDirectories() {
    return !prepareFirmwareFolders();
}

bool Engine::initializeResourceDirectories() {
    return !prepareResourceFolders();
}

std::error_code Engine::autoFirmwareUpgrade() {
    if (const auto ec = prepareFirmwareFolders())
        return ec;

    const auto model = mDriver->getModel();
    const std::string pattern = model && *model == "ELG150191" ? "*.s19" : "*.bin";
    log(Log::Info, "Looking for firmware files '%s' in '%s'", pattern.c_str(), mFirmwareFolder.c_str());

    const auto candidates = Utils::listFiles(mFirmwareFolder, pattern);
    const auto installed = namesOf(Utils::listFiles(mAcceptedFirmwareFolder, pattern));

    std::string chosen;
    for (const auto& candidate : candidates) {
        log(Log::Info, " - Checking %s", candidate.c_str());
        if (installed.contains(Utils::getFilenameFromFilepath(candidate))) {
            log(Log::Info, " - Already installed");
            continue;
        }
        chosen = candidate;
        break;
    }
    if (chosen.empty()) {
        log(Log::Info, "No firmware files found");
        return {};
    }

    const auto ec = mDriver->firmwareUpgrade(chosen, 0);

    // A failed image is put aside as well, so it is not flashed again at every start.
    const auto name = Utils::getFilenameFromFilepath(chosen);
    if (std::rename(chosen.c_str(), Utils::combinePath(mAcceptedFirmwareFolder, name).c_str()) == 0)
        log(Log::Info, "Moved '%s' to '%s'", name.c_str(), mAcceptedFirmwareFolder.c_str());
    else
        log(Log::Warning, "Failed to move '%s' to '%s'", name.c_str(), mAcceptedFirmwareFolder.c_str());

    return ec ? ec : make_error_code(ErrorCode::FirmwareUpdated);
}

std::error_code Engine::autoResourceLoad() {
    if (const auto ec = prepareResourceFolders())
        return ec;

    log(Log::Info, "Looking for resource files 'setup.dat' in '%s'", mResourceFolder.c_str());
    const auto installed = namesOf(Utils::listDirectories(mAcceptedResourceFolder));
    const auto folders = Utils::listDirectories(mResourceFolder);

    for (const auto& folder : folders) {
        if (folder == mAcceptedResourceFolder)
            continue;
        log(Log::Info, " - Checking '%s'", folder.c_str());
        const auto name = Utils::getFilenameFromFilepath(folder);
        if (installed.contains(name)) {
            log(Log::Info, " - Already installed");
            continue;
        }
        const auto setup = Utils::combinePath(folder, "setup.dat");
        if (!Utils::fileExists(setup)) {
            log(Log::Info, " - Did not find 'setup.dat'");
            continue;
        }
        ResourcePack pack;
        if (!pack.open(setup)) {
            log(Log::Warning, " - Could not parse '%s'", setup.c_str());
            continue;
        }
        mDriver->start();
        if (const auto ec = mDriver->loadResources(pack)) {
            log(Log::Warning, " - Could not upload resources: %s", ec.message().c_str());
            continue;
        }
        if (std::rename(folder.c_str(), Utils::combinePath(mAcceptedResourceFolder, name).c_str()) == 0)
            log(Log::Info, "Moved '%s' to '%s'", folder.c_str(), mAcceptedResourceFolder.c_str());
        else
            log(Log::Warning, "Failed to move '%s' to '%s'", folder.c_str(), mAcceptedResourceFolder.c_str());
    }
    return {};
}

// The poll is held before the worker takes its driver, and a tick already running is waited out:
// such a tick could otherwise read the driver's "not running" status mid-installation, create a
// second driver and open the same port under the installation.
Engine::StatusPollHold::StatusPollHold(Engine& engine) : mEngine(engine) {
    mEngine.holdStatusTimer();
    std::lock_guard<std::mutex> tickDone(mEngine.mCommandMutex);
}

Engine::StatusPollHold::~StatusPollHold() {
    mEngine.resumeStatusTimer();
}

// Every installation ends with a finished event, even when the driver throws: the client waits for it.
std::error_code Engine::runInstallation(const char* what, const std::function<std::error_code()>& install) {
    try {
        return install();
    } catch (const std::exception& e) {
        log(Log::Error, "%s failed: %s", what, e.what());
    } catch (...) {
        log(Log::Error, "%s failed", what);
    }
    return make_error_code(ErrorCode::UnknownError);
}

std::error_code Engine::firmwareUpgrade(const std::string& path, unsigned short crc) {
    log(Log::Info, "Attempting firmware upgrade using '%s' (expectedCrc= %d [0x%04X])", path.c_str(), crc,
        crc);
    runInBackground([this, path, crc] {
        const StatusPollHold hold(*this);
        const auto driver = driverSnapshot();
        if (!driver) {
            firmwareUpgradeFinished.emit(make_error_code(ErrorCode::WrongDeviceConfiguration));
            return;
        }
        firmwareUpgradeFinished.emit(
            runInstallation("Firmware upgrade", [&] { return driver->firmwareUpgrade(path, crc); }));
    });
    return make_error_code(ErrorCode::Success);
}

std::error_code Engine::loadResources(const std::string& folder) {
    log(Log::Info, "Attempting resource upload from '%s'", folder.c_str());
    const auto setup = Utils::combinePath(folder, "setup.dat");
    if (!Utils::fileExists(setup)) {
        log(Log::Warning, "File not found");
        return make_error_code(ErrorCode::MalformedRequest);
    }
    auto pack = std::make_shared<ResourcePack>();
    if (!pack->open(setup)) {
        log(Log::Warning, "Could not parse '%s'", setup.c_str());
        return make_error_code(ErrorCode::MalformedRequest);
    }
    runInBackground([this, pack] {
        const StatusPollHold hold(*this);
        const auto driver = driverSnapshot();
        if (!driver) {
            resourceLoadFinished.emit(make_error_code(ErrorCode::WrongDeviceConfiguration));
            return;
        }
        resourceLoadFinished.emit(
            runInstallation("Resource upload", [&] { return driver->loadResources(*pack); }));
    });
    return make_error_code(ErrorCode::Success);
}

} // namespace zelmo::Corvane
