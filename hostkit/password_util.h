// The password utility: AES-256-GCM under a key derived from the caller's
// 26-byte key.
//
// Key preparation: HKDF-SHA256 with the initial value as salt and the seed
// table as input key material, 26 bytes out.
// Enciphering: the AES key is HKDF-SHA256 of the 26-byte key (32 bytes out);
// a fresh random 12-byte nonce per call; the output is nonce || ciphertext ||
// 16-byte tag, so CipherSize(n) is n + 28.
// Deciphering verifies the tag before anything is trusted: a tampered,
// truncated or foreign value yields false, and the output buffer is zeroed
// (all `capacity` bytes) on every failure.
#pragma once

#include "Util.h"

namespace hostkit {

class PasswordUtil final : public IPasswordUtil {
public:
    static constexpr size_t kNonceSize = 12;
    static constexpr size_t kTagSize = 16;

    bool PrepareKey(const uint8_t seed[kSeedSize], const uint8_t initial[kKeySize],
                    uint8_t key[kKeySize]) override;
    size_t CipherSize(size_t size) const override;
    bool Encipher(const uint8_t key[kKeySize], const uint8_t* in, size_t size, uint8_t* out,
                  size_t capacity, size_t* written) override;
    bool Decipher(const uint8_t key[kKeySize], const uint8_t* in, size_t size, uint8_t* out,
                  size_t capacity, size_t* written) override;
};

}  // namespace hostkit
