#include "BuildInfo.h"
#include "Engine.h"
#include "Log.h"
#include "String.h"
#include "api/mqtt/Service.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <iostream>
#include <memory>
#include <pthread.h>
#include <string>

// Process-wide objects. Declared in this order so that at exit the engine pointer is released first;
// the service holds its own reference, so the engine outlives the service.
static std::shared_ptr<zelmo::Corvane::API::MQTT::Service> mqttClient;
static std::shared_ptr<zelmo::Corvane::Engine> corvane;

namespace {

Log::Level levelFromVerbosity(unsigned verbosity) {
    switch (verbosity) {
    case 0:
        return Log::Error;
    case 1:
        return Log::Warning;
    case 2:
        return Log::Info;
    default:
        return Log::Debug;
    }
}

} // namespace

// The stop sequence for a caught stop signal. The signals stay blocked in every thread and main()
// takes them with sigwait(), so this runs on the main thread like any other code: publishing, logging
// and joining threads here cannot deadlock on a lock the interrupted code held.
void signalHandler(int sig) {
    // Runs its sequence once per process; later signals change nothing.
    static std::atomic<bool> stopping{false};
    if (stopping.exchange(true))
        return;

    Log::info("Signal caught: %s [%d]", strsignal(sig), sig);

    Log::info("Stopping mqtt...");
    if (mqttClient)
        mqttClient->stop();

    Log::info("Stopping engine...");
    if (corvane)
        corvane->stop();

    Log::info("Handler ended!");
}

int main(int argc, char** argv) {
    // Block the stop signals before anything else: every thread created from here on inherits the
    // mask, and a signal that arrives during start-up stays pending until main() takes it below, so it
    // is neither lost nor handled on a half-started process.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGTERM, signalHandler);
    signal(SIGINT, signalHandler);

    std::string device = getDefaultDevice();
    std::string configFile = getDefaultConfigFile();
    unsigned verbosity = 2;
    bool stdErr = false;
    bool versionFlag = false;
    unsigned verboseCount = 0;
    const std::string banner = String::format("%s v%s (%s, %s)", getProgramDescription(), getProjectVersion(),
                                              getProgramBuildDate(), getProgramBuildTime());

    CLI::App app{banner, ""};
    app.add_option("device,-d,--device", device, "Device. Default is '" + device + "'.");
    app.add_flag("-V,--version", versionFlag, "Print version and exit.");
    app.add_flag("-e,--stderr", stdErr, "Print messages to stderr as well as syslog.");
    app.add_option("-f,--conf", configFile, "Configuration file. Default is '" + configFile + "'.");
    app.add_flag("-v", verboseCount, "Increases verbosity level of log messages by 1 for each v.");
    app.add_option("--verbose", verbosity, "Sets verbosity level of log messages.");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }

    if (versionFlag) {
        std::cout << app.help();
        return 0;
    }
    if (verboseCount > 0)
        verbosity = std::min(verboseCount, 3u);

    std::ios::sync_with_stdio(false);

    Log::open(argv[0], stdErr, true);
    Log::info("%s started", banner.c_str());
    Log::info("Log level is %d.", verbosity);
    Log::setLevel(levelFromVerbosity(verbosity));

    corvane = std::make_shared<zelmo::Corvane::Engine>(device, configFile);
    // Registers the "mqtt" section before activation reads the configuration file.
    mqttClient = std::make_shared<zelmo::Corvane::API::MQTT::Service>(corvane);
    if (corvane->activate())
        return 1;

    Log::info("Starting");
    corvane->start();
    mqttClient->start();

    Log::debug("Main blocks here!");
    int sig = 0;
    while (sigwait(&stopSignals, &sig) != 0) {
    }
    signalHandler(sig);

    corvane->stop();
    corvane.reset();
    mqttClient.reset();
    return 0;
}
