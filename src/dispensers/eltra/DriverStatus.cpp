#include "dispensers/eltra/Driver.h"

#include "Helpers.h"

#include <optional>

namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191 {

namespace {

// Reel levels of the last status query, shared by every driver of the process: a reel going from
// empty to normal means it was reloaded.
struct ReelMemory {
    std::mutex mutex;
    std::optional<std::pair<Status::ReelLevel, Status::ReelLevel>> levels;
};

ReelMemory& reelMemory() {
    static ReelMemory memory;
    return memory;
}

// Shortest '?' reply that carries every position the status is read from.
constexpr std::size_t STATUS_LENGTH = 9;

} // namespace

void Driver::forgetReelLevels() {
    std::lock_guard<std::mutex> lock(reelMemory().mutex);
    reelMemory().levels.reset();
}

tl::expected<Status, std::error_code> Driver::getStatus() {
    if (!running || !connected)
        return tl::unexpected(std::error_code(ErrorCode::Timeout));

    std::string response;
    std::string code;
    const std::error_code ec = execute(response, code, '?', "");
    if (ec == ErrorCode::ModuleFailedToAcknowledge) {
        stop();
        return tl::unexpected(ec);
    }
    if (ec)
        return tl::unexpected(ec);
    // Positions missing from a short reply cannot be guessed; a made-up status would hide the fault.
    if (response.size() < STATUS_LENGTH) {
        log(Log::Warning, "Status reply too short: '%s'", response.c_str());
        return tl::unexpected(std::error_code(ErrorCode::MalformedResponse));
    }
    return statusFromReply(response);
}

Status Driver::statusFromReply(const std::string& text) {
    Status status;
    status.setIsActive(true);

    const bool reel2Out = text[7] != '0';
    const bool reel1Out = text[8] != '0';
    auto marks = Helpers::readValuesFromFile(lastTicketsFile);
    // A missing or partial file counts as no marks and is written back with both keys.
    marks.try_emplace("reel1LastTicket", false);
    marks.try_emplace("reel2LastTicket", false);
    if (reel2Out && marks["reel2LastTicket"])
        marks["reel2LastTicket"] = false;
    if (reel1Out && marks["reel1LastTicket"])
        marks["reel1LastTicket"] = false;
    Helpers::writeValuesToFile(lastTicketsFile, marks);

    const bool reel1Paper = !reel1Out && !marks["reel1LastTicket"];
    const bool reel2Paper = !reel2Out && !marks["reel2LastTicket"];
    status.setSensors({
        {Status::PathSensor1, text[2] == '0'},
        {Status::PathSensor2, text[3] == '0'},
        {Status::PathSensor3, text[6] == '0'},
        {Status::Reel2Paper, reel2Paper},
        {Status::Reel1Paper, reel1Paper},
    });
    const Status::ReelLevel reel1 = reel1Paper ? Status::Normal : Status::Empty;
    const Status::ReelLevel reel2 = reel2Paper ? Status::Normal : Status::Empty;
    status.setReelLevels({reel1, reel2});

    bool reloaded = false;
    {
        std::lock_guard<std::mutex> lock(reelMemory().mutex);
        auto& levels = reelMemory().levels;
        if (!levels)
            levels = std::make_pair(reel1, reel2);
        reloaded = (levels->first == Status::Empty && reel1 == Status::Normal) ||
                   (levels->second == Status::Empty && reel2 == Status::Normal);
        levels = std::make_pair(reel1, reel2);
    }
    if (reloaded) {
        log(Log::Info, "Reel loaded, clearing metrics...");
        metrics.clear();
    }
    return status;
}

} // namespace zelmo::Corvane::Dispensers::EltraSistemi::ELG150191
