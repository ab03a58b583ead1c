// WPAD through DNS: candidate names, the registrable-domain floor, the
// search list and the bounded lookup.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

#include "platform/winhttp/wpad_dns.h"

namespace {

using namespace platform::winhttp;
using Names = std::vector<std::string>;

TEST(PlatformWpadDns, RegistrableDomainFloor) {
    EXPECT_EQ(RegistrableDomain("a.b.example.com"), "example.com");
    EXPECT_EQ(RegistrableDomain("Example.COM."), "example.com");
    EXPECT_EQ(RegistrableDomain("dept.example.co.uk"), "example.co.uk");
    EXPECT_EQ(RegistrableDomain("example.com.au"), "example.com.au");
    EXPECT_EQ(RegistrableDomain("co.uk"), "");
    EXPECT_EQ(RegistrableDomain("com"), "");
    // "co" under a three-letter top-level domain is an ordinary name.
    EXPECT_EQ(RegistrableDomain("x.co.com"), "co.com");
}

TEST(PlatformWpadDns, CandidatesWalkUpToTheRegistrableDomainOnly) {
    EXPECT_EQ(WpadCandidates("host.a.b.example.com", {}),
              (Names{"wpad.a.b.example.com", "wpad.b.example.com", "wpad.example.com"}));
    EXPECT_EQ(WpadCandidates("host.dept.example.co.uk", {"example.co.uk", "lab.other.test", "com", "bad..name"}),
              (Names{"wpad.dept.example.co.uk", "wpad.example.co.uk", "wpad.lab.other.test", "wpad.other.test"}));
    EXPECT_EQ(WpadCandidates("host", {}), Names{});
    EXPECT_EQ(WpadCandidates("host.com", {"co.uk"}), Names{});  // never wpad.com or wpad.co.uk
}

TEST(PlatformWpadDns, SearchListFromResolvConf) {
    char path[] = "/tmp/dtk-resolv-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << "# comment\nnameserver 127.0.0.1\ndomain only.test\nsearch old.test\n"
                           "search a.test b.test\noptions ndots:1\n";
    EXPECT_EQ(ReadSearchList(path), (Names{"a.test", "b.test"}));
    std::ofstream(path) << "domain only.test\n";
    EXPECT_EQ(ReadSearchList(path), (Names{"only.test"}));
    unlink(path);
    EXPECT_EQ(ReadSearchList(path), Names{});
}

TEST(PlatformWpadDns, LookupAnswersBeforeItsDeadline) {
    auto soon = [] { return std::chrono::steady_clock::now() + std::chrono::seconds(10); };
    EXPECT_TRUE(ResolvesBefore("localhost", soon()));
    EXPECT_FALSE(ResolvesBefore("name.invalid", std::chrono::steady_clock::now()));  // no time at all
}

}  // namespace
