#include "platform/secret_memory.h"

#include <openssl/crypto.h>
#include <sys/mman.h>
#include <unistd.h>

#include <bitset>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace platform {
namespace {

constexpr size_t kSlot = 64;
constexpr size_t kChunkSize = 64 * 1024;
constexpr size_t kSlots = kChunkSize / kSlot;
// Larger blocks get pages of their own rather than crowd out small ones.
constexpr size_t kLargest = kChunkSize / 4;
constexpr uint32_t kMagic = 0x5ec7e7ad;

// In front of every block; wiped with it.
struct alignas(16) Header {
    uint32_t magic;
    uint32_t slots;  // 0: the block has a mapping of its own
    size_t mapped;   // that mapping's length
};
static_assert(sizeof(Header) == 16);

struct Chunk {
    unsigned char* base;
    std::bitset<kSlots> used;
};

struct Arena {
    std::mutex mutex;
    std::vector<Chunk> chunks;
};

// Never destroyed: a secret freed by a static destructor still finds it.
Arena& TheArena() {
    static auto* arena = new Arena;
    return *arena;
}

void* MapPages(size_t bytes) {
    void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED)
        return nullptr;
    // A kernel that refuses still gives usable memory; the wipe on free stands.
    madvise(pages, bytes, MADV_DONTDUMP);
    return pages;
}

void UnmapPages(void* pages, size_t bytes) {
    OPENSSL_cleanse(pages, bytes);
    munmap(pages, bytes);
}

// The first run of `count` free slots, or kSlots.
size_t FindRun(const Chunk& chunk, size_t count) {
    size_t run = 0;
    for (size_t i = 0; i < kSlots; ++i) {
        run = chunk.used[i] ? 0 : run + 1;
        if (run == count)
            return i + 1 - count;
    }
    return kSlots;
}

Header* TakeSlots(size_t count) {
    Arena& arena = TheArena();
    std::lock_guard<std::mutex> lock(arena.mutex);
    std::vector<Chunk>& chunks = arena.chunks;
    Chunk* chosen = nullptr;
    size_t first = kSlots;
    for (Chunk& chunk : chunks) {
        first = FindRun(chunk, count);
        if (first < kSlots) {
            chosen = &chunk;
            break;
        }
    }
    if (!chosen) {
        auto* base = static_cast<unsigned char*>(MapPages(kChunkSize));
        if (!base)
            return nullptr;
        chunks.push_back(Chunk{base, {}});
        chosen = &chunks.back();
        first = 0;
    }
    for (size_t i = first; i < first + count; ++i)
        chosen->used.set(i);
    auto* header = reinterpret_cast<Header*>(chosen->base + first * kSlot);
    header->magic = kMagic;
    header->slots = static_cast<uint32_t>(count);
    header->mapped = 0;
    return header;
}

void GiveSlots(Header* header) {
    const size_t bytes = header->slots * kSlot;
    Arena& arena = TheArena();
    std::lock_guard<std::mutex> lock(arena.mutex);
    std::vector<Chunk>& chunks = arena.chunks;
    auto* at = reinterpret_cast<unsigned char*>(header);
    for (auto chunk = chunks.begin(); chunk != chunks.end(); ++chunk) {
        if (at < chunk->base || at >= chunk->base + kChunkSize)
            continue;
        const size_t first = static_cast<size_t>(at - chunk->base) / kSlot;
        OPENSSL_cleanse(at, bytes);
        for (size_t i = first; i < first + bytes / kSlot; ++i)
            chunk->used.reset(i);
        if (chunk->used.none()) {
            UnmapPages(chunk->base, kChunkSize);
            chunks.erase(chunk);
        }
        return;
    }
    abort();  // not one of ours: freeing it would corrupt something else
}

}  // namespace

void* SecretAlloc(size_t size) {
    if (size > SIZE_MAX / 2)
        return nullptr;
    const size_t needed = sizeof(Header) + size;
    Header* header;
    if (needed > kLargest) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const size_t mapped = (needed + page - 1) / page * page;
        header = static_cast<Header*>(MapPages(mapped));
        if (!header)
            return nullptr;
        header->magic = kMagic;
        header->slots = 0;
        header->mapped = mapped;
    } else {
        header = TakeSlots((needed + kSlot - 1) / kSlot);
        if (!header)
            return nullptr;
    }
    // Fresh pages are zero and freed slots were wiped: the block starts zeroed.
    return header + 1;
}

void SecretFree(void* block) {
    if (!block)
        return;
    Header* header = static_cast<Header*>(block) - 1;
    if (header->magic != kMagic)
        abort();
    if (header->slots == 0)
        UnmapPages(header, header->mapped);
    else
        GiveSlots(header);
}

}  // namespace platform
