// The Util:: helpers and the string utilities.
#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <cstring>
#include <fstream>
#include <regex>

#include "Util.h"
#include "WinApi.h"

namespace {

const char kUtf8[] = "h\xc3\xa9llo \xe5\x90\x8d\xe5\x89\x8d \xf0\x9f\x98\x80";
const wchar_t kWide[] = L"h\u00e9llo \u540d\u524d \U0001F600";

TEST(Util, ConversionsKeepNonAsciiText) {
    wchar_t* wide = Util::ConvertStringToWCHAR(kUtf8);
    ASSERT_NE(wide, nullptr);
    EXPECT_STREQ(wide, kWide);
    char* narrow = Util::ConvertWCHARToString(wide);
    ASSERT_NE(narrow, nullptr);
    EXPECT_STREQ(narrow, kUtf8);
    Util::FreeMem(wide);
    Util::FreeMem(narrow);
    EXPECT_EQ(Util::ConvertStringToWCHAR(nullptr), nullptr);
    EXPECT_EQ(Util::ConvertWCHARToString(nullptr), nullptr);

    IStringUtils* utils = CreateStringUtils();
    ASSERT_NE(utils, nullptr);
    wchar_t* w = utils->ToWide(kUtf8);
    char* n = utils->ToNarrow(kWide);
    EXPECT_STREQ(w, kWide);
    EXPECT_STREQ(n, kUtf8);
    utils->FreeString(w);
    utils->FreeString(n);
    ReleaseStringUtils(utils);
}

TEST(Util, MalformedTextBecomesReplacementCharacters) {
    // A lone continuation byte, a truncated sequence, an overlong '/', a surrogate.
    wchar_t* wide = Util::ConvertStringToWCHAR("a\x80" "b\xe5\x90" "c\xc0\xaf" "d\xed\xa0\x80");
    ASSERT_NE(wide, nullptr);
    EXPECT_STREQ(wide, L"a\uFFFDb\uFFFD\uFFFDc\uFFFD\uFFFDd\uFFFD\uFFFD\uFFFD");
    Util::FreeMem(wide);
    const wchar_t bad[] = {L'x', static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000), 0};
    char* narrow = Util::ConvertWCHARToString(bad);
    EXPECT_STREQ(narrow, "x\xef\xbf\xbd\xef\xbf\xbd");
    Util::FreeMem(narrow);
}

TEST(Util, FormattingMixesNarrowAndWideInUtf8) {
    char* text = Util::asprintf("%s|%ls|%d", kUtf8, kWide, 42);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), std::string(kUtf8) + "|" + kUtf8 + "|42");
    Util::FreeMem(text);
    wchar_t* wide = Util::aswprintf(L"%ls|%s|%05.1f", kWide, kUtf8, 2.5);
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(std::wstring(wide), std::wstring(kWide) + L"|" + kWide + L"|002.5");
    Util::FreeMem(wide);
    std::string big(5000, 'q');
    wchar_t* longWide = Util::aswprintf(L"%s", big.c_str());
    ASSERT_NE(longWide, nullptr);
    EXPECT_EQ(wcslen(longWide), 5000u);
    Util::FreeMem(longWide);
}

TEST(Util, ClearingAndSafeArithmetic) {
    char secret[] = "hunter2";
    Util::ClearString(secret);
    EXPECT_EQ(std::string(secret, sizeof secret), std::string(sizeof secret, '\0'));
    wchar_t wideSecret[] = L"hunter2";
    Util::ClearStringW(wideSecret);
    for (wchar_t c : wideSecret)
        EXPECT_EQ(c, L'\0');
    uint8_t block[16];
    memset(block, 0xAB, sizeof block);
    Util::RtlSecureZeroMemory(block, sizeof block);
    for (uint8_t b : block)
        EXPECT_EQ(b, 0);

    bool overflow = true;
    EXPECT_EQ(Util::SafeMul(3, 7, &overflow), 21u);
    EXPECT_FALSE(overflow);
    EXPECT_EQ(Util::SafeMul(SIZE_MAX / 2 + 1, 2, &overflow), 0u);
    EXPECT_TRUE(overflow);
    EXPECT_EQ(Util::SafeCalloc(SIZE_MAX / 4, 8), nullptr);
    auto* zeroed = static_cast<uint8_t*>(Util::SafeCalloc(64, 4));
    ASSERT_NE(zeroed, nullptr);
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(zeroed[i], 0);
    Util::FreeMem(zeroed);
    void* empty = Util::SafeCalloc(0, 8);
    EXPECT_NE(empty, nullptr);
    Util::FreeMem(empty);
}

TEST(Util, OsFactsFollowTheKernel) {
    utsname name{};
    ASSERT_EQ(uname(&name), 0);
    OsInfo info{};
    ASSERT_EQ(Util::GetOsInfo(&info), 0);
    const std::string release = name.release;
    const std::string majorMinor = std::to_string(info.majorVersion) + "." + std::to_string(info.minorVersion);
    EXPECT_EQ(release.rfind(majorMinor, 0), 0u) << release;
    EXPECT_EQ(info.platformId, 2);
    EXPECT_EQ(info.productType, 1);
    if (std::string(name.machine) == "x86_64") {
        EXPECT_EQ(info.processorArchitecture, 9);
    }
    EXPECT_NE(Util::GetOsInfo(nullptr), 0);

    char* version = Util::GetOsVersion();
    ASSERT_NE(version, nullptr);
    EXPECT_TRUE(std::regex_match(version, std::regex("\\d+\\.\\d+\\.\\d+"))) << version;
    EXPECT_EQ(std::string(version).rfind(std::to_string(info.majorVersion) + ".", 0), 0u);
    Util::FreeMem(version);
}

TEST(Util, ProcessUptimeIsBoundedBySystemUptime) {
    std::ifstream in("/proc/uptime");
    double systemUp = 0;
    ASSERT_TRUE(in >> systemUp);
    uint64_t up = Util::GetProcessUptime();
    EXPECT_LE(up, static_cast<uint64_t>(systemUp) + 1);
}

}  // namespace
