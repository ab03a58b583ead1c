// The library's own copies of secrets: out of core files, wiped when given back.
#include "platform/secret_memory.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/core_exclusion.h"

namespace {

TEST(SecretMemory, BlocksAreLeftOutOfCoresShareTheirPagesAndAreWipedWhenFreed) {
    auto* small = static_cast<char*>(platform::SecretAlloc(37));
    auto* other = static_cast<char*>(platform::SecretAlloc(600));
    auto* large = static_cast<char*>(platform::SecretAlloc(256 * 1024));
    ASSERT_NE(small, nullptr);
    ASSERT_NE(other, nullptr);
    ASSERT_NE(large, nullptr);
    for (const char* block : {small, other, large}) {
        EXPECT_TRUE(testsupport::LeftOutOfCores(block)) << testsupport::VmFlagsOf(block).value_or("(unmapped)");
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u);
    }
    EXPECT_TRUE(testsupport::LeftOutOfCores(large + 256 * 1024 - 1));
    // Small secrets share one mapping.
    EXPECT_EQ(testsupport::VmFlagsOf(small), testsupport::VmFlagsOf(other));

    memcpy(small, "Secret-Text-31337", 18);
    platform::SecretFree(small);
    // `other` keeps the shared pages mapped: what `small` held is gone.
    const char zeros[37] = {};
    EXPECT_EQ(memcmp(small, zeros, sizeof zeros), 0);
    // A new block starts zeroed, even where an old one lay.
    auto* again = static_cast<char*>(platform::SecretAlloc(37));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(memcmp(again, zeros, sizeof zeros), 0);
    platform::SecretFree(again);

    platform::SecretFree(other);
    platform::SecretFree(large);
    EXPECT_FALSE(testsupport::VmFlagsOf(large)) << "a large block keeps its pages";
    platform::SecretFree(nullptr);
}

TEST(SecretMemory, ObjectsAreValueInitialisedAndDestroyed) {
    struct Holder {
        unsigned char code[16];
        int* destroyed;
        ~Holder() {
            if (destroyed) ++*destroyed;
        }
    };
    int destroyed = 0;
    {
        platform::SecretPtr<Holder> holder = platform::MakeSecret<Holder>();
        ASSERT_NE(holder, nullptr);
        EXPECT_TRUE(testsupport::LeftOutOfCores(holder.get()));
        EXPECT_EQ(holder->code[0], 0);
        holder->destroyed = &destroyed;
    }
    EXPECT_EQ(destroyed, 1);
    platform::SecretText text = platform::MakeSecretText(100);
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(testsupport::LeftOutOfCores(text.get()));
}

}  // namespace
