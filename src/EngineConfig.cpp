#include "Engine.h"

#include "ErrorCode.h"
#include "Log.h"
#include "Utils.h"

#include <fstream>
#include <iterator>

namespace zelmo::Corvane {

void Engine::addGetConfigCallback(const std::string& name, std::function<json()> producer) {
    mGetConfigCallbacks.emplace(name, std::move(producer));
}

void Engine::addSetConfigCallback(const std::string& name, std::function<void(json)> consumer) {
    mSetConfigCallbacks.emplace(name, std::move(consumer));
}

Engine::json Engine::getConfig() {
    json doc = mConfig.toJson();
    {
        std::lock_guard<std::mutex> lock(mCommandMutex);
        if (mDriver)
            doc["device"] = mDriver->getConfig();
    }
    for (const auto& [name, producer] : mGetConfigCallbacks)
        doc[name] = producer();
    return doc;
}

std::error_code Engine::setConfig(const json& config) {
    std::lock_guard<std::mutex> lock(mConfigMutex);
    return setConfigLocked(config);
}

// Callers hold mConfigMutex: a configuration pass of a driver initialisation (read the file, merge,
// write) must not interleave with a change from a client, or it writes the old values back.
std::error_code Engine::setConfigLocked(const json& config) {
    mConfig.updateFromJson(config);

    if (config.is_object() && config.contains("device")) {
        std::lock_guard<std::mutex> lock(mCommandMutex);
        if (mDriver) {
            if (const auto ec = mDriver->setConfig(config["device"]))
                return ec;
        }
    }

    // Debug logging is switched on by configuration but never off again.
    if (mConfig.logDebug())
        Log::setLevel(Log::Debug);

    for (const auto& [name, consumer] : mSetConfigCallbacks) {
        if (config.is_object() && config.contains(name))
            consumer(config[name]);
    }

    restart();

    // Failure leaves the old file in place; the settings in memory stay in force.
    if (!Utils::writeFileAtomically(mConfigFile, getConfig().dump(4)))
        log(Log::Error, "Could not write config file: '%s'.", mConfigFile.c_str());
    return make_error_code(ErrorCode::Success);
}

bool Engine::readConfigFile(json& out) {
    log(Log::Info, "Reading config file: '%s'", mConfigFile.c_str());
    std::ifstream file(mConfigFile, std::ios::binary);
    if (!file) {
        log(Log::Error, "Could not read config file: '%s'.", mConfigFile.c_str());
        return false;
    }
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (text.empty() || !json::accept(text)) {
        log(Log::Error, "Config file '%s' is empty.", mConfigFile.c_str());
        return false;
    }
    out = json::parse(text);
    return true;
}

void Engine::writeConfigFile(const std::string& path) {
    if (!Utils::writeFileAtomically(path, mConfig.toJson().dump(4))) {
        log(Log::Error, "Could not write config file: '%s'.", path.c_str());
        return;
    }
    log(Log::Info, "Saving updated config file");
}

std::error_code Engine::applyConfig() {
    std::lock_guard<std::mutex> lock(mConfigMutex);
    json doc;
    if (readConfigFile(doc)) {
        mConfig.updateFromJson(doc);
        setConfigLocked(mConfig.toJson());
        doc = getConfig();
    } else {
        doc = getConfig();
    }
    mConfig.updateFromJson(doc);
    writeConfigFile(mConfigFile);
    return {};
}

void Engine::storeConfig(const json& doc) {
    mConfig.updateFromJson(doc);
}

} // namespace zelmo::Corvane
