// WPAD through DNS: the candidate names and a resolution bounded in time.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace platform::winhttp {

// The registrable domain of `domain` (lower case, no trailing dot): the public
// suffix it ends in, by the public suffix list, and one label more. "" when
// `domain` is itself a public suffix (a single label is one) or no clean name.
std::string RegistrableDomain(std::string_view domain);

// "wpad.<d>" for the domain of `fqdn` and for each search domain, then each
// one's parents, never above its registrable domain (so never a public
// suffix); duplicates dropped, in that order.
std::vector<std::string> WpadCandidates(std::string_view fqdn, const std::vector<std::string>& search);

// The "search" (or, when it has none, "domain") entries of a resolv.conf.
std::vector<std::string> ReadSearchList(const std::string& path);

// True when `name` resolves before `deadline`. The lookup runs on a thread of
// its own that is left to finish alone when the deadline passes (the
// resolver cannot be interrupted); at most a few such lookups linger at once,
// beyond that a lookup fails at once.
bool ResolvesBefore(const std::string& name, std::chrono::steady_clock::time_point deadline);

// The host's fully qualified name when its lookup answers before `deadline`
// (same rules as above), else the plain host name.
std::string HostFqdnBefore(std::chrono::steady_clock::time_point deadline);

}  // namespace platform::winhttp
