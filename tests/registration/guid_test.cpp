// GUID text forms, parsed and written.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "registration/tessel_guid.h"

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
        uint8_t guid[TESSEL_GUID_BYTES];
        memset(guid, 0x5A, sizeof guid);
        EXPECT_EQ(tessel_guid_parse(c.text, guid), c.valid ? 0 : -1) << c.text;
        if (!c.valid) {
            EXPECT_EQ(guid[0], 0x5A) << "a refused text must leave the output alone: " << c.text;
        }
    }
    uint8_t guid[TESSEL_GUID_BYTES];
    EXPECT_EQ(tessel_guid_parse(nullptr, guid), -1);
    // A text cut short by its terminator inside a buffer is never read past.
    const char shortText[] = "0123abcd-4567\0-89ef-0a1b-2c3d4e5f6a7b";
    EXPECT_EQ(tessel_guid_parse(shortText, guid), -1);
}

TEST(GuidText, StoresGroupsInNetworkByteOrderAndWritesBothCases) {
    uint8_t guid[TESSEL_GUID_BYTES];
    ASSERT_EQ(tessel_guid_parse("0123ABCD-4567-89EF-0A1B-2C3D4E5F6A7B", guid), 0);
    const uint8_t expected[TESSEL_GUID_BYTES] = {0x01, 0x23, 0xab, 0xcd, 0x45, 0x67, 0x89, 0xef,
                                                 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0x6a, 0x7b};
    EXPECT_EQ(memcmp(guid, expected, sizeof guid), 0);

    char text[TESSEL_GUID_TEXT_LENGTH + 1];
    memset(text, '#', sizeof text);
    tessel_guid_format(guid, text);
    EXPECT_STREQ(text, "0123abcd-4567-89ef-0a1b-2c3d4e5f6a7b");
    tessel_guid_format(guid, text, true);
    EXPECT_STREQ(text, "0123ABCD-4567-89EF-0A1B-2C3D4E5F6A7B");

    EXPECT_FALSE(tessel_guid_is_zero(guid));
    const uint8_t zero[TESSEL_GUID_BYTES] = {};
    EXPECT_TRUE(tessel_guid_is_zero(zero));
    uint8_t lastOnly[TESSEL_GUID_BYTES] = {};
    lastOnly[15] = 1;
    EXPECT_FALSE(tessel_guid_is_zero(lastOnly));
}

}  // namespace
