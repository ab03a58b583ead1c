// WPAD through DHCP: the URL of option 252 as the DHCP clients of this
// platform recorded it in their lease files. Only the current lease of each
// interface counts: a lease file keeps the leases of every network the host
// has been on, and an earlier network's URL must not outlive that network.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace platform {
struct WinHttpSettings;
}

namespace platform::winhttp {

// A lease's end (seconds since the epoch, UTC) when it never ends.
constexpr int64_t LEASE_NEVER_EXPIRES = std::numeric_limits<int64_t>::max();

// One lease as a DHCP client recorded it.
struct DhcpLease {
    std::string interface;  // "" when the record does not say
    std::string wpadUrl;    // "" when it carries no usable option 252
    int64_t expires = 0;    // seconds since the epoch (UTC); 0 when unknown, which counts as expired
};

// dhclient's lease syntax (also NetworkManager's dhclient-*.lease files): the
// last complete "lease { ... }" block of each interface, in file order (the
// client appends, so the last block is the newest). Option 252 is declared as
// "wpad", "wpad-url", "proxy-auto-config" or left as "unknown-252", its value
// either a quoted string (with dhclient's octal escapes) or hex bytes joined
// by ":". The end is the "expire" statement: "<weekday> YYYY/MM/DD HH:MM:SS"
// in UTC, "epoch <seconds>" or "never". At most 64 interfaces.
std::vector<DhcpLease> ReadDhclientLeases(std::string_view text);

// The KEY=VALUE lease files of systemd-networkd and of NetworkManager's
// internal client (internal-*.lease): one file is one interface's lease,
// "OPTION_252=" holds the option's bytes in hex and "LIFETIME=" its length in
// seconds from `written` (the file's modification time); without a lifetime
// the file's presence is all there is and the lease does not expire.
DhcpLease ReadKeyValueLease(std::string_view text, int64_t written);

// The URL of the newest current lease: `newestFirst` holds leases newest
// first, so the first one of an interface is its current lease and the
// later ones are history. An interface whose newest lease has expired at
// `now` or carries no URL offers none. "" when no interface offers one.
std::string CurrentWpadUrl(const std::vector<DhcpLease>& newestFirst, int64_t now);

// The option's bytes as a WPAD URL: a trailing NUL (which some servers send)
// is dropped; anything but a printable http:// or https:// URL of at most
// 2048 bytes gives "".
std::string CheckWpadUrl(std::string_view bytes);

// The lease files the settings name: dhclient files (a directory stands for
// its *.lease and *.leases files), every file of networkd's lease directory
// (named by interface index), and NetworkManager's internal-*.lease and
// dhclient-*.lease files (named "<client>-<connection>-<interface>.lease").
// Newer files (by modification time) hold newer leases; of the newest 64
// files, CurrentWpadUrl at the kit's clock.
std::string FindWpadInLeases(const WinHttpSettings& settings);

}  // namespace platform::winhttp
