#include "platform/process_uptime.h"

#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace platform {
namespace {

const auto g_loaded = std::chrono::steady_clock::now();

// Field 22 of /proc/self/stat, in clock ticks since boot. The command name
// (field 2) may hold spaces and parentheses, so fields count from the last ')'.
bool StartTicks(unsigned long long* ticks) {
    std::ifstream file("/proc/self/stat");
    std::string content;
    if (!file || !std::getline(file, content))
        return false;
    size_t close = content.rfind(')');
    if (close == std::string::npos)
        return false;
    std::istringstream fields(content.substr(close + 1));
    std::string field;
    for (int number = 3; number < 22; ++number)
        if (!(fields >> field))
            return false;
    return static_cast<bool>(fields >> *ticks);
}

}  // namespace

uint64_t ProcessUptimeSeconds() {
    unsigned long long ticks = 0;
    long perSecond = sysconf(_SC_CLK_TCK);
    timespec boot{};
    if (StartTicks(&ticks) && perSecond > 0 && clock_gettime(CLOCK_BOOTTIME, &boot) == 0) {
        unsigned long long started = ticks / static_cast<unsigned long long>(perSecond);
        unsigned long long now = static_cast<unsigned long long>(boot.tv_sec);
        return now > started ? now - started : 0;
    }
    auto elapsed = std::chrono::steady_clock::now() - g_loaded;
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
}

}  // namespace platform
