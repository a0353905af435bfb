#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <vector>

namespace zelmo::Corvane {

// The dispenser state every client sees.
class Status {
public:
    enum Sensor : int { PathSensor1 = 0, PathSensor2 = 1, PathSensor3 = 2, Reel2Paper = 3, Reel1Paper = 4 };
    enum ReelLevel : int { Empty = 0, Reserve = 1, Normal = 2, Full = 3 };

    Status() = default;
    Status(const Status&) = default;
    Status& operator=(const Status&) = default;
    virtual ~Status() = default;

    void setIsJammed(bool value) { isJammed = value; }
    void setIsActive(bool value) { isActive = value; }
    void setIsParked(bool value) { isParked = value; }
    void setSensors(const std::map<Sensor, bool>& value) { sensors = value; }
    void setReelLevels(const std::vector<ReelLevel>& value) { reelLevels = value; }

    bool getIsJammed() const { return isJammed; }
    bool getIsActive() const { return isActive; }
    bool getIsParked() const { return isParked; }
    std::map<Sensor, bool> getSensors() const { return sensors; }
    std::vector<ReelLevel> getReelLevels() const { return reelLevels; }

    bool operator==(const Status& other) const;
    bool operator!=(const Status& other) const { return !(*this == other); }

    nlohmann::json toJson() const;

private:
    std::map<Sensor, bool> sensors;
    std::vector<ReelLevel> reelLevels;
    bool isJammed = false;
    bool isActive = false;
    bool isParked = false;
};

} // namespace zelmo::Corvane
