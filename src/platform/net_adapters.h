// The endpoint's network interfaces: the POSIX stand-in for the IP Helper's
// adapter list and IPv4 address table, built from getifaddrs(3).
#pragma once

#include <vector>

#include "host/WinApi.h"

namespace platform {

// Interface types and states as the IP Helper numbers them.
constexpr uint32_t kIfTypeEthernet = 6;
constexpr uint32_t kIfTypeSoftwareLoopback = 24;
constexpr uint32_t kIfOperStatusUp = 1;
constexpr uint32_t kIfOperStatusDown = 2;

// Every interface, in ascending index order: index from if_nametoindex, type
// 24 for loopback and 6 otherwise, status up when the interface is both up and
// running, adapter and friendly name both the interface name, hardware address
// from the link-layer entry, and (when `withIpv6`) the IPv6 addresses as text.
// 0 on success, otherwise an errno value.
int ListAdapters(std::vector<AdapterInfo>* adapters, bool withIpv6);

// One row per IPv4 address of any interface (address and mask in network byte
// order), in the order the system lists them, or ascending by address when
// `sorted`. 0 on success, otherwise an errno value.
int ListIpv4Rows(std::vector<IpAddrRow>* rows, bool sorted);

}  // namespace platform
