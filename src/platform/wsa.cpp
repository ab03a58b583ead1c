#include "platform/wsa.h"

#include <atomic>

namespace {
std::atomic<int> g_startups{0};
}

int WSAStartup(uint16_t requestedVersion, WSADATA* data) {
    if (data) {
        data->wVersion = requestedVersion;
        data->wHighVersion = 0x0202;
    }
    g_startups.fetch_add(1);
    return 0;
}

int WSACleanup() {
    int current = g_startups.load();
    while (current > 0) {
        if (g_startups.compare_exchange_weak(current, current - 1))
            return 0;
    }
    return -1;
}

int WSAStartupCount() { return g_startups.load(); }
