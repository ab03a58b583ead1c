// Option 252 in the lease files of the three DHCP clients, and the search
// over their places, newest file first.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "platform/winhttp.h"
#include "platform/winhttp/dhcp_lease.h"

namespace {

using namespace platform::winhttp;
namespace fs = std::filesystem;

// "http://w/x" as dhclient writes undeclared options: hex bytes joined by ":".
constexpr const char* HEX_URL = "68:74:74:70:3a:2f:2f:77:2f:78";

TEST(PlatformDhclientLease, LastLeaseCarryingTheOptionWins) {
    std::string text = std::string(R"(# dhclient lease database
lease {
  interface "eth0";
  fixed-address 10.0.0.5;
  option wpad "http://old.example.test/wpad.dat";
  renew 2 2026/12/01 10:00:00;
}
lease {
  interface "eth0";
  option unknown-252 "http://new.example.test/wpad.dat\000";
  option domain-name "example.test";
}
lease {
  interface "eth1";
  option routers 10.0.0.1;
}
)");
    EXPECT_EQ(WpadFromDhclientLease(text), "http://new.example.test/wpad.dat");
    EXPECT_EQ(WpadFromDhclientLease(std::string("lease { option unknown-252 ") + HEX_URL + "; }"), "http://w/x");
    EXPECT_EQ(WpadFromDhclientLease("lease { option wpad-url \"http://a\\\"b/\"; }"), "http://a\"b/");
    EXPECT_EQ(WpadFromDhclientLease("lease { option proxy-auto-config \"HTTPS://c/p.pac\"; }"), "HTTPS://c/p.pac");
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
        "lease { option domain-name \"http://other-option/\"; }", // another option
        "lease { lease { option wpad \"http://nested/\"; } }",    // nested block
        "",
    };
    for (const char* text : texts) EXPECT_EQ(WpadFromDhclientLease(text), "") << text;
    EXPECT_EQ(CheckWpadUrl(std::string("http://") + std::string(2100, 'a')), "");
}

TEST(PlatformKeyValueLease, NetworkdAndNetworkManagerInternalClient) {
    // "http://wpad.example.test/wpad.dat" with the NUL some servers append.
    std::string hex = "687474703a2f2f777061642e6578616d706c652e746573742f777061642e64617400";
    EXPECT_EQ(WpadFromKeyValueLease("# This is private data. Do not parse.\nADDRESS=10.0.0.5\nOPTION_252=" + hex +
                                    "\nOPTION_224=00\n"),
              "http://wpad.example.test/wpad.dat");
    EXPECT_EQ(WpadFromKeyValueLease("ADDRESS=10.0.0.5\r\nOPTION_252=\"687474703a2f2f772f\"\r\n"), "http://w/");
    EXPECT_EQ(WpadFromKeyValueLease("OPTION_2520=687474703a2f2f772f\n"), "");
    EXPECT_EQ(WpadFromKeyValueLease("OPTION_252=687474703a2f2f772\n"), "");  // odd digit count
    EXPECT_EQ(WpadFromKeyValueLease("OPTION_252=66696c653a2f2f2f\n"), "");  // file:///
    EXPECT_EQ(WpadFromKeyValueLease("ADDRESS=10.0.0.5\n"), "");
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
    }
    void TearDown() override { fs::remove_all(root_); }

    // Writes a file whose modification time is `age` seconds in the past.
    void Write(const std::string& name, const std::string& text, int age) {
        fs::path path = root_ / name;
        std::ofstream(path) << text;
        fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(age));
    }

    fs::path root_;
    platform::WinHttpSettings settings_;
};

TEST_F(PlatformLeaseSearch, NewestFileWithTheOptionWinsAcrossClients) {
    EXPECT_EQ(FindWpadInLeases(settings_), "");  // nothing there yet
    Write("dhcp/dhclient.eth0.leases", "lease { option wpad \"http://dhclient.test/wpad.dat\"; }", 300);
    Write("dhcp/ignored.txt", "lease { option wpad \"http://not-a-lease-file.test/\"; }", 1);
    EXPECT_EQ(FindWpadInLeases(settings_), "http://dhclient.test/wpad.dat");
    Write("networkd/2", "OPTION_252=687474703a2f2f6e6574776f726b642e746573742f\n", 200);
    EXPECT_EQ(FindWpadInLeases(settings_), "http://networkd.test/");
    Write("nm/internal-1234-eth0.lease", "OPTION_252=687474703a2f2f6e6d2e746573742f\n", 100);
    Write("nm/NetworkManager.state", "OPTION_252=687474703a2f2f73746174652e746573742f\n", 1);
    EXPECT_EQ(FindWpadInLeases(settings_), "http://nm.test/");
    Write("nm/dhclient-5678-eth1.lease", "lease { option wpad \"http://nm-dhclient.test/\"; }", 50);
    EXPECT_EQ(FindWpadInLeases(settings_), "http://nm-dhclient.test/");
    // A newer lease without the option does not hide an older one with it.
    Write("single.leases", "lease { option routers 10.0.0.1; }", 0);
    EXPECT_EQ(FindWpadInLeases(settings_), "http://nm-dhclient.test/");
    Write("single.leases", "lease { option wpad \"http://single.test/\"; }", 0);
    EXPECT_EQ(FindWpadInLeases(settings_), "http://single.test/");
}

}  // namespace
