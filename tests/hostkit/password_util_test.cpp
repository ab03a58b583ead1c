// The password utility's authenticated cipher.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "Util.h"

namespace {

class PasswordUtilTest : public ::testing::Test {
protected:
    void SetUp() override {
        util = Util::CreatePClassInstance();
        ASSERT_NE(util, nullptr);
        uint8_t seed[IPasswordUtil::kSeedSize];
        uint8_t initial[IPasswordUtil::kKeySize];
        std::iota(seed, seed + sizeof seed, 0);
        std::iota(initial, initial + sizeof initial, 100);
        ASSERT_TRUE(util->PrepareKey(seed, initial, key));
    }
    void TearDown() override { Util::ReleasePClassInstance(util); }

    std::vector<uint8_t> Encipher(const std::string& text) {
        std::vector<uint8_t> out(util->CipherSize(text.size()));
        size_t written = 0;
        EXPECT_TRUE(util->Encipher(key, reinterpret_cast<const uint8_t*>(text.data()), text.size(), out.data(),
                                   out.size(), &written));
        EXPECT_EQ(written, out.size());
        return out;
    }

    IPasswordUtil* util = nullptr;
    uint8_t key[IPasswordUtil::kKeySize] = {};
};

TEST_F(PasswordUtilTest, KeyPreparationIsDeterministicAndDependsOnBothInputs) {
    uint8_t seed[IPasswordUtil::kSeedSize] = {};
    uint8_t initial[IPasswordUtil::kKeySize] = {};
    uint8_t a[IPasswordUtil::kKeySize], b[IPasswordUtil::kKeySize], c[IPasswordUtil::kKeySize];
    ASSERT_TRUE(util->PrepareKey(seed, initial, a));
    ASSERT_TRUE(util->PrepareKey(seed, initial, b));
    EXPECT_EQ(memcmp(a, b, sizeof a), 0);
    initial[25] = 1;
    ASSERT_TRUE(util->PrepareKey(seed, initial, c));
    EXPECT_NE(memcmp(a, c, sizeof a), 0);
    initial[25] = 0;
    seed[255] = 1;
    ASSERT_TRUE(util->PrepareKey(seed, initial, c));
    EXPECT_NE(memcmp(a, c, sizeof a), 0);
    EXPECT_FALSE(util->PrepareKey(nullptr, initial, c));
}

TEST_F(PasswordUtilTest, RoundTripWithFreshNonces) {
    const std::string clear = "0000002A0000002B0000002C0000002D002Ep\xc3\xa4ss w\0rd";
    std::vector<uint8_t> first = Encipher(clear);
    std::vector<uint8_t> second = Encipher(clear);
    EXPECT_EQ(first.size(), clear.size() + 28);
    EXPECT_NE(first, second);  // a new nonce each time
    for (const auto& cipher : {first, second}) {
        std::vector<uint8_t> out(1023, 0xEE);
        size_t written = 0;
        ASSERT_TRUE(util->Decipher(key, cipher.data(), cipher.size(), out.data(), out.size(), &written));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data()), written), clear);
    }
    // The empty clear text is a valid value too.
    std::vector<uint8_t> empty = Encipher("");
    uint8_t out[4];
    size_t written = 99;
    EXPECT_TRUE(util->Decipher(key, empty.data(), empty.size(), out, sizeof out, &written));
    EXPECT_EQ(written, 0u);
}

TEST_F(PasswordUtilTest, EveryFlippedByteIsRefused) {
    const std::string clear = "ABCDEF0123456789ABCDEF0123456789ABCDsecret";
    const std::vector<uint8_t> cipher = Encipher(clear);
    for (size_t i = 0; i < cipher.size(); ++i) {
        for (uint8_t flip : {0x01, 0x80}) {
            std::vector<uint8_t> tampered = cipher;
            tampered[i] ^= flip;
            std::vector<uint8_t> out(1023, 0xEE);
            size_t written = 77;
            EXPECT_FALSE(util->Decipher(key, tampered.data(), tampered.size(), out.data(), out.size(), &written))
                << "byte " << i;
            EXPECT_EQ(written, 0u);
            EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0; })) << "byte " << i;
        }
    }
}

TEST_F(PasswordUtilTest, TruncatedExtendedOrForeignValuesAreRefused) {
    const std::vector<uint8_t> cipher = Encipher("ABCDEF0123456789ABCDEF0123456789ABCDsecret");
    std::vector<uint8_t> out(1023);
    size_t written = 0;
    for (size_t length = 0; length < cipher.size(); ++length)
        EXPECT_FALSE(util->Decipher(key, cipher.data(), length, out.data(), out.size(), &written)) << length;
    std::vector<uint8_t> longer = cipher;
    longer.push_back(0);
    EXPECT_FALSE(util->Decipher(key, longer.data(), longer.size(), out.data(), out.size(), &written));

    uint8_t otherKey[IPasswordUtil::kKeySize];
    memcpy(otherKey, key, sizeof key);
    otherKey[0] ^= 1;
    EXPECT_FALSE(util->Decipher(otherKey, cipher.data(), cipher.size(), out.data(), out.size(), &written));
    // Too small an output buffer is refused, not overrun.
    EXPECT_FALSE(util->Decipher(key, cipher.data(), cipher.size(), out.data(), cipher.size() - 29, &written));
}

TEST_F(PasswordUtilTest, EncipherRefusesSmallBuffers) {
    const uint8_t clear[10] = {1, 2, 3};
    std::vector<uint8_t> out(util->CipherSize(sizeof clear));
    size_t written = 5;
    EXPECT_FALSE(util->Encipher(key, clear, sizeof clear, out.data(), out.size() - 1, &written));
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(util->Encipher(key, clear, sizeof clear, out.data(), out.size(), &written));
}

}  // namespace
