// Parsers of the platform layer: os-release text, kernel release, UTF-8.
#include <gtest/gtest.h>

#include <climits>

#include "platform/os_release.h"
#include "platform/utf8.h"

namespace {

TEST(OsRelease, QuotingCommentsAndMalformedLines) {
    auto fields = platform::ParseOsRelease(
        "# comment\n"
        "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
        "NAME='Single \"quoted\"'\n"
        "ID=debian\r\n"
        "VERSION=\"with \\\"escapes\\\" and \\$dollar\"\n"
        "  SPACED = value  \n"
        "UNTERMINATED=\"oops\n"
        "bad-key=1\n"
        "no equals sign\n"
        "EMPTY=\n");
    EXPECT_EQ(fields["PRETTY_NAME"], "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(fields["NAME"], "Single \"quoted\"");
    EXPECT_EQ(fields["ID"], "debian");
    EXPECT_EQ(fields["VERSION"], "with \"escapes\" and $dollar");
    EXPECT_EQ(fields["SPACED"], "value");
    EXPECT_EQ(fields.count("UNTERMINATED"), 0u);
    EXPECT_EQ(fields.count("bad-key"), 0u);
    EXPECT_EQ(fields["EMPTY"], "");
    EXPECT_EQ(fields.size(), 6u);
}

TEST(OsRelease, FirstReadableFileWins) {
    platform::OsReleaseFields fields;
    EXPECT_FALSE(platform::ReadOsRelease(&fields, {"/nonexistent/os-release"}));
}

TEST(KernelRelease, NumbersFromReleaseText) {
    platform::KernelRelease k;
    platform::ParseKernelRelease("6.1.0-13-amd64", &k);
    EXPECT_EQ(k.major, 6);
    EXPECT_EQ(k.minor, 1);
    EXPECT_EQ(k.patch, 0);
    platform::ParseKernelRelease("5.15", &k);
    EXPECT_EQ(k.major, 5);
    EXPECT_EQ(k.minor, 15);
    EXPECT_EQ(k.patch, 0);
    platform::ParseKernelRelease("4.19.999999999999-rc1", &k);
    EXPECT_EQ(k.patch, INT_MAX);
    platform::ParseKernelRelease("weird", &k);
    EXPECT_EQ(k.major, 0);
}

TEST(Utf8, AllPlanesRoundTrip) {
    std::wstring wide;
    for (wchar_t c : {0x1, 0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFD, 0xFFFF, 0x10000, 0x10FFFF})
        wide.push_back(c);
    std::string narrow = platform::WideToUtf8(wide);
    EXPECT_EQ(narrow.size(), 1 + 1 + 2 + 2 + 3 + 3 + 3 + 3 + 3 + 4 + 4u);
    EXPECT_EQ(platform::Utf8ToWide(narrow), wide);
    // Four-byte forms above U+10FFFF are refused byte by byte.
    EXPECT_EQ(platform::Utf8ToWide("\xf4\x90\x80\x80"), L"\uFFFD\uFFFD\uFFFD\uFFFD");
}

}  // namespace
