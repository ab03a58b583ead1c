// Option 252 in the lease files of the three DHCP clients, the end of each
// lease, and the search over their places: only the newest lease of each
// interface counts, and only until it ends.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "kit/tessel_time.h"
#include "platform/winhttp.h"
#include "platform/winhttp/dhcp_lease.h"

namespace {

using namespace platform::winhttp;
namespace fs = std::filesystem;

// "http://w/x" as dhclient writes undeclared options: hex bytes joined by ":".
constexpr const char* HEX_URL = "68:74:74:70:3a:2f:2f:77:2f:78";

// The kit's clock stands still at NOW (2026/12/01 12:00:00 UTC, a Tuesday)
// and file times are set from it, so expiry is judged without waiting.
constexpr int64_t NOW = 1796126400;
constexpr const char* PAST = "1 2026/11/30 12:00:00";    // a day before NOW
constexpr const char* FUTURE = "3 2026/12/02 12:00:00";  // a day after NOW

// The URLs of every lease `text` yields, joined by spaces.
std::string Urls(const std::string& text) {
    std::string urls;
    std::vector<DhcpLease> leases = ReadDhclientLeases(text);
    for (size_t i = 0; i < leases.size(); ++i) urls += (i ? " " : "") + leases[i].wpadUrl;
    return urls;
}

TEST(PlatformDhclientLease, LastLeaseOfEachInterfaceWithItsEnd) {
    std::string text = std::string(R"(# dhclient lease database
default-duid "\000\001\000\001";
lease {
  interface "eth0";
  fixed-address 10.0.0.5;
  option wpad "http://old.example.test/wpad.dat";
  renew 2 2026/12/01 10:00:00;
  expire 2 2026/12/01 18:00:00;
}
lease {
  interface "eth0";
  option unknown-252 "http://new.example.test/wpad.dat\000";
  option domain-name "example.test";
  expire epoch 1796140800; # Tue Dec 01 16:00:00 2026
}
lease {
  interface "eth1";
  option wpad "http://eth1-old.test/";
  expire never;
}
alias {
  interface "eth2";
  option wpad "http://alias.test/";
  expire never;
}
lease {
  interface "eth1";
  option routers 10.0.0.1;
  expire never;
}
)");
    std::vector<DhcpLease> leases = ReadDhclientLeases(text);
    ASSERT_EQ(leases.size(), 2u);
    EXPECT_EQ(leases[0].interface, "eth0");
    EXPECT_EQ(leases[0].wpadUrl, "http://new.example.test/wpad.dat");
    EXPECT_EQ(leases[0].expires, 1796140800);
    EXPECT_EQ(leases[1].interface, "eth1");
    EXPECT_EQ(leases[1].wpadUrl, "");  // its newest lease carries none
    EXPECT_EQ(leases[1].expires, LEASE_NEVER_EXPIRES);

    EXPECT_EQ(Urls(std::string("lease { option unknown-252 ") + HEX_URL + "; }"), "http://w/x");
    EXPECT_EQ(Urls("lease { option wpad-url \"http://a\\\"b/\"; }"), "http://a\"b/");
    EXPECT_EQ(Urls("lease { option proxy-auto-config \"HTTPS://c/p.pac\"; }"), "HTTPS://c/p.pac");
    // A string longer than any URL is skipped, not the end of the file.
    EXPECT_EQ(Urls("lease { interface \"a\"; option domain-search \"" + std::string(3000, 'x') +
                   "\"; } lease { interface \"b\"; option wpad \"http://after.test/\"; }"),
              " http://after.test/");

    struct Row {
        const char* expire;
        int64_t expires;
    };
    const Row rows[] = {
        {"expire 2 2026/12/01 18:00:00;", 1796148000},  // UTC, whatever the local zone
        {"expire 4 2024/02/29 00:00:00;", 1709164800},
        {"expire epoch 1796140800;", 1796140800},
        {"expire never;", LEASE_NEVER_EXPIRES},
        {"", 0},  // no end known: not current
        {"expire 2 2026/13/01 12:00:00;", 0},
        {"expire 2 2026/02/29 12:00:00;", 0},
        {"expire 2 2026/12/01 24:00:00;", 0},
        {"expire 2 1969/12/31 23:59:59;", 0},
        {"expire 2 2026-12-01 12:00:00;", 0},
        {"expire epoch -5;", 0},
        {"expire soon;", 0},
    };
    for (const Row& row : rows) {
        leases = ReadDhclientLeases(std::string("lease { interface \"eth0\"; ") + row.expire + " }");
        ASSERT_EQ(leases.size(), 1u) << row.expire;
        EXPECT_EQ(leases[0].expires, row.expires) << row.expire;
    }
}

TEST(PlatformDhclientLease, UnusableValuesAndBrokenFilesGiveNothing) {
    const char* texts[] = {
        "lease { option wpad \"file:///etc/passwd\"; }",          // not http(s)
        "lease { option wpad \"http://a b/\"; }",                 // space inside
        "lease { option wpad \"http://a\\001b/\"; }",             // control byte
        "lease { option wpad 68:74:7g; }",                        // bad hex
        "lease { option wpad 68:74:; }",                          // dangling colon
        "lease { option wpad \"http://unterminated/; }",          // unterminated quote
        "lease { option wpad \"http://no-end-of-lease/\";",       // lease never closed
        "option wpad \"http://outside-a-lease/\";",               // not in a lease
        "alias { option wpad \"http://alias/\"; }",               // not a lease
        "lease { option domain-name \"http://other-option/\"; }", // another option
        "lease { lease { option wpad \"http://nested/\"; } }",    // nested block
        "",
    };
    for (const char* text : texts) EXPECT_EQ(Urls(text), "") << text;
    EXPECT_EQ(CheckWpadUrl(std::string("http://") + std::string(2100, 'a')), "");
}

TEST(PlatformKeyValueLease, NetworkdAndNetworkManagerInternalClient) {
    // "http://wpad.example.test/wpad.dat" with the NUL some servers append.
    std::string hex = "687474703a2f2f777061642e6578616d706c652e746573742f777061642e64617400";
    auto url = [](const std::string& text) { return ReadKeyValueLease(text, NOW).wpadUrl; };
    EXPECT_EQ(url("# This is private data. Do not parse.\nADDRESS=10.0.0.5\nOPTION_252=" + hex + "\nOPTION_224=00\n"),
              "http://wpad.example.test/wpad.dat");
    EXPECT_EQ(url("ADDRESS=10.0.0.5\r\nOPTION_252=\"687474703a2f2f772f\"\r\n"), "http://w/");
    EXPECT_EQ(url("OPTION_2520=687474703a2f2f772f\n"), "");
    EXPECT_EQ(url("OPTION_252=687474703a2f2f772\n"), "");  // odd digit count
    EXPECT_EQ(url("OPTION_252=66696c653a2f2f2f\n"), "");  // file:///
    EXPECT_EQ(url("ADDRESS=10.0.0.5\n"), "");

    // The lifetime counts from when the file was written.
    auto expires = [](const std::string& text) { return ReadKeyValueLease(text, NOW).expires; };
    EXPECT_EQ(expires("ADDRESS=10.0.0.5\n"), LEASE_NEVER_EXPIRES);  // the file is there while the lease is
    EXPECT_EQ(expires("LIFETIME=3600\n"), NOW + 3600);
    EXPECT_EQ(expires("LIFETIME=4294967295\n"), LEASE_NEVER_EXPIRES);
    EXPECT_EQ(expires("LIFETIME=1h\n"), 0);
    EXPECT_EQ(expires("LIFETIME=\n"), 0);
}

// A dhclient lease block of `interface`, ending at `expire`, carrying `wpad`
// as option 252 unless it is empty.
std::string Lease(const std::string& interface, const std::string& expire, const std::string& wpad = "") {
    std::string text = "lease {\n  interface \"" + interface + "\";\n  fixed-address 10.0.0.5;\n";
    if (!wpad.empty()) text += "  option wpad \"" + wpad + "\";\n";
    return text + "  renew 2 2026/12/01 11:00:00;\n  expire " + expire + ";\n}\n";
}

class PlatformLeaseSearch : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/dtk-lease-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        for (const char* dir : {"dhcp", "networkd", "nm"}) fs::create_directories(root_ / dir);
        settings_.dhclientLeasePaths = {(root_ / "dhcp").string(), (root_ / "single.leases").string()};
        settings_.networkdLeaseDir = (root_ / "networkd").string();
        settings_.networkManagerDir = (root_ / "nm").string();
        tessel_clock_set(&clock_);
    }
    void TearDown() override {
        tessel_clock_set(nullptr);
        fs::remove_all(root_);
    }

    // Writes a file whose modification time is `age` seconds before NOW.
    void Write(const std::string& name, const std::string& text, int age) {
        fs::path path = root_ / name;
        std::ofstream(path) << text;
        auto written = std::chrono::system_clock::from_time_t(static_cast<time_t>(NOW - age));
        fs::last_write_time(path, std::chrono::file_clock::from_sys(written));
    }

    static int64_t Now(void*) { return NOW; }
    static uint32_t Random(void*) { return 4; }

    tessel_clock clock_{Now, Random, 1000000000, nullptr};
    fs::path root_;
    platform::WinHttpSettings settings_;
};

TEST_F(PlatformLeaseSearch, EarlierNetworksLeaseIsNotUsed) {
    // The café's lease (expired, or not) is followed by the current one of
    // the same interface, which carries no URL: no URL at all.
    Write("single.leases", Lease("wlan0", PAST, "http://evil.test/wpad.dat") + Lease("wlan0", FUTURE), 0);
    EXPECT_EQ(FindWpadInLeases(settings_), "");
    Write("single.leases", Lease("wlan0", "never", "http://evil.test/wpad.dat") + Lease("wlan0", FUTURE), 0);
    EXPECT_EQ(FindWpadInLeases(settings_), "");
    // The current lease itself has expired.
    Write("single.leases", Lease("wlan0", PAST, "http://evil.test/wpad.dat"), 0);
    EXPECT_EQ(FindWpadInLeases(settings_), "");
    Write("single.leases", Lease("wlan0", FUTURE, "http://evil.test/wpad.dat") + Lease("wlan0", PAST), 0);
    EXPECT_EQ(FindWpadInLeases(settings_), "");
    // Another interface's lease does not hide it.
    Write("single.leases", Lease("wlan0", FUTURE, "http://current.test/wpad.dat") + Lease("eth0", FUTURE), 0);
    EXPECT_EQ(FindWpadInLeases(settings_), "http://current.test/wpad.dat");
}

TEST_F(PlatformLeaseSearch, NewestCurrentLeaseWinsAcrossClients) {
    EXPECT_EQ(FindWpadInLeases(settings_), "");  // nothing there yet
    Write("dhcp/dhclient.eth0.leases", Lease("eth0", FUTURE, "http://dhclient.test/wpad.dat"), 300);
    Write("dhcp/ignored.txt", Lease("eth9", FUTURE, "http://not-a-lease-file.test/"), 1);
    EXPECT_EQ(FindWpadInLeases(settings_), "http://dhclient.test/wpad.dat");
    Write("networkd/2", "OPTION_252=687474703a2f2f6e6574776f726b642e746573742f\n", 200);
    EXPECT_EQ(FindWpadInLeases(settings_), "http://networkd.test/");
    const std::string uuid = "8c1f5a0e-2b7d-4f3a-9e61-0d2c4b6a8f10";
    Write("nm/internal-" + uuid + "-eth1.lease", "OPTION_252=687474703a2f2f6e6d2e746573742f\n", 100);
    Write("nm/NetworkManager.state", "OPTION_252=687474703a2f2f73746174652e746573742f\n", 1);
    EXPECT_EQ(FindWpadInLeases(settings_), "http://nm.test/");
    // A newer file of eth1 from another connection; its lease names no
    // interface, the file name does.
    Write("nm/dhclient-0f6e2d4c-1a3b-4c5d-8e7f-9a0b1c2d3e4f-eth1.lease",
          "lease {\n  option wpad \"http://nm-dhclient.test/\";\n  expire never;\n}\n", 50);
    EXPECT_EQ(FindWpadInLeases(settings_), "http://nm-dhclient.test/");
    // eth1's newest lease carries no URL: eth1 offers none, and the newest
    // interface that does is networkd's.
    Write("single.leases", Lease("eth1", FUTURE), 0);
    EXPECT_EQ(FindWpadInLeases(settings_), "http://networkd.test/");
    Write("single.leases", Lease("eth1", FUTURE, "http://single.test/"), 0);
    EXPECT_EQ(FindWpadInLeases(settings_), "http://single.test/");
    Write("single.leases", Lease("eth1", PAST, "http://single.test/"), 0);
    EXPECT_EQ(FindWpadInLeases(settings_), "http://networkd.test/");
    // networkd's lease lasts its lifetime from when it was written.
    Write("networkd/2", "LIFETIME=150\nOPTION_252=687474703a2f2f6e6574776f726b642e746573742f\n", 200);
    EXPECT_EQ(FindWpadInLeases(settings_), "http://dhclient.test/wpad.dat");
    Write("networkd/2", "LIFETIME=250\nOPTION_252=687474703a2f2f6e6574776f726b642e746573742f\n", 200);
    EXPECT_EQ(FindWpadInLeases(settings_), "http://networkd.test/");
}

}  // namespace
