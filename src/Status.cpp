#include "Status.h"

namespace zelmo::Corvane {

namespace {

std::string reelLevelText(Status::ReelLevel level) {
    switch (level) {
    case Status::Empty:
        return "empty";
    case Status::Reserve:
        return "reserve";
    case Status::Normal:
        return "normal";
    case Status::Full:
        return "full";
    }
    return "";
}

} // namespace

bool Status::operator==(const Status& other) const {
    return sensors == other.sensors && reelLevels == other.reelLevels && isJammed == other.isJammed &&
           isActive == other.isActive && isParked == other.isParked;
}

nlohmann::json Status::toJson() const {
    nlohmann::json doc;
    doc["active"] = isActive;
    if (!isActive)
        return doc;
    doc["isJammed"] = isJammed;
    doc["isParked"] = isParked;
    auto sensorArray = nlohmann::json::array();
    for (const Sensor sensor : {PathSensor1, PathSensor2, PathSensor3, Reel2Paper, Reel1Paper}) {
        const auto it = sensors.find(sensor);
        sensorArray.push_back(it != sensors.end() && it->second);
    }
    doc["sensors"] = sensorArray;
    if (!reelLevels.empty()) {
        auto levels = nlohmann::json::array();
        for (const ReelLevel level : reelLevels)
            levels.push_back(reelLevelText(level));
        doc["reelLevels"] = levels;
    }
    return doc;
}

} // namespace zelmo::Corvane
