// The WinApi wrapper over the real network interfaces and host name, the
// registry operator and the hardware identity.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <net/if.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <regex>

#include "identity.h"
#include "platform/utf8.h"
#include "support/log_capture.h"
#include "temp_dir.h"
#include "WinApi.h"

namespace {

class WinApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        wrapper = CreateWinApiWrapper();
        ASSERT_NE(wrapper, nullptr);
    }
    void TearDown() override { DeleteWinApiWrapper(wrapper); }

    // The name by the caller's protocol: probe, allocate, fetch.
    std::wstring Name(uint32_t format) {
        IComputerName* names = wrapper->GetComputerNameObject();
        uint32_t size = 0;
        EXPECT_FALSE(names->GetComputerNameExW(format, nullptr, &size));
        EXPECT_EQ(names->GetLastError(), kErrorMoreData);
        EXPECT_GE(size, 1u);
        std::vector<wchar_t> buffer(size, L'#');
        uint32_t length = size;
        EXPECT_TRUE(names->GetComputerNameExW(format, buffer.data(), &length));
        EXPECT_EQ(length, size - 1);
        EXPECT_EQ(buffer[length], L'\0');
        return std::wstring(buffer.data(), length);
    }

    IWinApiWrapper* wrapper = nullptr;
};

TEST_F(WinApiTest, ComputerNamesFollowTheProbingProtocol) {
    char host[HOST_NAME_MAX + 1] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    std::string label = std::string(host).substr(0, std::string(host).find('.'));

    std::wstring dnsHost = Name(ComputerNameDnsHostname);
    EXPECT_EQ(dnsHost, platform::Utf8ToWide(label));
    std::wstring netbios = Name(ComputerNameNetBIOS);
    EXPECT_LE(netbios.size(), 15u);
    for (size_t i = 0; i < netbios.size(); ++i)
        EXPECT_EQ(netbios[i], towupper(dnsHost[i]));
    std::wstring fqdn = Name(ComputerNameDnsFullyQualified);
    EXPECT_FALSE(fqdn.empty());
    std::wstring domain = Name(ComputerNameDnsDomain);
    size_t dot = fqdn.find(L'.');
    EXPECT_EQ(domain, dot == std::wstring::npos ? L"" : fqdn.substr(dot + 1));

    // A buffer one short still fails and reports the size again.
    IComputerName* names = wrapper->GetComputerNameObject();
    std::vector<wchar_t> buffer(dnsHost.size());
    uint32_t size = static_cast<uint32_t>(buffer.size());
    EXPECT_FALSE(names->GetComputerNameExW(ComputerNameDnsHostname, buffer.data(), &size));
    EXPECT_EQ(names->GetLastError(), kErrorMoreData);
    EXPECT_EQ(size, dnsHost.size() + 1);
    // Bad arguments.
    EXPECT_FALSE(names->GetComputerNameExW(99, nullptr, &size));
    EXPECT_NE(names->GetLastError(), kErrorMoreData);
    EXPECT_FALSE(names->GetComputerNameExW(ComputerNameDnsHostname, buffer.data(), nullptr));
}

TEST_F(WinApiTest, AdaptersIncludeLoopbackAsType24) {
    std::vector<AdapterInfo> adapters;
    ASSERT_EQ(wrapper->GetIpHelperObject()->GetAdaptersAddresses(0, 0, &adapters), 0u);
    ASSERT_FALSE(adapters.empty());
    const AdapterInfo* loopback = nullptr;
    uint32_t previous = 0;
    for (const AdapterInfo& adapter : adapters) {
        EXPECT_GT(adapter.ifIndex, previous);  // ascending, no duplicates
        previous = adapter.ifIndex;
        EXPECT_EQ(if_nametoindex(adapter.adapterName.c_str()), adapter.ifIndex);
        EXPECT_EQ(adapter.friendlyName, platform::Utf8ToWide(adapter.adapterName));
        if (adapter.adapterName == "lo")
            loopback = &adapter;
        else
            EXPECT_EQ(adapter.ifType, 6u) << adapter.adapterName;
    }
    ASSERT_NE(loopback, nullptr);
    EXPECT_EQ(loopback->ifType, 24u);
    EXPECT_EQ(loopback->operStatus, 1u);

    // IPv6 addresses are left out when unicast addresses are skipped.
    ASSERT_EQ(wrapper->GetIpHelperObject()->GetAdaptersAddresses(0, 0x1F, &adapters), 0u);
    for (const AdapterInfo& adapter : adapters)
        EXPECT_TRUE(adapter.ipv6Addresses.empty());
    EXPECT_NE(wrapper->GetIpHelperObject()->GetAdaptersAddresses(0, 0, nullptr), 0u);
}

TEST_F(WinApiTest, IpAddrTableUsesTheInsufficientBufferProtocol) {
    IIpHelper* helper = wrapper->GetIpHelperObject();
    uint32_t size = 0, count = 0;
    ASSERT_EQ(helper->GetIpAddrTable(nullptr, &size, &count, false), kErrorInsufficientBuffer);
    ASSERT_GE(size, sizeof(IpAddrRow));
    ASSERT_EQ(size % sizeof(IpAddrRow), 0u);
    std::vector<IpAddrRow> rows(size / sizeof(IpAddrRow));
    uint32_t small = size - 1;
    EXPECT_EQ(helper->GetIpAddrTable(rows.data(), &small, &count, false), kErrorInsufficientBuffer);
    EXPECT_EQ(small, size);
    ASSERT_EQ(helper->GetIpAddrTable(rows.data(), &size, &count, true), 0u);
    ASSERT_GE(count, 1u);
    bool sawLoopback = false;
    for (uint32_t i = 0; i < count; ++i) {
        if (i > 0) {
            EXPECT_LE(ntohl(rows[i - 1].address), ntohl(rows[i].address));
        }
        if (rows[i].address == htonl(INADDR_LOOPBACK)) {
            sawLoopback = true;
            EXPECT_EQ(rows[i].ifIndex, if_nametoindex("lo"));
            EXPECT_EQ(rows[i].mask, htonl(0xFF000000));
        }
    }
    EXPECT_TRUE(sawLoopback);
    EXPECT_NE(helper->GetIpAddrTable(rows.data(), &size, nullptr, false), 0u);
}

std::wstring PrettyName() {
    std::ifstream in("/etc/os-release");
    if (!in)
        in.open("/usr/lib/os-release");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("PRETTY_NAME=", 0) == 0) {
            std::string value = line.substr(12);
            if (value.size() >= 2 && (value[0] == '"' || value[0] == '\''))
                value = value.substr(1, value.size() - 2);
            return platform::Utf8ToWide(value);
        }
    return L"";
}

TEST_F(WinApiTest, RegistryAnswersProductNameOnly) {
    EXPECT_EQ(CreateRegistryOperator(nullptr), nullptr);
    IRegistryOperator* registry = CreateRegistryOperator(wrapper->GetRegistryAccess());
    ASSERT_NE(registry, nullptr);
    std::wstring expected = PrettyName();
    wchar_t* product = registry->ReadString(HKEY_LOCAL_MACHINE_ROOT,
                                            L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"ProductName");
    if (expected.empty()) {
        EXPECT_EQ(product, nullptr);
    } else {
        ASSERT_NE(product, nullptr);
        EXPECT_EQ(std::wstring(product), expected);
    }
    registry->FreeString(product);
    wchar_t* upper = registry->ReadString(HKEY_LOCAL_MACHINE_ROOT,
                                          L"software\\microsoft\\windows nt\\currentversion", L"PRODUCTNAME");
    EXPECT_EQ(upper != nullptr, !expected.empty());
    registry->FreeString(upper);
    EXPECT_EQ(registry->ReadString(HKEY_LOCAL_MACHINE_ROOT, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                                   L"CurrentBuild"),
              nullptr);
    EXPECT_EQ(registry->ReadString(0x80000001, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"ProductName"),
              nullptr);
    EXPECT_EQ(registry->ReadString(HKEY_LOCAL_MACHINE_ROOT, nullptr, L"ProductName"), nullptr);
    ReleaseRegistryOperator(registry);
}

TEST(Identity, DerivedFromTheFirstValidMachineId) {
    TempDir dir;
    std::ofstream(dir.file("empty")) << "";
    std::ofstream(dir.file("uninit")) << "uninitialized\n";
    std::ofstream(dir.file("a")) << "0123456789abcdef0123456789ABCDEF\n";
    std::ofstream(dir.file("b")) << "fedcba9876543210fedcba9876543210\n";
    std::string fromA = hostkit::IdentityFromMachineId({dir.file("missing"), dir.file("empty"), dir.file("uninit"), dir.file("a")});
    EXPECT_TRUE(std::regex_match(fromA, std::regex("[0-9A-F]{64}"))) << fromA;
    EXPECT_EQ(fromA, hostkit::IdentityFromMachineId({dir.file("a"), dir.file("b")}));
    std::string fromB = hostkit::IdentityFromMachineId({dir.file("b")});
    EXPECT_NE(fromA, fromB);
    EXPECT_EQ(fromA.find("0123456789"), std::string::npos);  // not the raw id
    EXPECT_EQ(hostkit::IdentityFromMachineId({dir.file("missing"), dir.file("uninit")}), "");
}

TEST(Identity, ThisMachineHasOne) {
    LogCapture log;
    IOriUniqueIdentifier* identifier = GetOriUniqueIdentifier();
    ASSERT_NE(identifier, nullptr);
    std::string text = identifier->GetText();
    ReleaseOriUniqueIdentifier(identifier);
    if (text.empty()) {
        EXPECT_TRUE(log.containsError("GetOriUniqueIdentifier: no machine id"));
        GTEST_SKIP() << "no machine id on this system";
    }
    EXPECT_EQ(text.size(), 64u);
    IOriUniqueIdentifier* again = GetOriUniqueIdentifier();
    EXPECT_EQ(text, again->GetText());
    ReleaseOriUniqueIdentifier(again);
}

}  // namespace
