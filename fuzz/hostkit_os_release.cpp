// os-release text: KEY=VALUE lines with shell quoting.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/os_release.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 100000)
        return 0;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const auto& [key, value] : platform::ParseOsRelease(text)) {
        if (key.empty() || value.size() > size)
            abort();
        for (char c : key)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_')
                abort();
    }
    platform::KernelRelease release;
    platform::ParseKernelRelease(text, &release);
    if (release.major < 0 || release.minor < 0 || release.patch < 0)
        abort();
    return 0;
}
