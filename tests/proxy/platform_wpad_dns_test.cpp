// WPAD through DNS: candidate names, the registrable-domain floor (from the
// public suffix list, its ICANN and private sections and its wildcard rules),
// the search list and the bounded lookup.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

#include "platform/winhttp/wpad_dns.h"

namespace {

using namespace platform::winhttp;
using Names = std::vector<std::string>;

TEST(PlatformWpadDns, RegistrableDomainFloor) {
    struct Row {
        const char* domain;
        const char* floor;
    };
    const Row rows[] = {
        {"a.b.example.com", "example.com"},
        {"Example.COM.", "example.com"},
        {"dept.example.co.uk", "example.co.uk"},
        {"example.com.au", "example.com.au"},
        {"foo.me.uk", "foo.me.uk"},                           // multi-label suffix outside any short list
        {"corp.example.eu.org", "example.eu.org"},            // private section
        {"x.myname.blogspot.com", "myname.blogspot.com"},     // private section
        {"x.co.com", "x.co.com"},                             // co.com is a suffix of its own
        {"dept.agency.go.jp", "agency.go.jp"},
        {"x.pvt.k12.ma.us", "x.pvt.k12.ma.us"},               // four-label suffix
        {"a.b.c.ck", "b.c.ck"},                               // wildcard rule *.ck
        {"host.www.ck", "www.ck"},                            // its exception !www.ck
        {"dept.example.test", "example.test"},                // unlisted top-level domain
        {"co.uk", ""},
        {"me.uk", ""},
        {"ca.us", ""},
        {"c.ck", ""},
        {"com", ""},
        {"bad..name", ""},
        {"", ""},
    };
    for (const Row& row : rows) EXPECT_EQ(RegistrableDomain(row.domain), row.floor) << row.domain;
}

TEST(PlatformWpadDns, CandidatesNeverReachAPublicSuffix) {
    struct Row {
        const char* fqdn;
        Names search;
        Names expected;
    };
    const Row rows[] = {
        {"host.a.b.example.com", {}, {"wpad.a.b.example.com", "wpad.b.example.com", "wpad.example.com"}},
        {"host.dept.example.co.uk",
         {"example.co.uk", "lab.other.test", "com", "bad..name"},
         {"wpad.dept.example.co.uk", "wpad.example.co.uk", "wpad.lab.other.test", "wpad.other.test"}},
        {"host", {}, {}},
        {"host.com", {"co.uk"}, {}},  // never wpad.com or wpad.co.uk
        {"host.foo.me.uk", {}, {"wpad.foo.me.uk"}},
        {"host.corp.example.eu.org", {}, {"wpad.corp.example.eu.org", "wpad.example.eu.org"}},
        {"host.dept.agency.go.jp", {}, {"wpad.dept.agency.go.jp", "wpad.agency.go.jp"}},
        {"host.x.pvt.k12.ma.us", {}, {"wpad.x.pvt.k12.ma.us"}},
        {"x.myname.blogspot.com", {}, {"wpad.myname.blogspot.com"}},
        {"host.a.b.c.ck", {}, {"wpad.a.b.c.ck", "wpad.b.c.ck"}},
        {"host", {"ca.us", "me.uk", "k12.ma.us", "blogspot.com", "c.ck"}, {}},  // suffixes in the search list
    };
    for (const Row& row : rows) EXPECT_EQ(WpadCandidates(row.fqdn, row.search), row.expected) << row.fqdn;
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
