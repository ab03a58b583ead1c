// GUID text forms as the configuration holds them, parsed and written.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kit/util/guid_text.h"

namespace {

TEST(GuidText, AcceptsOnlyTheThirtySixCharacterForm) {
    struct Case {
        const char* text;
        bool valid;
    };
    const Case cases[] = {
        {"0123abcd-4567-89ef-0a1b-2c3d4e5f6a7b", true},
        {"0123ABCD-4567-89EF-0A1B-2C3D4E5F6A7B", true},  // upper case with dashes in place
        {"0123abcd-4567-89Ef-0a1b-2c3d4e5f6a7b", true},  // mixed case
        {"00000000-0000-0000-0000-000000000000", true},
        {"0123abcd-4567-89ef-0a1b-2c3d4e5f6a7", false},    // 35 characters
        {"0123abcd-4567-89ef-0a1b-2c3d4e5f6a7bc", false},  // 37 characters
        {"{0123abcd-4567-89ef-0a1b-2c3d4e5f6a7b}", false},  // braces: 38 characters
        {"0123abcd04567-89ef-0a1b-2c3d4e5f6a7b", false},   // no dash at 8
        {"0123abcd-4567089ef-0a1b-2c3d4e5f6a7b", false},   // no dash at 13
        {"0123abcd-4567-89ef00a1b-2c3d4e5f6a7b", false},   // no dash at 18
        {"0123abcd-4567-89ef-0a1b02c3d4e5f6a7b", false},   // no dash at 23
        {"0123abcd-4567-89ef-0a1b-2c3d4e5f6a-b", false},   // dash where a digit belongs
        {"0123abcg-4567-89ef-0a1b-2c3d4e5f6a7b", false},   // not hexadecimal
        {" 123abcd-4567-89ef-0a1b-2c3d4e5f6a7b", false},
        {"0x23abcd-4567-89ef-0a1b-2c3d4e5f6a7b", false},
        {"", false},
    };
    for (const Case& c : cases) {
        uint8_t guid[16];
        memset(guid, 0x5A, sizeof guid);
        EXPECT_EQ(guid_parse(c.text, strlen(c.text), guid), c.valid ? 0 : -1) << c.text;
        if (!c.valid) {
            EXPECT_EQ(guid[0], 0x5A) << "a refused text must leave the output alone: " << c.text;
        }
    }
    uint8_t guid[16];
    EXPECT_EQ(guid_parse(nullptr, 36, guid), -1);
    // A terminator inside the 36 characters is no digit.
    const char cut[] = "0123abcd-4567\0-89ef-0a1b-2c3d4e5f6a7b";
    EXPECT_EQ(guid_parse(cut, 36, guid), -1);
}

TEST(GuidText, StoresGroupsInNetworkByteOrderAndWritesBothCases) {
    uint8_t guid[16];
    ASSERT_EQ(guid_parse("0123ABCD-4567-89EF-0A1B-2C3D4E5F6A7B", 36, guid), 0);
    const uint8_t expected[16] = {0x01, 0x23, 0xab, 0xcd, 0x45, 0x67, 0x89, 0xef,
                                                 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0x6a, 0x7b};
    EXPECT_EQ(memcmp(guid, expected, sizeof guid), 0);

    char text[GUID_TEXT_SIZE];
    memset(text, '#', sizeof text);
    guid_to_text(guid, text, false);
    EXPECT_STREQ(text, "0123abcd-4567-89ef-0a1b-2c3d4e5f6a7b");
    guid_to_text(guid, text, true);
    EXPECT_STREQ(text, "0123ABCD-4567-89EF-0A1B-2C3D4E5F6A7B");

    EXPECT_FALSE(guid_is_absent(guid));
    const uint8_t zero[16] = {};
    EXPECT_TRUE(guid_is_absent(zero));
    uint8_t lastOnly[16] = {};
    lastOnly[15] = 1;
    EXPECT_FALSE(guid_is_absent(lastOnly));
}

}  // namespace
