// A stored, enciphered proxy password read back from the configuration: the
// stored bytes may have been altered. Nothing but a value made with the key
// may decipher, and whatever is enciphered must come back unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "password_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096)
        return 0;
    static hostkit::PasswordUtil util;
    static uint8_t key[IPasswordUtil::kKeySize];
    static bool once = [] {
        uint8_t seed[IPasswordUtil::kSeedSize] = {1};
        uint8_t initial[IPasswordUtil::kKeySize] = {2};
        return util.PrepareKey(seed, initial, key);
    }();
    if (!once)
        abort();

    std::vector<uint8_t> out(1023, 0xAA);
    size_t written = 1;
    if (util.Decipher(key, data, size, out.data(), out.size(), &written))
        abort();  // forging a tag is not something a fuzzer does
    for (uint8_t b : out)
        if (b != 0 || written != 0)
            abort();

    std::vector<uint8_t> cipher(util.CipherSize(size));
    if (!util.Encipher(key, data, size, cipher.data(), cipher.size(), &written) || written != cipher.size())
        abort();
    std::vector<uint8_t> clear(size + 1);
    if (!util.Decipher(key, cipher.data(), cipher.size(), clear.data(), clear.size(), &written) ||
        written != size || (size && memcmp(clear.data(), data, size) != 0))
        abort();
    return 0;
}
