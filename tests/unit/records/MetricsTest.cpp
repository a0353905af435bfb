#include "RecordsTestSupport.h"

#include "Metrics.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <thread>

using json = nlohmann::json;
using records_test::LogCapture;
using records_test::readFile;
using records_test::TempDir;
using records_test::writeFile;
using zelmo::Corvane::Metrics;
using zelmo::Corvane::Dispensers::PrintStatus;

namespace {

const char* const kNames[] = {"BadTicketLength", "InvalidTicket", "JamDetected",
                              "LastTicket",      "NoPaper",       "Ok",
                              "PaperSlippage",   "PathBlocked",   "ReelStuck"};

json counts(std::initializer_list<std::pair<const char*, unsigned long>> set = {}) {
    json doc = json::object();
    for (const char* name : kNames)
        doc[name] = 0;
    for (const auto& [name, count] : set)
        doc[name] = count;
    return doc;
}

json metricsDoc(const json& counters, bool markedEmpty, const json& monotonic) {
    return json{{"counters", counters}, {"markedEmpty", markedEmpty}, {"monotonic", monotonic}};
}

class MetricsTest : public ::testing::Test {
protected:
    void push(Metrics& metrics, PrintStatus status, int times = 1) {
        for (int i = 0; i < times; ++i)
            metrics.pushPrintStatus(status);
    }
    json fileDoc() const { return json::parse(readFile(path)); }

    TempDir dir;
    const std::string path = dir.file("metrics.json");
};

TEST_F(MetricsTest, FreshFileHoldsTheNineOutcomesAtZeroIndentedByFour) {
    const Metrics metrics(path);
    const json expected = metricsDoc(counts(), false, counts());
    EXPECT_EQ(readFile(path), expected.dump(4));
    EXPECT_EQ(readFile(path).rfind("{\n    \"counters\": {\n        \"BadTicketLength\": 0,\n", 0), 0u);
    EXPECT_EQ(metrics.toJson(), expected);
    EXPECT_FALSE(metrics.getPrintFailure());
    EXPECT_FALSE(metrics.getMarkedEmpty());
}

TEST_F(MetricsTest, FiveFailuresTakeTheDispenserOfflineAndTwoSuccessesBringItBack) {
    Metrics metrics(path);
    push(metrics, PrintStatus::Ok);
    push(metrics, PrintStatus::JamDetected, 4);
    EXPECT_FALSE(metrics.getPrintFailure());
    push(metrics, PrintStatus::JamDetected);
    EXPECT_TRUE(metrics.getPrintFailure());

    push(metrics, PrintStatus::Ok);
    EXPECT_TRUE(metrics.getPrintFailure());
    push(metrics, PrintStatus::Ok);
    EXPECT_FALSE(metrics.getPrintFailure());

    EXPECT_EQ(metrics.getPrintMetrics().at(PrintStatus::Ok), 3u);
    EXPECT_EQ(metrics.getPrintMetrics().at(PrintStatus::JamDetected), 0u);
    EXPECT_EQ(metrics.getMonotonic().at(PrintStatus::Ok), 3u);
    EXPECT_EQ(metrics.getMonotonic().at(PrintStatus::JamDetected), 5u);
    EXPECT_EQ(fileDoc(), metricsDoc(counts({{"Ok", 3}}), false, counts({{"Ok", 3}, {"JamDetected", 5}})));
}

TEST_F(MetricsTest, AFailureBetweenSuccessesRestartsTheSequence) {
    Metrics metrics(path);
    push(metrics, PrintStatus::ReelStuck, 5);
    push(metrics, PrintStatus::Ok);
    push(metrics, PrintStatus::PathBlocked);
    push(metrics, PrintStatus::Ok);
    EXPECT_TRUE(metrics.getPrintFailure());
    push(metrics, PrintStatus::Ok);
    EXPECT_FALSE(metrics.getPrintFailure());
}

TEST_F(MetricsTest, EveryFailureKindCountsButNoPaperAndLastTicketDoNot) {
    Metrics metrics(path);
    push(metrics, PrintStatus::NoPaper, 10);
    push(metrics, PrintStatus::LastTicket, 10);
    EXPECT_FALSE(metrics.getPrintFailure());
    for (const auto status : {PrintStatus::JamDetected, PrintStatus::BadTicketLength,
                              PrintStatus::PathBlocked, PrintStatus::PaperSlippage})
        push(metrics, status);
    EXPECT_FALSE(metrics.getPrintFailure());
    push(metrics, PrintStatus::InvalidTicket);
    EXPECT_TRUE(metrics.getPrintFailure());
}

TEST_F(MetricsTest, OfflineThresholdZeroMeansAlwaysFailed) {
    Metrics metrics(path);
    metrics.setOfflineAfterFailures(0);
    EXPECT_TRUE(metrics.getPrintFailure());
    push(metrics, PrintStatus::Ok, 4);
    EXPECT_TRUE(metrics.getPrintFailure());
}

TEST_F(MetricsTest, ThresholdsAreAdjustable) {
    Metrics metrics(path);
    metrics.setOfflineAfterFailures(2);
    metrics.clearFailuresAfterConsecutiveSuccess(3);
    push(metrics, PrintStatus::JamDetected, 2);
    EXPECT_TRUE(metrics.getPrintFailure());
    push(metrics, PrintStatus::Ok, 2);
    EXPECT_TRUE(metrics.getPrintFailure());
    push(metrics, PrintStatus::Ok);
    EXPECT_FALSE(metrics.getPrintFailure());
}

TEST_F(MetricsTest, ClearKeepsTheEntriesAndTheMonotonicCounts) {
    Metrics metrics(path);
    push(metrics, PrintStatus::JamDetected, 6);
    metrics.markEmpty();
    metrics.clear();
    EXPECT_FALSE(metrics.getPrintFailure());
    EXPECT_FALSE(metrics.getMarkedEmpty());
    EXPECT_EQ(metrics.getPrintMetrics().size(), 9u);
    EXPECT_EQ(fileDoc(), metricsDoc(counts(), false, counts({{"JamDetected", 6}})));
}

TEST_F(MetricsTest, MarkEmptyIsSavedOnceAndClearedByTwoSuccesses) {
    Metrics metrics(path);
    {
        LogCapture capture;
        metrics.markEmpty();
        metrics.markEmpty();
        EXPECT_EQ(capture.linesFrom("[Metrics] mark_empty").size(), 1u);
        EXPECT_EQ(capture.linesFrom("[Metrics] save").size(), 1u);
    }
    EXPECT_TRUE(metrics.getMarkedEmpty());
    EXPECT_TRUE(fileDoc()["markedEmpty"].get<bool>());
    EXPECT_TRUE(Metrics(path).getMarkedEmpty());

    push(metrics, PrintStatus::Ok, 2);
    EXPECT_FALSE(metrics.getMarkedEmpty());
    EXPECT_FALSE(fileDoc()["markedEmpty"].get<bool>());
}

TEST_F(MetricsTest, LogsEachPrintOutcomeAndTheClear) {
    Metrics metrics(path);
    LogCapture capture;
    push(metrics, PrintStatus::Ok, 2);
    EXPECT_EQ(capture.linesFrom("[Metrics] "),
              (std::vector<std::string>{"[Metrics] print_status=Ok", "[Metrics] save",
                                        "[Metrics] print_status=Ok", "[Metrics] clear", "[Metrics] save"}));
}

TEST_F(MetricsTest, CountsSurviveARestart) {
    {
        Metrics metrics(path);
        push(metrics, PrintStatus::PaperSlippage, 3);
        push(metrics, PrintStatus::Ok);
        metrics.markEmpty();
    }
    const Metrics reloaded(path);
    EXPECT_EQ(reloaded.getPrintMetrics().at(PrintStatus::PaperSlippage), 3u);
    EXPECT_EQ(reloaded.getMonotonic().at(PrintStatus::Ok), 1u);
    EXPECT_TRUE(reloaded.getMarkedEmpty());
}

TEST_F(MetricsTest, PartialFileIsNormalisedAtConstruction) {
    writeFile(path, R"({"counters": {"Ok": 3}, "extra": 1})");
    const Metrics metrics(path);
    EXPECT_EQ(readFile(path), metricsDoc(counts({{"Ok", 3}}), false, counts()).dump(4));
}

TEST_F(MetricsTest, MarkedEmptyMustBeABoolean) {
    writeFile(path, R"({"markedEmpty": 1})");
    EXPECT_FALSE(Metrics(path).getMarkedEmpty());
    writeFile(path, R"({"markedEmpty": "true"})");
    EXPECT_FALSE(Metrics(path).getMarkedEmpty());
    writeFile(path, R"({"markedEmpty": true})");
    EXPECT_TRUE(Metrics(path).getMarkedEmpty());
}

TEST_F(MetricsTest, UnknownOutcomeKeepsWhatWasReadBeforeAndRewritesTheFile) {
    writeFile(path, R"({"counters": {"BadTicketLength": 4, "Bogus": 7, "JamDetected": 9},
                        "markedEmpty": true, "monotonic": {"Ok": 3}})");
    LogCapture capture;
    const Metrics metrics(path);
    EXPECT_EQ(
        capture.linesFrom("[Metrics] Cannot"),
        std::vector<std::string>{"[Metrics] Cannot parse file '" + path + "': unknown print status: Bogus"});
    const json expected = metricsDoc(counts({{"BadTicketLength", 4}}), false, counts());
    EXPECT_EQ(metrics.toJson(), expected);
    EXPECT_EQ(readFile(path), expected.dump(4));
}

TEST_F(MetricsTest, CountThatIsNotANumberStopsTheLoad) {
    writeFile(path, R"({"counters": {"JamDetected": 2, "Ok": "many"}, "monotonic": {"Ok": 3}})");
    LogCapture capture;
    const Metrics metrics(path);
    EXPECT_EQ(capture.linesFrom("[Metrics] Cannot parse file").size(), 1u);
    EXPECT_EQ(metrics.toJson(), metricsDoc(counts({{"JamDetected", 2}}), false, counts()));
}

TEST_F(MetricsTest, NegativeCountIsRejected) {
    Metrics metrics("");
    EXPECT_ANY_THROW(metrics.fromJson(json::parse(R"({"counters": {"JamDetected": -1}})")));
    EXPECT_EQ(metrics.getPrintMetrics().at(PrintStatus::JamDetected), 0u);
}

TEST_F(MetricsTest, MissingFileIsReportedAndCreated) {
    LogCapture capture;
    const Metrics metrics(path);
    EXPECT_EQ(
        capture.linesFrom("[Metrics] Cannot"),
        std::vector<std::string>{"[Metrics] Cannot read file '" + path + "': No such file or directory"});
    EXPECT_EQ(fileDoc(), metricsDoc(counts(), false, counts()));
}

TEST_F(MetricsTest, CorruptFileIsReplacedByDefaults) {
    writeFile(path, "abc");
    LogCapture capture;
    const Metrics metrics(path);
    const auto lines = capture.linesFrom("[Metrics] Cannot parse file '" + path + "': ");
    EXPECT_EQ(lines.size(), 1u);
    EXPECT_EQ(fileDoc(), metricsDoc(counts(), false, counts()));
}

TEST_F(MetricsTest, EmptyFileIsReplacedByDefaults) {
    writeFile(path, "");
    const Metrics metrics(path);
    EXPECT_EQ(fileDoc(), metricsDoc(counts(), false, counts()));
}

TEST_F(MetricsTest, UnwritableFileKeepsCountingInMemory) {
    const std::string missing = dir.file("no/such/metrics.json");
    LogCapture capture;
    Metrics metrics(missing);
    push(metrics, PrintStatus::JamDetected, 5);
    EXPECT_TRUE(metrics.getPrintFailure());
    const auto errors =
        capture.linesFrom("[Metrics] Cannot write file '" + missing + "': No such file or directory");
    EXPECT_EQ(errors.size(), 6u);
}

TEST_F(MetricsTest, CopyIsASnapshotThatNeverSaves) {
    Metrics metrics(path);
    push(metrics, PrintStatus::JamDetected);
    const std::string before = readFile(path);
    {
        Metrics copy(metrics);
        EXPECT_EQ(copy.toJson(), metrics.toJson());
        push(copy, PrintStatus::JamDetected, 5);
        copy.clear();
        copy.markEmpty();
        copy.save();
    }
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(metrics.getPrintMetrics().at(PrintStatus::JamDetected), 1u);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"metrics.json"});
}

TEST_F(MetricsTest, AssignmentTakesTheCountsButKeepsItsOwnFile) {
    Metrics source(path);
    push(source, PrintStatus::ReelStuck, 2);
    const std::string otherPath = dir.file("other.json");
    Metrics target(otherPath);
    const std::string targetBefore = readFile(otherPath);
    target = source;
    EXPECT_EQ(readFile(otherPath), targetBefore);
    EXPECT_EQ(target.toJson(), source.toJson());
    target.save();
    EXPECT_EQ(json::parse(readFile(otherPath)), source.toJson());
    EXPECT_EQ(json::parse(readFile(path)), source.toJson());
}

// Runs a save with the process file-size limit so low that writing the new content fails half-way,
// the state a power cut between write and rename would leave behind.
TEST_F(MetricsTest, SaveThatFailsHalfWayLeavesThePreviousFileWhole) {
    Metrics metrics(path);
    push(metrics, PrintStatus::NoPaper, 2);
    const std::string before = readFile(path);
    ASSERT_GT(before.size(), 64u);

    LogCapture capture;
    rlimit previous{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = previous;
    limited.rlim_cur = 32;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    metrics.pushPrintStatus(PrintStatus::JamDetected);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"metrics.json"}) << "temporary file left behind";
    EXPECT_EQ(capture.linesFrom("[Metrics] Cannot write file"),
              std::vector<std::string>{"[Metrics] Cannot write file '" + path + "': File too large"});
    EXPECT_EQ(metrics.getPrintMetrics().at(PrintStatus::JamDetected), 1u);

    metrics.save();
    EXPECT_EQ(fileDoc(), metrics.toJson());
}

TEST_F(MetricsTest, ConcurrentUseKeepsEveryCountAndAValidFile) {
    Metrics metrics(path);
    constexpr int kWriters = 3;
    constexpr int kPushes = 40;
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&metrics, w] {
            for (int i = 0; i < kPushes; ++i)
                metrics.pushPrintStatus(i % 2 == 0
                                            ? PrintStatus::Ok
                                            : (w == 0 ? PrintStatus::JamDetected : PrintStatus::NoPaper));
        });
    }
    std::thread reader([&] {
        while (!stop) {
            (void)metrics.getPrintFailure();
            (void)metrics.getPrintMetrics();
            (void)metrics.toJson();
            const Metrics snapshot(metrics);
            (void)snapshot.getMonotonic();
        }
    });
    std::thread poll([&] {
        for (int i = 0; i < 20 && !stop; ++i) {
            metrics.markEmpty();
            metrics.clear();
        }
    });
    for (auto& thread : threads)
        thread.join();
    stop = true;
    reader.join();
    poll.join();

    const auto monotonic = metrics.getMonotonic();
    EXPECT_EQ(monotonic.at(PrintStatus::Ok), static_cast<unsigned long>(kWriters * kPushes / 2));
    EXPECT_EQ(monotonic.at(PrintStatus::JamDetected), static_cast<unsigned long>(kPushes / 2));
    EXPECT_EQ(monotonic.at(PrintStatus::NoPaper), static_cast<unsigned long>((kWriters - 1) * kPushes / 2));
    EXPECT_EQ(fileDoc(), metrics.toJson());
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"metrics.json"});
}

} // namespace
