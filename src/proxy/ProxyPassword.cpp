#include "proxy/ProxyPassword.h"

#include <openssl/rand.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "host/IConfig.h"
#include "dtk/ProxyInfo.h"
#include "host/Util.h"

using proxy_password::kBufferSize;
using proxy_password::kPrefixLength;

namespace {

// The key is prepared from two constant tables of ours; only their being
// fixed matters (the same key must decipher what an earlier run stored).
template <size_t N>
constexpr std::array<uint8_t, N> KeyMaterial(uint32_t x) {
    std::array<uint8_t, N> table{};
    for (auto& byte : table) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<uint8_t>(x >> 24);
    }
    return table;
}
constexpr auto kSeedTable = KeyMaterial<IPasswordUtil::kSeedSize>(0x5EED7AB1u);
constexpr auto kInitialValue = KeyMaterial<IPasswordUtil::kKeySize>(0x1A17F00Du);

// The password utility with the prepared key; both go when the object does.
class CipherSession {
public:
    CipherSession() : util_(Util::CreatePClassInstance()) {
        ready_ = util_ && util_->PrepareKey(kSeedTable.data(), kInitialValue.data(), key_);
    }
    ~CipherSession() {
        Util::RtlSecureZeroMemory(key_, sizeof key_);
        if (util_) Util::ReleasePClassInstance(util_);
    }
    CipherSession(const CipherSession&) = delete;
    CipherSession& operator=(const CipherSession&) = delete;

    bool ready() const { return ready_; }
    IPasswordUtil* util() const { return util_; }
    const uint8_t* key() const { return key_; }

private:
    IPasswordUtil* util_;
    uint8_t key_[IPasswordUtil::kKeySize] = {};
    bool ready_ = false;
};

// A fixed buffer wiped when it goes out of scope.
template <size_t N>
struct SecretBuffer {
    uint8_t bytes[N] = {};
    ~SecretBuffer() { Util::RtlSecureZeroMemory(bytes, N); }
};

}  // namespace

bool LoadProxyPassword(IConfig* config, std::wstring* password, proxy_config::View view) {
    if (!config || !password) return false;
    std::vector<uint8_t> cipher;
    if (!proxy_config::ReadBinary(config, view, proxy_config::kPassword, &cipher)) return false;

    SecretBuffer<kBufferSize + 1> clear;
    size_t written = 0;
    bool deciphered = false;
    // Anything longer than we ever store cannot be ours.
    if (cipher.size() <= kBufferSize) {
        CipherSession session;
        deciphered = session.ready() &&
                     session.util()->Decipher(session.key(), cipher.data(), cipher.size(), clear.bytes,
                                              kBufferSize, &written);
    }
    Util::RtlSecureZeroMemory(cipher.data(), cipher.size());
    if (!deciphered) written = 0;

    const size_t length = strnlen(reinterpret_cast<const char*>(clear.bytes), written);
    if (length < kPrefixLength + 1) {
        error("LoadProxyPassword error: incorrect password specified %d, %d", static_cast<int>(length),
              static_cast<int>(kPrefixLength));
        return false;
    }
    wchar_t* wide = Util::ConvertStringToWCHAR(reinterpret_cast<const char*>(clear.bytes) + kPrefixLength);
    if (!wide) return false;
    ProxyInfo::Wipe(password);
    password->assign(wide);
    Util::ClearStringW(wide);
    Util::FreeMem(wide);
    return true;
}

bool StoreProxyPassword(IConfig* config, const char* password) {
    if (!config || !password) return false;
    // The prefix only has to differ between stores; OpenSSL's generator is
    // thread-safe and leaves the C library's rand state alone.
    uint32_t random[5];
    if (RAND_bytes(reinterpret_cast<unsigned char*>(random), sizeof random) != 1) return false;
    char* clear = Util::asprintf("%08X%08X%08X%08X%04X%s", random[0], random[1], random[2], random[3],
                                 random[4] & 0xFFFFu, password);
    Util::RtlSecureZeroMemory(random, sizeof random);
    if (!clear) return false;
    const size_t clearLength = strlen(clear);

    SecretBuffer<kBufferSize> cipher;
    size_t written = 0;
    bool stored = false;
    {
        CipherSession session;
        stored = session.ready() && session.util()->CipherSize(clearLength) <= kBufferSize &&
                 session.util()->Encipher(session.key(), reinterpret_cast<const uint8_t*>(clear), clearLength,
                                          cipher.bytes, kBufferSize, &written);
    }
    Util::ClearString(clear);
    Util::FreeMem(clear);
    stored = stored && written > 0 &&
             proxy_config::WriteBinary(config, proxy_config::kPassword, cipher.bytes, static_cast<uint32_t>(written));
    return stored;
}
