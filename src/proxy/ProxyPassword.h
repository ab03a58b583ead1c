// The stored proxy password: "config/proxy/password" holds, enciphered by the
// host's password utility, 36 random upper-case hexadecimal characters followed
// by the password (narrow). Ciphertext and clear text each fit in 1023 bytes.
#pragma once

#include <cstddef>
#include <string>

#include "proxy/ProxyConfig.h"

class IConfig;

namespace proxy_password {
inline constexpr size_t kBufferSize = 1023;
inline constexpr size_t kPrefixLength = 36;
}  // namespace proxy_password

// The password stored in `view` into *password (wide). false when none is
// stored, it cannot be deciphered, or it deciphers to fewer than 37 characters.
bool LoadProxyPassword(IConfig* config, std::wstring* password, proxy_config::View view);

// Enciphers and writes `password` (narrow) to the local view. false when the
// random prefix, the password utility or both writes fail, or when the
// enciphered form would exceed 1023 bytes.
bool StoreProxyPassword(IConfig* config, const char* password);
