#include "Metrics.h"

#include "Log.h"
#include "Utils.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zelmo::Corvane {

using Dispensers::PrintStatus;
using json = nlohmann::json;

namespace {

constexpr PrintStatus kOutcomes[] = {
    PrintStatus::Ok,
    PrintStatus::NoPaper,
    PrintStatus::JamDetected,
    PrintStatus::BadTicketLength,
    PrintStatus::PathBlocked,
    PrintStatus::LastTicket,
    PrintStatus::PaperSlippage,
    PrintStatus::InvalidTicket,
    PrintStatus::ReelStuck,
};

void log(Log::Level level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

void log(Log::Level level, const char* fmt, ...) {
    const std::string format = std::string("[Metrics] ") + fmt;
    va_list args;
    va_start(args, fmt);
    Log::vprint(level, format.c_str(), args);
    va_end(args);
}

json countsToJson(const Metrics::Counts& counts) {
    json doc = json::object();
    for (const auto& [status, count] : counts)
        doc[Dispensers::toStr(status)] = count;
    return doc;
}

// Applies one member at a time, so whatever precedes a bad entry stays applied.
void applyCounts(const json& doc, Metrics::Counts& counts) {
    for (const auto& item : doc.items()) {
        const PrintStatus status = Dispensers::fromStr(item.key());
        const json& value = item.value();
        if (value.is_number_integer() && value.get<long long>() < 0)
            throw std::invalid_argument("negative count for " + item.key());
        counts[status] = value.get<unsigned long>();
    }
}

} // namespace

Metrics::Metrics(std::string path) : path(std::move(path)) {
    for (const PrintStatus status : kOutcomes) {
        counters[status] = 0;
        monotonic[status] = 0;
    }
    if (!this->path.empty()) {
        load();
        save();
    }
}

// A copy is a snapshot: it has no file of its own (empty path) and never writes one.
Metrics::Metrics(const Metrics& other) : Metrics(std::string()) {
    *this = other;
}

// Takes over the counts but keeps this object's own file; nothing is written.
Metrics& Metrics::operator=(const Metrics& other) {
    if (this == &other)
        return *this;
    std::scoped_lock lock(mMutex, other.mMutex);
    counters = other.counters;
    monotonic = other.monotonic;
    offlineAfterFailures = other.offlineAfterFailures;
    clearAfterConsecutiveSuccess = other.clearAfterConsecutiveSuccess;
    markedEmpty = other.markedEmpty;
    consecutiveSuccesses = other.consecutiveSuccesses;
    return *this;
}

void Metrics::pushPrintStatus(PrintStatus status) {
    std::lock_guard<std::mutex> lock(mMutex);
    log(Log::Debug, "print_status=%s", Dispensers::toStr(status).c_str());
    ++monotonic[status];
    ++counters[status];
    if (status != PrintStatus::Ok) {
        consecutiveSuccesses = 0;
    } else if (++consecutiveSuccesses >= clearAfterConsecutiveSuccess) {
        // Enough good prints in a row: forget the failures, keep the count of good prints.
        const unsigned long ok = counters[PrintStatus::Ok];
        clearLocked();
        counters[PrintStatus::Ok] = ok;
    }
    saveLocked();
}

void Metrics::clear() {
    std::lock_guard<std::mutex> lock(mMutex);
    clearLocked();
    saveLocked();
}

void Metrics::clearLocked() {
    log(Log::Debug, "clear");
    consecutiveSuccesses = 0;
    markedEmpty = false;
    for (auto& entry : counters)
        entry.second = 0;
}

void Metrics::markEmpty() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (markedEmpty)
        return;
    log(Log::Warning, "mark_empty");
    markedEmpty = true;
    saveLocked();
}

bool Metrics::getMarkedEmpty() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return markedEmpty;
}

bool Metrics::getPrintFailure() const {
    std::lock_guard<std::mutex> lock(mMutex);
    unsigned long failures = 0;
    for (const auto& [status, count] : counters) {
        if (status != PrintStatus::Ok && status != PrintStatus::NoPaper && status != PrintStatus::LastTicket)
            failures += count;
    }
    return failures >= offlineAfterFailures;
}

Metrics::Counts Metrics::getPrintMetrics() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return counters;
}

Metrics::Counts Metrics::getMonotonic() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return monotonic;
}

void Metrics::setOfflineAfterFailures(unsigned long count) {
    std::lock_guard<std::mutex> lock(mMutex);
    offlineAfterFailures = count;
}

void Metrics::clearFailuresAfterConsecutiveSuccess(unsigned long count) {
    std::lock_guard<std::mutex> lock(mMutex);
    clearAfterConsecutiveSuccess = count;
}

json Metrics::toJson() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return toJsonLocked();
}

json Metrics::toJsonLocked() const {
    json doc = json::object();
    doc["counters"] = countsToJson(counters);
    doc["markedEmpty"] = markedEmpty;
    doc["monotonic"] = countsToJson(monotonic);
    return doc;
}

void Metrics::fromJson(const json& doc) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (doc.contains("counters"))
        applyCounts(doc["counters"], counters);
    if (doc.contains("monotonic"))
        applyCounts(doc["monotonic"], monotonic);
    if (doc.contains("markedEmpty") && doc["markedEmpty"].is_boolean())
        markedEmpty = doc["markedEmpty"].get<bool>();
}

void Metrics::load() {
    std::ifstream file(path);
    if (!file) {
        log(Log::Error, "Cannot read file '%s': %s", path.c_str(), std::strerror(errno));
        return;
    }
    std::stringstream text;
    text << file.rdbuf();
    try {
        fromJson(json::parse(text.str()));
    } catch (const std::exception& e) {
        log(Log::Error, "Cannot parse file '%s': %s", path.c_str(), e.what());
    }
}

void Metrics::save() {
    std::lock_guard<std::mutex> lock(mMutex);
    saveLocked();
}

void Metrics::saveLocked() {
    // A snapshot has no file.
    if (path.empty())
        return;
    log(Log::Debug, "save");
    // Written beside the file and renamed over it: an interrupted save leaves the previous file whole.
    if (!Utils::writeFileAtomically(path, toJsonLocked().dump(4)))
        log(Log::Error, "Cannot write file '%s': %s", path.c_str(), std::strerror(errno));
}

} // namespace zelmo::Corvane
