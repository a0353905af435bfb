#include "MQTTMemoryPersistence.h"

#include <gtest/gtest.h>
#include <mqtt/exception.h>

namespace {

TEST(MQTTMemoryPersistence, PutConcatenatesAllBuffersInOrder) {
    MQTTMemoryPersistence store;
    const std::string ab = "ab", empty, c = "c";
    store.put("k", {mqtt::string_view(ab.data(), ab.size()), mqtt::string_view(empty.data(), 0),
                    mqtt::string_view(c.data(), c.size())});
    EXPECT_EQ(store.get("k"), "abc");
}

TEST(MQTTMemoryPersistence, PutReplacesAnExistingValue) {
    MQTTMemoryPersistence store;
    const std::string first = "first", second = "2";
    store.put("k", {mqtt::string_view(first.data(), first.size())});
    store.put("k", {mqtt::string_view(second.data(), second.size())});
    EXPECT_EQ(store.get("k"), "2");
}

TEST(MQTTMemoryPersistence, BinaryContentSurvives) {
    MQTTMemoryPersistence store;
    const std::string bytes("\0\xff\x01", 3);
    store.put("bin", {mqtt::string_view(bytes.data(), bytes.size())});
    EXPECT_EQ(store.get("bin"), bytes);
}

TEST(MQTTMemoryPersistence, GetOfMissingKeyThrowsCodeMinusTwoWithText) {
    MQTTMemoryPersistence store;
    try {
        store.get("never");
        FAIL() << "no exception";
    } catch (const mqtt::persistence_exception& e) {
        EXPECT_EQ(e.get_return_code(), -2);
        EXPECT_NE(std::string(e.what()).find("MQTTMemoryPersistance::get(): Key not found."),
                  std::string::npos);
    }
}

TEST(MQTTMemoryPersistence, RemoveErasesAndThrowsForMissingKey) {
    MQTTMemoryPersistence store;
    const std::string v = "v";
    store.put("k", {mqtt::string_view(v.data(), v.size())});
    EXPECT_TRUE(store.contains_key("k"));
    store.remove("k");
    EXPECT_FALSE(store.contains_key("k"));
    try {
        store.remove("k");
        FAIL() << "no exception";
    } catch (const mqtt::persistence_exception& e) {
        EXPECT_EQ(e.get_return_code(), -2);
    }
}

TEST(MQTTMemoryPersistence, KeysAreInKeyOrderAndClearEmptiesTheStore) {
    MQTTMemoryPersistence store;
    const std::string v = "v";
    for (const char* key : {"s-2", "c-1", "s-10"})
        store.put(key, {mqtt::string_view(v.data(), v.size())});
    const auto keys = store.keys();
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys[0], "c-1");
    EXPECT_EQ(keys[1], "s-10");
    EXPECT_EQ(keys[2], "s-2");
    store.clear();
    EXPECT_TRUE(store.keys().empty());
    EXPECT_FALSE(store.contains_key("c-1"));
}

TEST(MQTTMemoryPersistence, OpenAndCloseKeepTheContent) {
    MQTTMemoryPersistence store;
    const std::string v = "v";
    store.put("k", {mqtt::string_view(v.data(), v.size())});
    store.close();
    store.open("id", "tcp://127.0.0.1:1");
    EXPECT_EQ(store.get("k"), "v");
}

} // namespace
