#pragma once

#include "dispensers/PrintStatus.h"

#include <nlohmann/json.hpp>

#include <map>
#include <mutex>
#include <string>

namespace zelmo::Corvane {

// Print outcome counters, the offline decision and the marked-empty flag, kept in a JSON file.
// Thread-safe: the print path, the status poll and the MQTT thread share one object.
class Metrics {
public:
    using Counts = std::map<Dispensers::PrintStatus, unsigned long>;

    // Loads the file and writes it back at once (normalised); an empty path keeps everything in memory.
    explicit Metrics(std::string path = "./metrics.json");
    // A copy is a snapshot without a file: it never saves.
    Metrics(const Metrics& other);
    // Takes over the counts and thresholds, keeps this object's own file and does not write it.
    Metrics& operator=(const Metrics& other);

    void pushPrintStatus(Dispensers::PrintStatus status);
    void clear();
    void markEmpty();
    bool getMarkedEmpty() const;
    bool getPrintFailure() const;
    Counts getPrintMetrics() const;
    Counts getMonotonic() const;
    void setOfflineAfterFailures(unsigned long count);
    void clearFailuresAfterConsecutiveSuccess(unsigned long count);

    nlohmann::json toJson() const;
    void fromJson(const nlohmann::json& doc);
    void load();
    void save();

private:
    // Callers hold mMutex.
    void clearLocked();
    void saveLocked();
    nlohmann::json toJsonLocked() const;

    mutable std::mutex mMutex;
    std::string path;
    Counts counters;
    Counts monotonic;
    unsigned long offlineAfterFailures = 5;
    unsigned long clearAfterConsecutiveSuccess = 2;
    bool markedEmpty = false;
    unsigned long consecutiveSuccesses = 0;
};

} // namespace zelmo::Corvane
