#include "proxy/ProxyStringParser.h"

#include <algorithm>
#include <cwctype>

#include "host/Util.h"

namespace {

// Pieces of a token end at a delimiter chosen by priority, not by distance:
// "=" before ":" before "/" before the end of the token.
enum PieceClass { kEquals = 0, kColon = 1, kSlash = 2, kEnd = 3 };

enum State {
    kStart = 0,
    kListProtocol = 1,  // "protocol=" read
    kType = 2,          // "type://" read
    kHost = 3,          // "host:" read
    kComplete = 4,
    kInvalid = 5,
};

constexpr State kTransitions[6][4] = {
    /* start         */ {kListProtocol, kHost, kInvalid, kComplete},
    /* list protocol */ {kInvalid, kHost, kInvalid, kComplete},
    /* type          */ {kInvalid, kHost, kInvalid, kComplete},
    /* host          */ {kInvalid, kHost, kInvalid, kComplete},
    /* complete      */ {kInvalid, kInvalid, kInvalid, kInvalid},
    /* invalid       */ {kInvalid, kInvalid, kInvalid, kInvalid},
};

constexpr size_t kMaxPiece = 2048;

// The port's leading decimal digits; false when they do not fit 16 bits.
bool ParsePort(const std::wstring& piece, uint16_t* port) {
    uint32_t value = 0;
    for (wchar_t c : piece) {
        if (c < L'0' || c > L'9') break;
        value = value * 10 + static_cast<uint32_t>(c - L'0');
        if (value > 0xFFFF) return false;
    }
    *port = static_cast<uint16_t>(value);
    return true;
}

bool IsSeparator(wchar_t c) { return c == L';' || std::iswspace(static_cast<wint_t>(c)); }

}  // namespace

bool ProxyStringParser::ParseProxyToken(const std::wstring& token, ProxyInfo* info) {
    const size_t length = token.size();
    size_t pos = 0;
    State state = kStart;
    while (pos <= length) {
        size_t end;
        PieceClass cls;
        if ((end = token.find(L'=', pos)) != std::wstring::npos)
            cls = kEquals;
        else if ((end = token.find(L':', pos)) != std::wstring::npos)
            cls = kColon;
        else if ((end = token.find(L'/', pos)) != std::wstring::npos)
            cls = kSlash;
        else {
            end = length;
            cls = kEnd;
        }
        const std::wstring piece = token.substr(pos, std::min(end - pos, kMaxPiece));
        const State previous = state;
        state = kTransitions[previous][cls];
        switch (state) {
        case kListProtocol:
            info->listProtocol = piece;
            pos = end + 1;
            break;
        case kHost:
            if (token.find(L'/', end + 1) == std::wstring::npos) {
                info->server = piece;
                pos = end + 1;
            } else if (token.find(L'/', end + 2) != std::wstring::npos) {
                // "type://": the two characters after ":" are the slashes.
                info->type = piece;
                pos = end + 3;
                state = kType;
            } else {
                trace(kTesselTraceCategory, "ProxyStringParser::ProcessState reached invalid state: %d, prev: %d",
                      static_cast<int>(kInvalid), static_cast<int>(previous));
                return false;
            }
            break;
        case kComplete:
            if (previous == kHost) {
                if (!ParsePort(piece, &info->port)) {
                    trace(kTesselTraceCategory, "ProxyStringParser::ParseProxyString prev: %d, pos: %d",
                          static_cast<int>(previous), static_cast<int>(pos));
                    return false;
                }
            } else {
                info->server = piece;
            }
            return true;
        default:
            trace(kTesselTraceCategory, "ProxyStringParser::ProcessState reached invalid state: %d, prev: %d",
                  static_cast<int>(state), static_cast<int>(previous));
            trace(kTesselTraceCategory, "ProxyStringParser::ParseProxyString prev: %d, pos: %d",
                  static_cast<int>(previous), static_cast<int>(pos));
            return false;
        }
    }
    trace(kTesselTraceCategory, "ProxyStringParser::ParseProxyString pos: %d, len: %d", static_cast<int>(pos),
          static_cast<int>(length));
    return false;
}

bool ProxyStringParser::ParseProxyString(const std::wstring& proxies, int32_t source, ProxyInfoList* list) {
    bool parsed = false;
    size_t pos = 0;
    while (pos < proxies.size()) {
        if (IsSeparator(proxies[pos])) {
            ++pos;
            continue;
        }
        size_t end = pos;
        while (end < proxies.size() && !IsSeparator(proxies[end])) ++end;
        ProxyInfo info;
        if (ParseProxyToken(proxies.substr(pos, end - pos), &info)) {
            info.discoveryMode = source;
            trace(kTesselTraceCategory, "ProxyStringParser::ParseProxyString: Add Proxy %ls:%d to discovery list",
                  info.server.c_str(), info.port);
            list->push_back(info);
            parsed = true;
        }
        pos = end;
    }
    return parsed;
}
