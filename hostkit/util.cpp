// The Util:: helpers of the host's utility component.
#include <openssl/crypto.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "Util.h"
#include "host_text.h"
#include "platform/os_release.h"
#include "platform/process_uptime.h"
#include "platform/utf8.h"

namespace {

// Processor architectures as the OS information record numbers them.
int32_t ProcessorArchitecture(const std::string& machine) {
    if (machine == "x86_64" || machine == "amd64")
        return 9;
    if (machine == "aarch64" || machine == "arm64")
        return 12;
    if (machine.rfind("arm", 0) == 0)
        return 5;
    if (machine == "i386" || machine == "i486" || machine == "i586" || machine == "i686")
        return 0;
    return 0xFFFF;  // unknown
}

}  // namespace

namespace Util {

char* asprintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text;
    bool ok = hostkit::VFormat(&text, format, args);
    va_end(args);
    return ok ? hostkit::DupString(text) : nullptr;
}

wchar_t* aswprintf(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text;
    bool ok = hostkit::VFormatW(&text, format, args);
    va_end(args);
    return ok ? hostkit::DupWide(text) : nullptr;
}

wchar_t* ConvertStringToWCHAR(const char* text) {
    return text ? hostkit::DupWide(platform::Utf8ToWide(text)) : nullptr;
}

char* ConvertWCHARToString(const wchar_t* text) {
    return text ? hostkit::DupString(platform::WideToUtf8(text)) : nullptr;
}

void FreeMem(void* memory) { free(memory); }

void ClearString(char* text) {
    if (text)
        OPENSSL_cleanse(text, strlen(text));
}

void ClearStringW(wchar_t* text) {
    if (text)
        OPENSSL_cleanse(text, wcslen(text) * sizeof(wchar_t));
}

// OPENSSL_cleanse is written so that the compiler cannot drop the stores.
void RtlSecureZeroMemory(void* memory, size_t size) {
    if (memory && size)
        OPENSSL_cleanse(memory, size);
}

void* SafeCalloc(size_t count, size_t size) {
    bool overflow = false;
    size_t total = SafeMul(count, size, &overflow);
    if (overflow)
        return nullptr;
    // A zero-sized request still yields a distinct pointer, so that null
    // always means failure.
    return total ? calloc(count, size) : calloc(1, 1);
}

size_t SafeMul(size_t a, size_t b, bool* overflow) {
    size_t product = 0;
    bool over = __builtin_mul_overflow(a, b, &product);
    if (overflow)
        *overflow = over;
    return over ? 0 : product;
}

// The record follows the kernel: major, minor and build are the first three
// numbers of the kernel release; the platform id is 2 (the NT family, the only
// one a current system reports); no service pack, suite or product info; the
// product type is 1 (workstation); the architecture comes from the machine
// name of uname (9 x86-64, 12 ARM64, 5 ARM, 0 x86, 0xFFFF unknown).
int GetOsInfo(OsInfo* info) {
    if (!info)
        return -1;
    platform::KernelRelease kernel;
    if (!platform::ReadKernelRelease(&kernel))
        return -1;
    *info = OsInfo{};
    info->majorVersion = kernel.major;
    info->minorVersion = kernel.minor;
    info->buildNumber = kernel.patch;
    info->platformId = 2;
    info->productType = 1;
    info->processorArchitecture = ProcessorArchitecture(kernel.machine);
    return 0;
}

char* GetOsVersion() {
    OsInfo info;
    if (GetOsInfo(&info) != 0)
        return nullptr;
    return asprintf("%d.%d.%d", info.majorVersion, info.minorVersion, info.buildNumber);
}

uint64_t GetProcessUptime() { return platform::ProcessUptimeSeconds(); }

}  // namespace Util
