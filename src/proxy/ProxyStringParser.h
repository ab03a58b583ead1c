// Proxy lists as WinHTTP and PAC conversions return them, for example
// "a:80;b:81", "a:80 b:81" or "http=a:80;https=b:443", into ProxyInfo entries.
#pragma once

#include <cstdint>
#include <string>

#include "dtk/ITesselInstance.h"
#include "dtk/ProxyInfo.h"

class ProxyStringParser {
public:
    // Appends one entry per proxy of `proxies` with `source` as its discovery
    // mode. Entries are separated by spaces (or other white space) and ";" in
    // any mix; empty entries and entries that do not parse are skipped. true
    // when at least one entry was appended.
    static bool ParseProxyString(const std::wstring& proxies, int32_t source, ProxyInfoList* list);

    // One entry: host, host:port, protocol=host:port, type://host:port or
    // protocol=type://host:port. true when it parsed completely; `info` may
    // hold some fields otherwise.
    static bool ParseProxyToken(const std::wstring& token, ProxyInfo* info);
};
