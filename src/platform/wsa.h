// Socket library start-up and clean-up, reference-counted. On this platform
// there is nothing to start: the calls only keep the count the callers expect.
#pragma once

#include <cstdint>

struct WSADATA {
    uint16_t wVersion;
    uint16_t wHighVersion;
};

// 0 on success.
int WSAStartup(uint16_t requestedVersion, WSADATA* data);
// 0 on success; -1 when there was no matching WSAStartup.
int WSACleanup();
// The number of WSAStartup calls not yet matched by WSACleanup.
int WSAStartupCount();
