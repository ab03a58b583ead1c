// Host information for the management registration: adapter selection,
// host names with the cached fallback, and what counts as a change.
#include <gtest/gtest.h>
#include <arpa/inet.h>

#include <string>
#include <vector>

#include "platform/computer_name.h"
#include "platform/net_adapters.h"
#include "platform/os_release.h"
#include "platform/utf8.h"
#include "registration/DomainNameHelper.h"
#include "registration/TesselExternal.h"
#include "registration/VestaRegistrationDataHandler.h"
#include "registration/vgn.h"
#include "registration_store.h"
#include "support/log_capture.h"

namespace {

AdapterInfo Adapter(uint32_t index, std::vector<uint8_t> mac, uint32_t type = 6, uint32_t status = 1) {
    AdapterInfo a;
    a.ifIndex = index;
    a.ifType = type;
    a.operStatus = status;
    a.adapterName = "eth" + std::to_string(index);
    a.friendlyName = L"Ethernet " + std::to_wstring(index);
    a.physicalAddress = std::move(mac);
    return a;
}

IpAddrRow Row(uint32_t index, const char* address) {
    IpAddrRow row;
    row.ifIndex = index;
    inet_pton(AF_INET, address, &row.address);
    return row;
}

TEST(NetworkAdapters, OnlyUpAdaptersWithHardwareAndIpv4AddressesAreReportedInIndexOrder) {
    const std::vector<uint8_t> mac = {0, 26, 43, 60, 77, 94};
    const std::vector<AdapterInfo> adapters = {
        Adapter(9, mac),                       // reported, listed after 4
        Adapter(4, {0x02, 0, 0, 0, 0, 0xff}),  // reported, last of two rows wins
        Adapter(1, mac, 24),                   // software loopback
        Adapter(5, mac, 6, 2),                 // down
        Adapter(6, {}),                        // no hardware address
        Adapter(7, mac),                       // only 127.0.0.1
        Adapter(8, mac),                       // no IPv4 address
    };
    const std::vector<IpAddrRow> rows = {Row(9, "10.0.0.9"), Row(4, "192.168.1.4"), Row(4, "172.16.0.4"),
                                         Row(1, "127.0.0.1"), Row(5, "10.0.0.5"), Row(6, "10.0.0.6"),
                                         Row(7, "127.0.0.1"), Row(33, "10.0.0.33")};
    NetworkAdapterMap map;
    map[99] = NetworkAdapterInfo{};  // replaced, not added to
    vgn::MapNetworkAdapters(adapters, rows, &map);

    ASSERT_EQ(map.size(), 2u);
    auto it = map.begin();
    EXPECT_EQ(it->first, 4u);
    EXPECT_EQ(it->second.ipv4Address, L"172.16.0.4");
    EXPECT_EQ(it->second.macAddress, L"02:00:00:00:00:ff");
    ++it;
    EXPECT_EQ(it->first, 9u);
    const NetworkAdapterInfo& nine = it->second;
    EXPECT_EQ(nine.macAddress, L"00:1a:2b:3c:4d:5e");
    EXPECT_EQ(nine.ipv4Address, L"10.0.0.9");
    EXPECT_EQ(nine.adapterName, L"eth9");
    EXPECT_EQ(nine.friendlyName, L"Ethernet 9");
    EXPECT_EQ(nine.interfaceIndex, 9u);
    EXPECT_EQ(nine.up, 1);
    EXPECT_TRUE(nine.ipv6Address.empty());
}

TEST(NetworkAdapters, TheRealListFollowsTheSameRules) {
    std::vector<AdapterInfo> all;
    ASSERT_EQ(platform::ListAdapters(&all, false), 0);
    NetworkAdapterMap map;
    ASSERT_EQ(vgn::DumpNetworkInfo(&map), 0u);
    for (const auto& [index, adapter] : map) {
        EXPECT_EQ(adapter.interfaceIndex, index);
        EXPECT_FALSE(adapter.macAddress.empty());
        EXPECT_FALSE(adapter.ipv4Address.empty());
        EXPECT_NE(adapter.ipv4Address, L"127.0.0.1");
        bool listed = false;
        for (const AdapterInfo& a : all)
            if (a.ifIndex == index) {
                listed = true;
                EXPECT_NE(a.ifType, platform::kIfTypeSoftwareLoopback);
                EXPECT_EQ(a.operStatus, platform::kIfOperStatusUp);
                EXPECT_EQ(adapter.macAddress, vgn::FormatMacAddress(a.physicalAddress));
            }
        EXPECT_TRUE(listed) << index;
    }
}

TEST(HostNames, FullyQualifiedNameAndProductNameComeFromThePlatform) {
    std::string fqdn;
    ASSERT_EQ(platform::ComputerName(ComputerNameDnsFullyQualified, &fqdn), 0);
    std::wstring name;
    EXPECT_EQ(vgn::GetComputerNameExW(ComputerNameDnsFullyQualified, &name), 1);
    EXPECT_EQ(name, platform::Utf8ToWide(fqdn));
    name.clear();
    EXPECT_EQ(vgn::GetFQDomainName(&name), 0u);
    EXPECT_EQ(name, platform::Utf8ToWide(fqdn));

    LogCapture log;
    EXPECT_EQ(vgn::GetComputerNameExW(77, &name), 0);  // no such format
    EXPECT_EQ(name, L"UNKNOWN");
    EXPECT_TRUE(log.containsError("vgn::GetComputerNameExW: GetComputerNameEx ( 77 ) last error not ERROR_MORE_DATA"));

    platform::OsReleaseFields fields;
    TesselExternal external;
    OsInfo os{};
    EXPECT_TRUE(external.GetOSInfo(&os));
    EXPECT_GT(os.majorVersion, 0);
    EXPECT_GE(external.GetProcessUptime(), 0);
    std::wstring product;
    if (platform::ReadOsRelease(&fields) && !fields["PRETTY_NAME"].empty()) {
        EXPECT_TRUE(external.GetOSProductName(&product));
        EXPECT_EQ(product, platform::Utf8ToWide(fields["PRETTY_NAME"]));
    } else {
        EXPECT_FALSE(external.GetOSProductName(&product));
        EXPECT_TRUE(log.containsError("vgn::GetOSProductName: failed to get ProductName from registry"));
    }
}

// Getters with the shape of vgn::GetComputerNameExW for the cases the system
// cannot be made to produce: a failure (placeholder left) and empty answers.
int FailingGetter(uint32_t, std::wstring* out) {
    *out = L"UNKNOWN";
    return 0;
}
int EmptyGetter(uint32_t, std::wstring* out) {
    out->clear();
    return 1;
}

TEST(HostNames, TheCachedNameFollowsTheSystemAndStandsInOnlyForEmptyAnswers) {
    RegistrationStore s;
    ASSERT_TRUE(s.store);
    std::string fqdn;
    ASSERT_EQ(platform::ComputerName(ComputerNameDnsFullyQualified, &fqdn), 0);
    const std::wstring expected = platform::Utf8ToWide(fqdn);

    LogCapture log;
    std::wstring name;
    EXPECT_EQ(DomainNameHelper::GetFQDomainName(vgn::GetComputerNameExW, s.store.get(), &name), 0);
    EXPECT_EQ(name, expected);
    EXPECT_EQ(s.LocalW("config/agent/cachedhostname"), expected);
    EXPECT_TRUE(log.containsTrace("couldn't find config/agent/cachedhostname in config"));
    EXPECT_TRUE(log.containsTrace("DomainNameHelper::GetFQDomainName: Cached hostname: , Actual hostname: " + fqdn));
    log.clear();
    EXPECT_EQ(DomainNameHelper::GetFQDomainName(vgn::GetComputerNameExW, s.store.get(), &name), 0);
    EXPECT_FALSE(log.contains("Cached hostname:"));  // unchanged: not written again

    // Empty answers: the cached name.
    name.clear();
    EXPECT_EQ(DomainNameHelper::GetFQDomainName(EmptyGetter, s.store.get(), &name), 0);
    EXPECT_EQ(name, expected);
    EXPECT_EQ(log.count("GetComputerNameEx() returned an empty string"), 2u);
    EXPECT_TRUE(log.containsError("Calls to GetComputerNameEx() failed using cached hostname=" + fqdn + " instead"));

    // A failing getter leaves its placeholder: no fallback.
    EXPECT_EQ(DomainNameHelper::GetFQDomainName(FailingGetter, s.store.get(), &name), vgn::kNoComputerName);
    EXPECT_TRUE(log.containsError("DomainNameHelper::GetFQDomainName: Could not determine computer name"));

    // Without a configuration: nothing read or written.
    ASSERT_TRUE(s.store->DeleteSubtree("config/agent/cachedhostname"));
    log.clear();
    EXPECT_EQ(DomainNameHelper::GetFQDomainName(EmptyGetter, nullptr, &name), vgn::kNoComputerName);
    EXPECT_EQ(DomainNameHelper::GetFQDomainName(vgn::GetComputerNameExW, nullptr, &name), 0);
    EXPECT_EQ(name, expected);
    EXPECT_TRUE(log.containsTrace("DomainNameHelper::GetFQDomainName: Config object is null, skipping caching..."));
    EXPECT_FALSE(s.store->SubtreeExists("config/agent/cachedhostname"));

    EXPECT_EQ(DomainNameHelper::GetFQDomainName(nullptr, s.store.get(), &name), vgn::kInvalidArg);

    // The narrow host name of the registration is the same name.
    TesselExternal external;
    EXPECT_EQ(external.GetHostName(s.store.get()), fqdn);
}

NetworkAdapterMap Adapters(size_t count) {
    NetworkAdapterMap map;
    for (uint32_t i = 1; i <= count; ++i) {
        NetworkAdapterInfo& a = map[i * 10];
        a.interfaceIndex = i * 10;
        a.ipv4Address = L"10.0.0." + std::to_wstring(i);
        a.macAddress = L"00:00:00:00:00:0" + std::to_wstring(i);
        a.up = 1;
    }
    return map;
}

TEST(VestaRegistrationData, ChangesAreNamedForHostNameAdapterCountFirstThreeAdaptersAndHardwareId) {
    TesselExternal external;
    VestaRegistrationDataHandler handler(&external);
    VestaRegistrationData data{L"HWID-1", L"host.example", Adapters(1)};
    EXPECT_EQ(handler.GetChangeReasons(data), L"/hnm/nic_c/hwid");
    handler.SetLastRegisteredData(data);
    EXPECT_EQ(handler.GetChangeReasons(data), L"");

    VestaRegistrationData five{L"HWID-1", L"host.example", Adapters(5)};
    EXPECT_EQ(handler.GetChangeReasons(five), L"/nic_c");
    handler.SetLastRegisteredData(five);
    VestaRegistrationData changed = five;
    changed.adapters[10].ipv4Address = L"10.9.9.9";
    EXPECT_EQ(handler.GetChangeReasons(changed), L"/nic_info");
    changed = five;
    changed.adapters[30].macAddress = L"aa:bb:cc:dd:ee:ff";
    changed.fqdn = L"other.example";
    EXPECT_EQ(handler.GetChangeReasons(changed), L"/hnm/nic_info");
    // Only the first three are reported, so only they count.
    changed = five;
    changed.adapters[40].ipv4Address = L"10.9.9.9";
    changed.adapters[50].macAddress = L"aa:bb:cc:dd:ee:ff";
    EXPECT_EQ(handler.GetChangeReasons(changed), L"");
    changed.hardwareId = L"HWID-2";
    EXPECT_EQ(handler.GetChangeReasons(changed), L"/hwid");
    // Same count, another adapter in place of one: no address of a known index changed.
    changed = five;
    NetworkAdapterInfo moved = changed.adapters[20];
    changed.adapters.erase(20);
    changed.adapters[60] = moved;
    EXPECT_EQ(handler.GetChangeReasons(changed), L"");
}

TEST(VestaRegistrationData, TheQueryGathersNameAdaptersAndIdentityOfThisHost) {
    TesselExternal external;
    VestaRegistrationDataHandler handler(&external);
    LogCapture log;
    VestaRegistrationData data;
    bool ok = handler.QueryVestaRegistrationData(&data);
    std::wstring fqdn;
    ASSERT_TRUE(external.GetFQDomainName(&fqdn));
    EXPECT_EQ(data.fqdn, fqdn);
    NetworkAdapterMap adapters;
    ASSERT_TRUE(external.GetNetworkInfo(&adapters));
    EXPECT_EQ(data.adapters.size(), adapters.size());
    EXPECT_TRUE(log.containsTrace("Got network info. Number of adapters " + std::to_string(adapters.size())));
    std::wstring id;
    EXPECT_EQ(external.GetOriUniqueId(&id), !data.hardwareId.empty());
    EXPECT_EQ(ok, !data.hardwareId.empty());
    EXPECT_EQ(data.hardwareId, id);
    if (!ok) {
        EXPECT_TRUE(log.containsError("VestaRegistrationDataHandler::QueryVestaRegistrationData: Failed to get ori id"));
    }
}

}  // namespace
