#include "RecordsTestSupport.h"

#include "SettingStore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <sys/stat.h>
#include <thread>

using json = nlohmann::json;
using records_test::LogCapture;
using records_test::TempDir;

namespace {

std::vector<std::string> changesOf(SettingStore& store, const std::function<void()>& action) {
    std::vector<std::string> keys;
    const int id = store.changed.connect([&keys](const std::string& key) { keys.push_back(key); });
    action();
    store.changed.disconnect(id);
    return keys;
}

std::vector<std::string> tableLines(LogCapture& capture) {
    std::vector<std::string> lines;
    for (const auto& line : capture.linesFrom("[Settings] "))
        lines.push_back(line.substr(std::string("[Settings] ").size()));
    return lines;
}

TEST(SettingStoreJson, FlattensNestedObjectsAndArraysWithTheirTags) {
    SettingStore store;
    const json doc = json::parse(R"({"a": {"b": 1, "c": [true, false]}})");
    store.updateFromJson(doc);

    EXPECT_EQ(store.keys(), (std::list<std::string>{"a/b", "a/c/0", "a/c/1"}));
    EXPECT_EQ(store.get("a/b"), Variant("1", Variant::UInt));
    EXPECT_EQ(store.get("a/c/0"), Variant("true", Variant::Bool));
    EXPECT_EQ(store.get("a/c/1"), Variant("false", Variant::Bool));
    EXPECT_EQ(store.toJson(), doc);
}

TEST(SettingStoreJson, ScalarTagsFollowTheJsonType) {
    SettingStore store;
    store.updateFromJson(
        json::parse(R"({"s": "text", "neg": -5, "pos": 5, "f": 0.5, "t": true, "n": null})"));
    EXPECT_EQ(store.get("s").type(), Variant::String);
    EXPECT_EQ(store.get("neg"), Variant(-5));
    EXPECT_EQ(store.get("pos"), Variant(5UL));
    EXPECT_EQ(store.get("f"), Variant(0.5));
    EXPECT_EQ(store.get("t"), Variant(true));
    EXPECT_TRUE(store.exists("n"));
    EXPECT_TRUE(store.get("n").isNull());
    EXPECT_EQ(store.toJson(),
              json::parse(R"({"s": "text", "neg": -5, "pos": 5, "f": 0.5, "t": true, "n": null})"));
}

TEST(SettingStoreJson, EmptyObjectsAndArraysLeaveNoKey) {
    SettingStore store;
    store.updateFromJson(json::parse(R"({"o": {}, "a": [], "k": 1})"));
    EXPECT_EQ(store.keys(), (std::list<std::string>{"k"}));
}

TEST(SettingStoreJson, ArraysOfScalarsRoundTrip) {
    SettingStore store;
    const json doc = json::parse(R"({"list": ["x", "y", "z"], "nested": {"nums": [3, -1, 2.5]}})");
    store.updateFromJson(doc);
    EXPECT_EQ(store.get("list/2"), Variant("z"));
    EXPECT_EQ(store.toJson(), doc);
}

TEST(SettingStoreJson, UpdateKeepsKeysItIsNotGiven) {
    SettingStore store;
    store.set("keep", 1);
    store.updateFromJson(json::parse(R"({"other": 2})"));
    EXPECT_EQ(store.get("keep"), Variant(1));
    EXPECT_EQ(store.get("other"), Variant(2UL));
}

TEST(SettingStoreJson, EmptyStoreGivesNull) {
    EXPECT_TRUE(SettingStore().toJson().is_null());
}

TEST(SettingStoreJson, TextThatIsAJsonObjectIsNestedAsAnObject) {
    SettingStore store;
    store.set("section", "{\"x\": 1, \"y\": [1, 2]}");
    EXPECT_EQ(store.toJson(), json::parse(R"({"section": {"x": 1, "y": [1, 2]}})"));
}

TEST(SettingStoreJson, TextBeginningWithABraceThatIsNotJsonStaysText) {
    SettingStore store;
    store.set("odd", "{not json");
    json doc;
    ASSERT_NO_THROW(doc = store.toJson());
    EXPECT_EQ(doc, json::parse(R"({"odd": "{not json"})"));
}

TEST(SettingStoreJson, KeysCollidingWithAValueAboveThemAreLeftOutNotFatal) {
    SettingStore store;
    store.set("statusPeriod", 1000);
    // A file that gave the section an object where a number is expected.
    store.updateFromJson(json::parse(R"({"statusPeriod": {"x": 1}, "list": [1], "ok": true})"));
    store.set("list/name", "n");

    LogCapture capture;
    json doc;
    ASSERT_NO_THROW(doc = store.toJson());
    EXPECT_EQ(doc, json::parse(R"({"statusPeriod": 1000, "list": [1], "ok": true})"));
    const auto warnings = capture.linesFrom("[Settings] toJson()");
    EXPECT_EQ(warnings.size(), 2u);
}

TEST(SettingStoreSignal, EmitsOnlyOnARealChange) {
    SettingStore store;
    EXPECT_EQ(changesOf(store, [&] { store.set("statusPeriod", 1000); }),
              std::vector<std::string>{"statusPeriod"});
    EXPECT_TRUE(changesOf(store, [&] { store.set("statusPeriod", 1000); }).empty());
    // Same text, other tag: a change.
    EXPECT_EQ(changesOf(store, [&] { store.set("statusPeriod", 1000UL); }),
              std::vector<std::string>{"statusPeriod"});
    EXPECT_EQ(changesOf(store, [&] { store.set("statusPeriod", 500UL); }),
              std::vector<std::string>{"statusPeriod"});
}

TEST(SettingStoreSignal, JsonNumbersChangeAnIntDefaultOnceThenNoMore) {
    SettingStore store;
    store.set("statusPeriod", 1000);
    const json doc = json::parse(R"({"statusPeriod": 1000, "logDebug": false})");
    EXPECT_EQ(changesOf(store, [&] { store.updateFromJson(doc); }),
              (std::vector<std::string>{"logDebug", "statusPeriod"}));
    EXPECT_EQ(store.get("statusPeriod").type(), Variant::UInt);
    EXPECT_TRUE(changesOf(store, [&] { store.updateFromJson(doc); }).empty());
}

TEST(SettingStoreSignal, ASlotMayReadTheStoreAndSeesTheNewValue) {
    SettingStore store;
    std::string seen;
    store.changed.connect(
        [&](const std::string& key) { seen = store.get(key).toString() + "|" + store.toJson().dump(); });
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    std::thread([&store, done] {
        store.set("a", "new");
        done->set_value();
    }).detach();
    ASSERT_EQ(finished.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "deadlock in set()";
    EXPECT_EQ(seen, R"(new|{"a":"new"})");
}

TEST(SettingStoreSignal, WritesThroughTheIndexOperatorAreSilent) {
    SettingStore store;
    EXPECT_TRUE(changesOf(store, [&] { store["k"] = Variant(3); }).empty());
    EXPECT_EQ(store.get("k"), Variant(3));
    EXPECT_TRUE(store["absent"].isNull());
    EXPECT_TRUE(store.exists("absent"));
}

TEST(SettingStoreKeys, GetOfAPrefixCollectsTheKeysBelowIt) {
    SettingStore store;
    store.set("mqtt/url", "host:1883");
    store.set("mqtt/base", "root");
    store.set("mqttx", "not below");
    const Variant section = store.get("mqtt");
    ASSERT_EQ(section.type(), Variant::Map);
    const VariantMap map = section.toMap();
    EXPECT_EQ(map.keys(), (std::list<std::string>{"base", "url"}));
    EXPECT_EQ(map.get("url"), Variant("host:1883"));
    EXPECT_TRUE(store.get("nothing").isNull());
    EXPECT_TRUE(store.get("mqtt/url/deeper").isNull());
}

TEST(SettingStoreKeys, SetOfAMapSpreadsItOverSubKeys) {
    SettingStore store;
    VariantMap map;
    map.set("url", Variant("u"));
    map.set("tollen/base", Variant("p"));
    const auto changed = changesOf(store, [&] { store.set("mqtt", Variant(map)); });
    EXPECT_EQ(changed, (std::vector<std::string>{"mqtt/tollen/base", "mqtt/url"}));
    EXPECT_FALSE(store.exists("mqtt"));
    EXPECT_EQ(store.get("mqtt/tollen/base"), Variant("p"));
}

TEST(SettingStoreKeys, MergeAddsOnlyMissingKeys) {
    SettingStore store;
    store.set("a", 1);
    VariantMap defaults;
    defaults.set("a", Variant(2));
    defaults.set("b", Variant(3));
    EXPECT_EQ(changesOf(store, [&] { store.merge(defaults); }), std::vector<std::string>{"b"});
    EXPECT_EQ(store.get("a"), Variant(1));
    EXPECT_EQ(store.get("b"), Variant(3));
}

TEST(SettingStoreKeys, EraseRemovesTheKeyAndEverythingBelowIt) {
    SettingStore store;
    for (const char* key : {"a", "a/b", "a/b/c", "ab", "b"})
        store.set(key, 1);
    store.erase("a");
    EXPECT_EQ(store.keys(), (std::list<std::string>{"ab", "b"}));
}

TEST(SettingStoreKeys, FromJsonReplacesEverything) {
    SettingStore store;
    store.set("old", 1);
    store.fromJson(json::parse(R"({"new": 2})"));
    EXPECT_EQ(store.keys(), (std::list<std::string>{"new"}));
}

TEST(SettingStorePrint, EmptyStoreLogsFourLinesTenCharactersWide) {
    SettingStore store;
    LogCapture capture;
    store.print();
    EXPECT_EQ(tableLines(capture), (std::vector<std::string>{
                                       "+------------+------------+",
                                       "| SETTING    | VALUE      |",
                                       "+------------+------------+",
                                       "+------------+------------+",
                                   }));
}

TEST(SettingStorePrint, ColumnsGrowWithTheLongestKeyAndValue) {
    SettingStore store;
    store.set("statusPeriod", 1000);
    store.set("mqtt/url", "127.0.0.1:1883");
    store.set("logDebug", false);
    store.set("pct", "100%d");
    LogCapture capture;
    store.print();
    EXPECT_EQ(tableLines(capture), (std::vector<std::string>{
                                       "+--------------+----------------+",
                                       "| SETTING      | VALUE          |",
                                       "+--------------+----------------+",
                                       "| logDebug     : false          |",
                                       "| mqtt/url     : 127.0.0.1:1883 |",
                                       "| pct          : 100%d          |",
                                       "| statusPeriod : 1000           |",
                                       "+--------------+----------------+",
                                   }));
}

TEST(SettingStorePrint, PasswordsAreShownMasked) {
    SettingStore store;
    store.set("mqtt/password", "a-long-broker-secret");
    store.set("password", "x");
    store.set("passwords", "listed");
    LogCapture capture;
    store.print();
    EXPECT_EQ(tableLines(capture), (std::vector<std::string>{
                                       "+---------------+------------+",
                                       "| SETTING       | VALUE      |",
                                       "+---------------+------------+",
                                       "| mqtt/password : ********   |",
                                       "| password      : ********   |",
                                       "| passwords     : listed     |",
                                       "+---------------+------------+",
                                   }));
    EXPECT_EQ(store.get("mqtt/password").toString(), "a-long-broker-secret");
}

class SettingStoreFiles : public ::testing::Test {
protected:
    SettingStoreFiles() {
        store.set("statusPeriod", 1000);
        store.set("logDebug", true);
        store.set("ratio", 0.5);
        store.set("offset", -3);
        store.set("mqtt/url", "127.0.0.1:1883");
        store.set("list/0", "a");
        store.set("list/1", "b");
    }
    TempDir dir;
    SettingStore store;
};

TEST_F(SettingStoreFiles, SaveJsonWritesTheIndentedDocumentWithMode0644) {
    const mode_t previous = umask(022);
    const std::string path = dir.file("settings.json");
    records_test::writeFile(path, std::string(5000, 'x')); // longer than the new content
    chmod(path.c_str(), 0600);
    EXPECT_TRUE(store.saveJSON(path));
    umask(previous);
    EXPECT_EQ(records_test::readFile(path), store.toJson().dump(4));

    const std::string fresh = dir.file("fresh.json");
    umask(022);
    EXPECT_TRUE(store.saveJSON(fresh));
    umask(previous);
    struct stat info {};
    ASSERT_EQ(stat(fresh.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST_F(SettingStoreFiles, JsonRoundTrip) {
    const std::string path = dir.file("settings.json");
    ASSERT_TRUE(store.save(path));
    SettingStore loaded;
    loaded.set("stale", 1);
    ASSERT_TRUE(loaded.loadJSON(path));
    EXPECT_FALSE(loaded.exists("stale"));
    EXPECT_EQ(loaded.toJson(), store.toJson());
    EXPECT_EQ(loaded.get("offset"), Variant(-3));
    EXPECT_EQ(loaded.get("logDebug"), Variant(true));
}

TEST_F(SettingStoreFiles, SqliteRoundTripKeepsTextAndTags) {
    const std::string path = dir.file("settings.db");
    ASSERT_TRUE(store.save(path));
    store.set("statusPeriod", 250UL);
    ASSERT_TRUE(store.save(path)); // a second save replaces the table
    SettingStore loaded;
    ASSERT_TRUE(loaded.load(path));
    EXPECT_EQ(loaded.keys(), store.keys());
    for (const auto& key : store.keys())
        EXPECT_EQ(loaded.get(key), store.get(key)) << key;
}

TEST_F(SettingStoreFiles, SqliteExtensionIsChosenAutomatically) {
    const std::string path = dir.file("conf.sqlite");
    ASSERT_TRUE(store.save(path));
    SettingStore loaded;
    ASSERT_TRUE(loaded.loadSQLite(path));
    EXPECT_EQ(loaded.get("ratio"), Variant(0.5));
}

TEST_F(SettingStoreFiles, UnknownExtensionWritesNothing) {
    const std::string path = dir.file("settings.txt");
    EXPECT_FALSE(store.save(path));
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(store.save(dir.file("noextension")));
    EXPECT_TRUE(dir.entries().empty());
}

TEST_F(SettingStoreFiles, ExplicitTypeOverridesTheExtension) {
    const std::string path = dir.file("settings.txt");
    ASSERT_TRUE(store.save(path, SettingStore::JSON));
    EXPECT_EQ(records_test::readFile(path), store.toJson().dump(4));
}

TEST_F(SettingStoreFiles, SaveJsonIntoAMissingFolderFailsWithItsMessage) {
    const std::string path = dir.file("missing/settings.json");
    LogCapture capture;
    EXPECT_FALSE(store.saveJSON(path));
    EXPECT_EQ(capture.linesFrom("[Settings] saveJSON()"),
              std::vector<std::string>{"[Settings] saveJSON(): could not open file '" + path +
                                       "': No such file or directory."});
}

TEST_F(SettingStoreFiles, SaveSqliteIntoAMissingFolderFails) {
    LogCapture capture;
    EXPECT_FALSE(store.saveSQLite(dir.file("missing/settings.db")));
    EXPECT_EQ(capture.linesFrom("[Settings] saveSQLite(): ").size(), 1u);
}

TEST_F(SettingStoreFiles, LoadJsonFailuresKeepTheValues) {
    LogCapture capture;
    const std::string missing = dir.file("missing.json");
    EXPECT_FALSE(store.loadJSON(missing));
    const std::string garbage = dir.file("garbage.json");
    records_test::writeFile(garbage, "{ not json");
    EXPECT_FALSE(store.loadJSON(garbage));
    EXPECT_EQ(store.get("statusPeriod"), Variant(1000));
    EXPECT_EQ(capture.linesFrom("[Settings] loadJSON(): could not open")[0],
              "[Settings] loadJSON(): could not open file '" + missing + "'.");
}

TEST_F(SettingStoreFiles, LoadSqliteOfAMissingFileFails) {
    LogCapture capture;
    EXPECT_FALSE(store.loadSQLite(dir.file("missing.db")));
    EXPECT_EQ(capture.linesFrom("[Settings] loadSQLite(): ").size(), 1u);
    EXPECT_EQ(store.get("statusPeriod"), Variant(1000));
}

TEST(SettingStoreThreads, ConcurrentWritersAndReadersStayConsistent) {
    SettingStore store;
    std::atomic<int> emitted{0};
    store.changed.connect([&](const std::string&) { ++emitted; });
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&store, t] {
            for (int i = 0; i < kRounds; ++i) {
                store.set("t" + std::to_string(t) + "/v", i);
                store.updateFromJson(json{{"shared", {{"n", i}}}});
                (void)store.get("shared");
                (void)store.toJson();
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(store.get("t" + std::to_string(t) + "/v"), Variant(kRounds - 1));
    EXPECT_GE(emitted.load(), kThreads * kRounds);
}

} // namespace
