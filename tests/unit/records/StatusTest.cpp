#include "Status.h"

#include <gtest/gtest.h>

using json = nlohmann::json;
using zelmo::Corvane::Status;

namespace {

Status activeStatus() {
    Status status;
    status.setIsActive(true);
    status.setSensors({{Status::PathSensor1, true}, {Status::Reel1Paper, true}});
    status.setReelLevels({Status::Normal});
    return status;
}

TEST(Status, DefaultIsInactiveAndEmpty) {
    const Status status;
    EXPECT_FALSE(status.getIsActive());
    EXPECT_FALSE(status.getIsJammed());
    EXPECT_FALSE(status.getIsParked());
    EXPECT_TRUE(status.getSensors().empty());
    EXPECT_EQ(status.toJson().dump(), R"({"active":false})");
}

TEST(Status, ActiveDispenserDocument) {
    EXPECT_EQ(activeStatus().toJson().dump(),
              R"({"active":true,"isJammed":false,"isParked":false,"reelLevels":["normal"],)"
              R"("sensors":[true,false,false,false,true]})");
}

TEST(Status, MissingSensorsAreFalse) {
    Status status;
    status.setIsActive(true);
    status.setSensors({{Status::Reel1Paper, true}});
    EXPECT_EQ(status.toJson()["sensors"], json::parse("[false,false,false,false,true]"));
}

TEST(Status, NoReelsMeansNoReelLevelsMember) {
    Status status;
    status.setIsActive(true);
    EXPECT_FALSE(status.toJson().contains("reelLevels"));
    EXPECT_EQ(status.toJson()["sensors"], json::parse("[false,false,false,false,false]"));
}

TEST(Status, InactiveHidesEverythingElse) {
    Status status = activeStatus();
    status.setIsJammed(true);
    status.setIsParked(true);
    status.setIsActive(false);
    EXPECT_EQ(status.toJson().dump(), R"({"active":false})");
}

TEST(Status, ReelLevelTexts) {
    Status status;
    status.setIsActive(true);
    status.setIsJammed(true);
    status.setIsParked(true);
    status.setReelLevels({Status::Empty, Status::Reserve, Status::Normal, Status::Full, Status::ReelLevel(4),
                          Status::ReelLevel(-1)});
    const json doc = status.toJson();
    EXPECT_EQ(doc["reelLevels"], json::parse(R"(["empty","reserve","normal","full","",""])"));
    EXPECT_TRUE(doc["isJammed"].get<bool>());
    EXPECT_TRUE(doc["isParked"].get<bool>());
}

TEST(Status, EqualityComparesEveryPart) {
    EXPECT_EQ(activeStatus(), activeStatus());

    Status sensor = activeStatus();
    sensor.setSensors({{Status::PathSensor1, true}, {Status::Reel1Paper, false}});
    EXPECT_NE(sensor, activeStatus());

    // A sensor given as false differs from one that is absent (maps of different size).
    Status extra = activeStatus();
    extra.setSensors({{Status::PathSensor1, true}, {Status::PathSensor2, false}, {Status::Reel1Paper, true}});
    EXPECT_NE(extra, activeStatus());

    Status reels = activeStatus();
    reels.setReelLevels({Status::Empty});
    EXPECT_NE(reels, activeStatus());

    Status jammed = activeStatus();
    jammed.setIsJammed(true);
    EXPECT_NE(jammed, activeStatus());

    Status parked = activeStatus();
    parked.setIsParked(true);
    EXPECT_NE(parked, activeStatus());

    EXPECT_NE(Status(), activeStatus());
}

TEST(Status, CopiesCompareEqual) {
    const Status original = activeStatus();
    Status copy;
    copy = original;
    EXPECT_TRUE(copy == original);
    EXPECT_FALSE(copy != original);
}

} // namespace
