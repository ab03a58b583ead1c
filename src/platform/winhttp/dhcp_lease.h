// WPAD through DHCP: the URL of option 252 as the DHCP clients of this
// platform recorded it in their lease files.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {
struct WinHttpSettings;
}

namespace platform::winhttp {

// dhclient's lease syntax (also NetworkManager's dhclient-*.lease files): the
// last "lease { ... }" block carrying option 252, declared as "wpad",
// "wpad-url", "proxy-auto-config" or left as "unknown-252", its value either
// a quoted string (with dhclient's octal escapes) or hex bytes joined by ":".
// Empty when none carries it or the value is not an http(s) URL.
std::string WpadFromDhclientLease(std::string_view text);

// The KEY=VALUE lease files of systemd-networkd and of NetworkManager's
// internal client (internal-*.lease): "OPTION_252=" with the option's bytes
// in hex. Empty when absent or not an http(s) URL.
std::string WpadFromKeyValueLease(std::string_view text);

// The option's bytes as a WPAD URL: a trailing NUL (which some servers send)
// is dropped; anything but a printable http:// or https:// URL of at most
// 2048 bytes gives "".
std::string CheckWpadUrl(std::string_view bytes);

// The lease files the settings name, newest first: dhclient files (a
// directory stands for its *.lease and *.leases files), every file of
// networkd's lease directory, and NetworkManager's internal-*.lease and
// dhclient-*.lease files. The first URL found, or "".
std::string FindWpadInLeases(const WinHttpSettings& settings);

}  // namespace platform::winhttp
