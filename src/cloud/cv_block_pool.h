// Blocks of one size kept for reuse, for the records every lookup makes and
// lets go: its request and its two tree nodes. They are made on the caller's
// thread and let go on the receive worker's, which malloc pays for with arena
// locks and cold cache lines on every lookup. A pool is used under the lock
// that guards its owner (the async mutex) and has none of its own.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

struct cv_block_pool {
    // At most this many free blocks are kept; beyond, they go back to malloc.
    static constexpr unsigned KEEP = 256;

    void* head = nullptr;  // free blocks, linked through their first word
    unsigned count = 0;
    size_t size = 0;       // the block size, set by the first take

    cv_block_pool() = default;
    cv_block_pool(const cv_block_pool&) = delete;
    cv_block_pool& operator=(const cv_block_pool&) = delete;
    ~cv_block_pool() { drain(); }

    // A block of `bytes`, or null when out of memory. Only blocks of the
    // pool's size are pooled; another size is a plain malloc.
    void* take(size_t bytes) {
        if (size == 0)
            size = bytes < sizeof(void*) ? sizeof(void*) : bytes;
        if (bytes > size || !head)
            return malloc(bytes > size ? bytes : size);
        void* block = head;
        head = *static_cast<void**>(block);
        count--;
        return block;
    }
    // Gives back a block taken with `bytes`.
    void give(void* block, size_t bytes) {
        if (!block)
            return;
        if (bytes > size || count >= KEEP) {
            free(block);
            return;
        }
        *static_cast<void**>(block) = head;
        head = block;
        count++;
    }
    void drain() {
        while (head) {
            void* next = *static_cast<void**>(head);
            free(head);
            head = next;
        }
        count = 0;
    }
};

// The allocator of a standard container whose nodes come from a pool.
template <class T>
struct cv_pool_allocator {
    using value_type = T;
    cv_block_pool* pool;

    explicit cv_pool_allocator(cv_block_pool* p) noexcept : pool(p) {}
    template <class U>
    cv_pool_allocator(const cv_pool_allocator<U>& other) noexcept : pool(other.pool) {}

    T* allocate(size_t n) {
        void* block = pool->take(n * sizeof(T));
        if (!block)
            throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* p, size_t n) noexcept { pool->give(p, n * sizeof(T)); }

    template <class U>
    bool operator==(const cv_pool_allocator<U>& other) const noexcept {
        return pool == other.pool;
    }
    template <class U>
    bool operator!=(const cv_pool_allocator<U>& other) const noexcept {
        return pool != other.pool;
    }
};
