#include "kit/tessel_logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Delivery {
    int callback;
    int32_t level;
    std::string line;
};

// Collects what every registered callback receives, in delivery order.
struct Recorder {
    std::mutex mutex;
    std::vector<Delivery> deliveries;

    static int First(int32_t level, const char* message, void* self) {
        return static_cast<Recorder*>(self)->Add(0, level, message);
    }
    static int Second(int32_t level, const char* message, void* self) {
        return static_cast<Recorder*>(self)->Add(1, level, message);
    }
    int Add(int callback, int32_t level, const char* message) {
        std::lock_guard<std::mutex> lock(mutex);
        deliveries.push_back({callback, level, message});
        return 0;
    }
    std::vector<std::string> Lines(int callback) {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> lines;
        for (const auto& d : deliveries)
            if (d.callback == callback)
                lines.push_back(d.line);
        return lines;
    }
};

class TesselLoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        tessel_logger_deinit();
        ASSERT_EQ(tessel_logger_init(), 0);
    }
    void TearDown() override { tessel_logger_deinit(); }
    Recorder recorder;
};

TEST_F(TesselLoggerTest, PrefixUsesTheBaseNameOfTheSourceFile) {
    ASSERT_GE(tessel_logger_register_callback(Recorder::First, &recorder), 0);
    tessel_log(TESSEL_LOG_INFO, "C:\\build\\src\\x", 12, "hello %d", 7);
    tessel_log(TESSEL_LOG_INFO, "/work/src/kit/unit.cpp", 3, "posix path");
    tessel_log(TESSEL_LOG_INFO, "plain", 4, "no separator");
    EXPECT_EQ(recorder.Lines(0), (std::vector<std::string>{"[x@12]: hello 7", "[unit.cpp@3]: posix path",
                                                          "[plain@4]: no separator"}));
    EXPECT_EQ(recorder.deliveries[0].level, TESSEL_LOG_INFO);
}

TEST_F(TesselLoggerTest, NothingIsFormattedWithoutListenersOrFormat) {
    // An over-long line would be reported on standard error if it were formatted.
    std::string huge(TESSEL_LOG_BUFFER_SIZE * 2, 'a');
    testing::internal::CaptureStderr();
    tessel_log(TESSEL_LOG_ERR, "f", 1, "%s", huge.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    ASSERT_GE(tessel_logger_register_callback(Recorder::First, &recorder), 0);
    tessel_log(TESSEL_LOG_ERR, "f", 1, nullptr);
    tessel_log_errno(TESSEL_LOG_ERR, "f", 1, EINVAL, nullptr);
    EXPECT_TRUE(recorder.Lines(0).empty());
}

TEST_F(TesselLoggerTest, OverlongLinesAreDroppedWithAStandardErrorReport) {
    ASSERT_GE(tessel_logger_register_callback(Recorder::First, &recorder), 0);
    const std::string prefix = "[f@1]: ";
    // The longest line that fits: prefix plus text is 8191 characters.
    std::string fits(TESSEL_LOG_BUFFER_SIZE - 1 - prefix.size(), 'b');
    tessel_log(TESSEL_LOG_ERR, "f", 1, "%s", fits.c_str());
    ASSERT_EQ(recorder.Lines(0).size(), 1u);
    EXPECT_EQ(recorder.Lines(0)[0], prefix + fits);

    std::string too_long = fits + "c";
    testing::internal::CaptureStderr();
    tessel_log(TESSEL_LOG_ERR, "f", 1, "%s", too_long.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "error encountered or formatted string is too large to fit in log string buffer (ret: " +
                  std::to_string(too_long.size()) + ")\n");
    EXPECT_EQ(recorder.Lines(0).size(), 1u);

    // The errno variant drops a text that does not leave room for ": " silently.
    std::string no_room(TESSEL_LOG_BUFFER_SIZE - 1, 'd');
    testing::internal::CaptureStderr();
    tessel_log_errno(TESSEL_LOG_ERR, "f", 1, ENOENT, "%s", no_room.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(recorder.Lines(0).size(), 1u);
}

TEST_F(TesselLoggerTest, ErrnoLinesEndWithTheSystemText) {
    ASSERT_GE(tessel_logger_register_callback(Recorder::First, &recorder), 0);
    tessel_log_errno(TESSEL_LOG_WARNING, "dir\\file.c", 9, 2, "open %s", "policy.xml");
    ASSERT_EQ(recorder.Lines(0).size(), 1u);
    EXPECT_EQ(recorder.Lines(0)[0], std::string("[file.c@9]: open policy.xml: ") + strerror(2));
    EXPECT_EQ(recorder.deliveries[0].level, TESSEL_LOG_WARNING);
}

TEST_F(TesselLoggerTest, IdsCountUpAndAreNeverReused) {
    int32_t first = tessel_logger_register_callback(Recorder::First, &recorder);
    ASSERT_GE(first, 0);
    EXPECT_EQ(tessel_logger_register_callback(Recorder::First, &recorder), first + 1);
    EXPECT_EQ(tessel_logger_register_callback(Recorder::First, &recorder), first + 2);
    EXPECT_TRUE(tessel_logger_unregister_callback(first + 1));
    EXPECT_FALSE(tessel_logger_unregister_callback(first + 1));
    EXPECT_EQ(tessel_logger_register_callback(Recorder::First, &recorder), first + 3);

    tessel_logger_deinit();
    ASSERT_EQ(tessel_logger_init(), 0);
    // Ids held before the shutdown are stale; numbering goes on.
    EXPECT_FALSE(tessel_logger_unregister_callback(first));
    EXPECT_EQ(tessel_logger_register_callback(Recorder::First, &recorder), first + 4);
    EXPECT_FALSE(tessel_logger_unregister_callback(-1));
}

TEST_F(TesselLoggerTest, UnlinkingKeepsTheListIntact) {
    int32_t a = tessel_logger_register_callback(Recorder::First, &recorder);
    int32_t b = tessel_logger_register_callback(Recorder::Second, &recorder);
    int32_t c = tessel_logger_register_callback(Recorder::First, &recorder);
    ASSERT_GE(a, 0);
    // Remove the tail, then append: the new node must follow b, not the freed c.
    ASSERT_TRUE(tessel_logger_unregister_callback(c));
    int32_t d = tessel_logger_register_callback(Recorder::First, &recorder);
    tessel_log(TESSEL_LOG_INFO, "f", 1, "one");
    EXPECT_EQ(recorder.deliveries.size(), 3u);
    // Remove the head and the middle: only d remains and still receives lines.
    ASSERT_TRUE(tessel_logger_unregister_callback(a));
    ASSERT_TRUE(tessel_logger_unregister_callback(b));
    recorder.deliveries.clear();
    tessel_log(TESSEL_LOG_INFO, "f", 1, "two");
    ASSERT_EQ(recorder.deliveries.size(), 1u);
    ASSERT_TRUE(tessel_logger_unregister_callback(d));
    // An empty list: appending makes the new node the head again.
    ASSERT_GE(tessel_logger_register_callback(Recorder::Second, &recorder), 0);
    tessel_log(TESSEL_LOG_INFO, "f", 1, "three");
    EXPECT_EQ(recorder.Lines(1).back(), "[f@1]: three");
}

TEST_F(TesselLoggerTest, EveryCallbackSeesLinesInTheSameOrder) {
    ASSERT_GE(tessel_logger_register_callback(Recorder::First, &recorder), 0);
    ASSERT_GE(tessel_logger_register_callback(Recorder::Second, &recorder), 0);
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                tessel_log(TESSEL_LOG_DEBUG, "f", 1, "t%d-%d", t, i);
        });
    }
    for (auto& thread : threads)
        thread.join();
    // Delivery runs under one lock: each line goes to callback 0 then 1 before the next line.
    ASSERT_EQ(recorder.deliveries.size(), 2u * kThreads * kLines);
    for (size_t i = 0; i < recorder.deliveries.size(); i += 2) {
        EXPECT_EQ(recorder.deliveries[i].callback, 0);
        EXPECT_EQ(recorder.deliveries[i + 1].callback, 1);
        EXPECT_EQ(recorder.deliveries[i].line, recorder.deliveries[i + 1].line);
    }
}

TEST_F(TesselLoggerTest, ConcurrentRegistrationsGetDistinctIds) {
    constexpr int kThreads = 6;
    constexpr int kEach = 50;
    std::mutex mutex;
    std::set<int32_t> ids;
    std::atomic<bool> stop{false};
    std::thread logger([&] {
        for (int i = 0; i < 100000 && !stop; ++i)
            tessel_log(TESSEL_LOG_DEBUG, "f", 1, "line %d", i);
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                int32_t id = tessel_logger_register_callback(Recorder::First, &recorder);
                std::lock_guard<std::mutex> lock(mutex);
                ids.insert(id);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    stop = true;
    logger.join();
    EXPECT_EQ(ids.size(), static_cast<size_t>(kThreads * kEach));
    EXPECT_GE(*ids.begin(), 0);
    for (int32_t id : ids)
        EXPECT_TRUE(tessel_logger_unregister_callback(id));
}

TEST(TesselLoggerLifecycle, RefusesUseBeforeInitAndDoubleInit) {
    tessel_logger_deinit();
    Recorder recorder;
    testing::internal::CaptureStderr();
    EXPECT_EQ(tessel_logger_register_callback(Recorder::First, &recorder), -1);
    EXPECT_FALSE(tessel_logger_unregister_callback(0));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "not initialized!\nnot initialized!\n");

    ASSERT_EQ(tessel_logger_init(), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(tessel_logger_init(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "init failed, already initialized\n");
    EXPECT_EQ(tessel_logger_register_callback(nullptr, nullptr), -1);

    int32_t id = tessel_logger_register_callback(Recorder::First, &recorder);
    ASSERT_GE(id, 0);
    tessel_logger_deinit();
    // Lines logged while uninitialised are dropped.
    tessel_log(TESSEL_LOG_ERR, "f", 1, "dropped");
    EXPECT_TRUE(recorder.deliveries.empty());
}

}  // namespace
