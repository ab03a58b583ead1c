#include "platform/net_adapters.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>

#include "platform/utf8.h"

namespace platform {
namespace {

struct IfAddrsDeleter {
    void operator()(ifaddrs* list) const { freeifaddrs(list); }
};
using IfAddrs = std::unique_ptr<ifaddrs, IfAddrsDeleter>;

int Snapshot(IfAddrs* out) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return errno ? errno : EIO;
    out->reset(list);
    return 0;
}

}  // namespace

int ListAdapters(std::vector<AdapterInfo>* adapters, bool withIpv6) {
    if (!adapters)
        return EINVAL;
    IfAddrs list;
    if (int rc = Snapshot(&list))
        return rc;
    std::map<uint32_t, AdapterInfo> byIndex;
    for (ifaddrs* entry = list.get(); entry; entry = entry->ifa_next) {
        if (!entry->ifa_name)
            continue;
        uint32_t index = if_nametoindex(entry->ifa_name);
        if (index == 0)
            continue;  // gone since the snapshot
        AdapterInfo& adapter = byIndex[index];
        if (adapter.ifIndex == 0) {
            adapter.ifIndex = index;
            adapter.adapterName = entry->ifa_name;
            adapter.friendlyName = Utf8ToWide(entry->ifa_name);
            adapter.ifType = (entry->ifa_flags & IFF_LOOPBACK) ? kIfTypeSoftwareLoopback : kIfTypeEthernet;
            bool up = (entry->ifa_flags & IFF_UP) && (entry->ifa_flags & IFF_RUNNING);
            adapter.operStatus = up ? kIfOperStatusUp : kIfOperStatusDown;
        }
        if (!entry->ifa_addr)
            continue;
        if (entry->ifa_addr->sa_family == AF_PACKET) {
            auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
            size_t length = std::min<size_t>(link->sll_halen, sizeof link->sll_addr);
            adapter.physicalAddress.assign(link->sll_addr, link->sll_addr + length);
        } else if (withIpv6 && entry->ifa_addr->sa_family == AF_INET6) {
            auto* address = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
            char text[INET6_ADDRSTRLEN] = {};
            if (inet_ntop(AF_INET6, &address->sin6_addr, text, sizeof text))
                adapter.ipv6Addresses.emplace_back(text);
        }
    }
    adapters->clear();
    for (auto& [index, adapter] : byIndex)
        adapters->push_back(std::move(adapter));
    return 0;
}

int ListIpv4Rows(std::vector<IpAddrRow>* rows, bool sorted) {
    if (!rows)
        return EINVAL;
    IfAddrs list;
    if (int rc = Snapshot(&list))
        return rc;
    rows->clear();
    for (ifaddrs* entry = list.get(); entry; entry = entry->ifa_next) {
        if (!entry->ifa_name || !entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        IpAddrRow row;
        row.address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
        if (entry->ifa_netmask)
            row.mask = reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr;
        row.ifIndex = if_nametoindex(entry->ifa_name);
        if (row.ifIndex != 0)
            rows->push_back(row);
    }
    if (sorted)
        std::sort(rows->begin(), rows->end(),
                  [](const IpAddrRow& a, const IpAddrRow& b) { return ntohl(a.address) < ntohl(b.address); });
    return 0;
}

}  // namespace platform
