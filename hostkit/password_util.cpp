#include "password_util.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <climits>
#include <cstring>
#include <memory>

namespace hostkit {
namespace {

constexpr char kKeyLabel[] = "dtk password key v1";
constexpr char kCipherLabel[] = "dtk password cipher v1";
// Bound to every ciphertext, so that a value made for another purpose with the
// same key does not decipher here.
constexpr unsigned char kAad[] = "dtk proxy password";
constexpr size_t kAesKeySize = 32;

struct CtxDeleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
    void operator()(EVP_KDF_CTX* ctx) const { EVP_KDF_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CtxDeleter>;
using KdfCtx = std::unique_ptr<EVP_KDF_CTX, CtxDeleter>;

// Secret bytes that are wiped when they go out of scope.
template <size_t N>
struct SecretBytes {
    uint8_t bytes[N] = {};
    ~SecretBytes() { OPENSSL_cleanse(bytes, N); }
};

bool Hkdf(const uint8_t* ikm, size_t ikmSize, const uint8_t* salt, size_t saltSize,
          const char* info, uint8_t* out, size_t outSize) {
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    if (!kdf)
        return false;
    KdfCtx ctx(EVP_KDF_CTX_new(kdf));
    EVP_KDF_free(kdf);
    if (!ctx)
        return false;
    char digest[] = "SHA256";
    OSSL_PARAM params[5];
    size_t n = 0;
    params[n++] = OSSL_PARAM_construct_utf8_string("digest", digest, 0);
    params[n++] = OSSL_PARAM_construct_octet_string("key", const_cast<uint8_t*>(ikm), ikmSize);
    if (salt && saltSize)
        params[n++] = OSSL_PARAM_construct_octet_string("salt", const_cast<uint8_t*>(salt), saltSize);
    params[n++] = OSSL_PARAM_construct_octet_string("info", const_cast<char*>(info), strlen(info));
    params[n] = OSSL_PARAM_construct_end();
    return EVP_KDF_derive(ctx.get(), out, outSize, params) == 1;
}

bool AesKey(const uint8_t key[IPasswordUtil::kKeySize], uint8_t aes[kAesKeySize]) {
    return Hkdf(key, IPasswordUtil::kKeySize, nullptr, 0, kCipherLabel, aes, kAesKeySize);
}

}  // namespace

bool PasswordUtil::PrepareKey(const uint8_t seed[kSeedSize], const uint8_t initial[kKeySize],
                              uint8_t key[kKeySize]) {
    if (!seed || !initial || !key)
        return false;
    if (!Hkdf(seed, kSeedSize, initial, kKeySize, kKeyLabel, key, kKeySize)) {
        OPENSSL_cleanse(key, kKeySize);
        return false;
    }
    return true;
}

size_t PasswordUtil::CipherSize(size_t size) const {
    return size > SIZE_MAX - kNonceSize - kTagSize ? 0 : size + kNonceSize + kTagSize;
}

bool PasswordUtil::Encipher(const uint8_t key[kKeySize], const uint8_t* in, size_t size,
                            uint8_t* out, size_t capacity, size_t* written) {
    if (written)
        *written = 0;
    size_t needed = CipherSize(size);
    if (!key || (!in && size) || !out || needed == 0 || capacity < needed || size > INT_MAX)
        return false;
    SecretBytes<kAesKeySize> aes;
    if (!AesKey(key, aes.bytes))
        return false;
    uint8_t* nonce = out;
    uint8_t* body = out + kNonceSize;
    uint8_t* tag = body + size;
    if (RAND_bytes(nonce, kNonceSize) != 1)
        return false;
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int length = 0;
    bool ok = ctx && EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, aes.bytes, nonce) == 1 &&
              EVP_EncryptUpdate(ctx.get(), nullptr, &length, kAad, sizeof kAad) == 1 &&
              (size == 0 || EVP_EncryptUpdate(ctx.get(), body, &length, in, static_cast<int>(size)) == 1) &&
              EVP_EncryptFinal_ex(ctx.get(), body + size, &length) == 1 &&
              EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize), tag) == 1;
    if (!ok) {
        OPENSSL_cleanse(out, needed);
        return false;
    }
    if (written)
        *written = needed;
    return true;
}

bool PasswordUtil::Decipher(const uint8_t key[kKeySize], const uint8_t* in, size_t size,
                            uint8_t* out, size_t capacity, size_t* written) {
    if (written)
        *written = 0;
    auto fail = [&] {
        if (out && capacity)
            OPENSSL_cleanse(out, capacity);
        return false;
    };
    if (!key || !in || !out || size < kNonceSize + kTagSize || size > INT_MAX)
        return fail();
    size_t clearSize = size - kNonceSize - kTagSize;
    if (capacity < clearSize)
        return fail();
    SecretBytes<kAesKeySize> aes;
    if (!AesKey(key, aes.bytes))
        return fail();
    const uint8_t* nonce = in;
    const uint8_t* body = in + kNonceSize;
    uint8_t tag[kTagSize];
    memcpy(tag, body + clearSize, kTagSize);
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int length = 0;
    bool ok = ctx && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, aes.bytes, nonce) == 1 &&
              EVP_DecryptUpdate(ctx.get(), nullptr, &length, kAad, sizeof kAad) == 1 &&
              (clearSize == 0 ||
               EVP_DecryptUpdate(ctx.get(), out, &length, body, static_cast<int>(clearSize)) == 1) &&
              EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize), tag) == 1 &&
              EVP_DecryptFinal_ex(ctx.get(), out + clearSize, &length) == 1;
    if (!ok)
        return fail();
    if (written)
        *written = clearSize;
    return true;
}

}  // namespace hostkit

namespace Util {

IPasswordUtil* CreatePClassInstance() { return new (std::nothrow) hostkit::PasswordUtil(); }

void ReleasePClassInstance(IPasswordUtil* instance) { delete instance; }

}  // namespace Util
