// The host's utility component, as the library uses it: logging, string and
// memory helpers, operating-system facts and the password utility.
#pragma once

#include <cstddef>
#include <cstdint>

// Log functions. `error` lines are failures; `trace` lines carry a 64-bit
// category (every line of this library uses 0x1000). Both may be called from
// any thread at any time. Formats follow the C library in both widths: %ls
// takes a wide string and %s a narrow one (UTF-8), also in wide formats.
void error(const char* format, ...) __attribute__((format(printf, 1, 2)));
void error(const wchar_t* format, ...);
void trace(uint64_t category, const char* format, ...) __attribute__((format(printf, 2, 3)));
void trace(uint64_t category, const wchar_t* format, ...);

// The trace category of every line this library writes.
constexpr uint64_t kTesselTraceCategory = 0x1000;

// Operating-system facts, eleven signed 32-bit values in this order.
struct OsInfo {
    int32_t majorVersion;
    int32_t minorVersion;
    int32_t buildNumber;
    int32_t platformId;
    int32_t servicePackMajor;
    int32_t servicePackMinor;
    int32_t suiteMask;
    int32_t productType;
    int32_t processorArchitecture;
    int32_t productInfoType;
    int32_t serverR2;
};

// Password enciphering. Keys are prepared from a 256-byte seed table and an
// initial value of kKeySize bytes that the caller carries; the same key serves
// both directions. Ciphertext is authenticated: a tampered or truncated value is
// refused (false), never decoded into garbage.
class IPasswordUtil {
public:
    static constexpr size_t kKeySize = 26;
    static constexpr size_t kSeedSize = 256;

    virtual ~IPasswordUtil() = default;
    virtual bool PrepareKey(const uint8_t seed[kSeedSize], const uint8_t initial[kKeySize],
                            uint8_t key[kKeySize]) = 0;
    // The size of the ciphertext for a clear text of `size` bytes.
    virtual size_t CipherSize(size_t size) const = 0;
    // Both return false when `capacity` is too small; `written` gets the size used.
    virtual bool Encipher(const uint8_t key[kKeySize], const uint8_t* in, size_t size, uint8_t* out,
                          size_t capacity, size_t* written) = 0;
    virtual bool Decipher(const uint8_t key[kKeySize], const uint8_t* in, size_t size, uint8_t* out,
                          size_t capacity, size_t* written) = 0;
};

namespace Util {

// Newly allocated formatted strings and conversions; release with FreeMem.
char* asprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
wchar_t* aswprintf(const wchar_t* format, ...);
wchar_t* ConvertStringToWCHAR(const char* text);
char* ConvertWCHARToString(const wchar_t* text);
void FreeMem(void* memory);

// Overwrite secrets before they are released.
void ClearString(char* text);
void ClearStringW(wchar_t* text);
void RtlSecureZeroMemory(void* memory, size_t size);

// Zeroed allocation (null on failure or overflow) and an overflow-checked product.
void* SafeCalloc(size_t count, size_t size);
size_t SafeMul(size_t a, size_t b, bool* overflow);

// 0 on success.
int GetOsInfo(OsInfo* info);
// The OS version as "major.minor.build", newly allocated (FreeMem), or null.
char* GetOsVersion();
// Seconds since this process started.
uint64_t GetProcessUptime();

// The password utility; the instance is released with ReleasePClassInstance.
IPasswordUtil* CreatePClassInstance();
void ReleasePClassInstance(IPasswordUtil* instance);

}  // namespace Util
