// Memory for the library's own copies of secrets (the client key's text, the
// activation code): left out of core files where the kernel allows
// (MADV_DONTDUMP) and wiped before it is given back. Small blocks share pages,
// so many short secrets do not each cost a page. OpenSSL's and libcurl's own
// heaps are not affected: what they copy stays theirs.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

namespace platform {

// A zeroed block of `size` bytes, aligned for any ordinary object; null when
// no memory could be mapped.
void* SecretAlloc(size_t size);

// Wipes the block and gives it back; pages no block uses any more are
// unmapped. Null is ignored.
void SecretFree(void* block);

struct SecretFreer {
    void operator()(void* block) const { SecretFree(block); }
};

// A secret text buffer; null when none could be had.
using SecretText = std::unique_ptr<char[], SecretFreer>;
inline SecretText MakeSecretText(size_t size) { return SecretText(static_cast<char*>(SecretAlloc(size))); }

template <class T>
struct SecretObjectFreer {
    void operator()(T* object) const {
        object->~T();
        SecretFree(object);
    }
};

// A value-initialised T in secret memory; null when none could be had.
template <class T>
using SecretPtr = std::unique_ptr<T, SecretObjectFreer<T>>;
template <class T>
SecretPtr<T> MakeSecret() {
    static_assert(alignof(T) <= 16, "secret blocks are 16-byte aligned");
    void* block = SecretAlloc(sizeof(T));
    return SecretPtr<T>(block ? new (block) T{} : nullptr);
}

}  // namespace platform
