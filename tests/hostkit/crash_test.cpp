// A writer process that dies mid-write leaves the store readable, consistent
// and all-or-nothing. The writer is a forked child that is SIGKILLed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>

#include <chrono>
#include <functional>
#include <thread>

#include "config_store.h"
#include "temp_dir.h"

using hostkit::ConfigStore;

namespace {

constexpr int kBatchKeys = 3000;

std::string BatchKey(int i) { return "config/batch/k" + std::to_string(i); }

// Runs `child` in a forked process; the parent waits (bounded) for one byte
// on the pipe, then kills the child. Returns false if the child never wrote.
bool KillChildAfterSignal(const std::function<void(int fd)>& child) {
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        child(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    pollfd waiter{fds[0], POLLIN, 0};
    bool signalled = poll(&waiter, 1, 20000) == 1;
    char byte;
    signalled = signalled && read(fds[0], &byte, 1) == 1;
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    close(fds[0]);
    return signalled;
}

TEST(ConfigStoreCrash, KilledTransactionLeavesNothing) {
    TempDir dir;
    const std::string path = dir.file("config.db");
    std::string err;
    {
        auto store = ConfigStore::Open(path, &err);
        ASSERT_TRUE(store) << err;
        ASSERT_TRUE(store->CreateString("config/before", "kept"));
    }
    bool signalled = KillChildAfterSignal([&](int fd) {
        auto store = ConfigStore::Open(path, nullptr);
        if (!store)
            _exit(2);
        store->RunTransaction([&] {
            for (int i = 0; i < kBatchKeys; ++i) {
                store->CreateString(BatchKey(i).c_str(), std::string(200, 'a' + i % 26).c_str());
                if (i == kBatchKeys / 2) {
                    char byte = 1;
                    (void)!write(fd, &byte, 1);
                    pause();  // killed here, transaction open
                }
            }
            return true;
        });
    });
    ASSERT_TRUE(signalled);

    auto store = ConfigStore::Open(path, &err);
    ASSERT_TRUE(store) << err;
    EXPECT_FALSE(store->SubtreeExists("config/batch"));
    char* before = store->GetLocalString("config/before");
    ASSERT_NE(before, nullptr);
    EXPECT_STREQ(before, "kept");
    store->FreeString(before);
    // And the store still takes writes.
    EXPECT_TRUE(store->CreateString("config/after", "ok"));
}

TEST(ConfigStoreCrash, CommittedTransactionSurvivesTheWriter) {
    TempDir dir;
    const std::string path = dir.file("config.db");
    bool signalled = KillChildAfterSignal([&](int fd) {
        auto store = ConfigStore::Open(path, nullptr);
        if (!store)
            _exit(2);
        bool ok = store->RunTransaction([&] {
            for (int i = 0; i < kBatchKeys; ++i)
                if (!store->CreateInt(BatchKey(i).c_str(), i))
                    return false;
            return true;
        });
        char byte = ok ? 1 : 0;
        (void)!write(fd, &byte, 1);
        pause();  // killed with the connection still open
    });
    ASSERT_TRUE(signalled);
    std::string err;
    auto store = ConfigStore::Open(path, &err);
    ASSERT_TRUE(store) << err;
    for (int i = 0; i < kBatchKeys; i += 97)
        EXPECT_EQ(store->GetLocalInt(BatchKey(i).c_str()), i);
    EXPECT_EQ(store->GetLocalInt(BatchKey(kBatchKeys - 1).c_str()), kBatchKeys - 1);
}

// A child rewrites one large value over and over, each version uniform; it is
// killed at some point of a write. The value read afterwards is one whole
// version.
TEST(ConfigStoreCrash, KilledWriterNeverLeavesHalfAValue) {
    TempDir dir;
    const std::string path = dir.file("config.db");
    constexpr uint32_t kSize = 1 << 20;
    bool signalled = KillChildAfterSignal([&](int fd) {
        auto store = ConfigStore::Open(path, nullptr);
        if (!store)
            _exit(2);
        std::vector<uint8_t> value(kSize);
        for (int version = 1; version <= 200; ++version) {
            std::fill(value.begin(), value.end(), static_cast<uint8_t>(version));
            store->CreateBinary("config/big", value.data(), kSize);
            if (version == 3) {
                char byte = 1;
                (void)!write(fd, &byte, 1);  // the parent kills us during a later write
            }
        }
        pause();
    });
    ASSERT_TRUE(signalled);
    std::string err;
    auto store = ConfigStore::Open(path, &err);
    ASSERT_TRUE(store) << err;
    uint8_t* data = nullptr;
    uint32_t size = 0;
    ASSERT_TRUE(store->GetLocalBinary("config/big", &data, &size));
    ASSERT_EQ(size, kSize);
    uint8_t version = data[0];
    EXPECT_GE(version, 3);
    size_t mismatched = 0;
    for (uint32_t i = 0; i < size; ++i)
        mismatched += data[i] != version;
    EXPECT_EQ(mismatched, 0u);
    store->FreeBinary(data);
}

}  // namespace
