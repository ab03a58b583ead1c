#include "kit/registration_manager/registration_hook_gate.h"

#include <pthread.h>

#include <cstdint>
#include <new>
#include <unordered_map>

#include "kit/tessel_logger.h"
#include "kit/tessel_sync.h"

namespace {

struct gate_entry {
    tessel_registration_handle* handle;
    uint32_t active;  // hooks running on the handle
    bool closing;
};

// Tokens are serial numbers, never reused, so a stale token cannot reach a
// handle allocated later at the same address.
pthread_mutex_t g_gate_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_gate_idle = PTHREAD_COND_INITIALIZER;  // an entry's last hook left
uint64_t g_next_token = 1;
std::unordered_map<uint64_t, gate_entry>* g_gates = nullptr;

uint64_t token_number(void* token) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(token));
}

}  // namespace

void* registration_hook_gate_open(tessel_registration_handle* handle) {
    TESSEL_SCOPED_LOCK(&g_gate_mutex);
    if (!g_gates) {
        g_gates = new (std::nothrow) std::unordered_map<uint64_t, gate_entry>();
        if (!g_gates) {
            TLOG_ERR("failed to allocate the hook gates");
            return nullptr;
        }
    }
    const uint64_t token = g_next_token++;
    try {
        g_gates->emplace(token, gate_entry {handle, 0, false});
    } catch (const std::bad_alloc&) {
        TLOG_ERR("failed to allocate a hook gate");
        return nullptr;
    }
    return reinterpret_cast<void*>(static_cast<uintptr_t>(token));
}

void registration_hook_gate_close(void* token) {
    if (!token) return;
    TESSEL_SCOPED_LOCK(&g_gate_mutex);
    if (!g_gates) return;
    auto it = g_gates->find(token_number(token));
    if (it == g_gates->end()) return;
    // A reference, not the iterator: a gate opened meanwhile may rehash.
    gate_entry& entry = it->second;
    entry.closing = true;
    while (entry.active > 0) tessel_cond_wait(&g_gate_idle, &g_gate_mutex);
    g_gates->erase(token_number(token));
}

tessel_registration_handle* registration_hook_enter(void* token) {
    TESSEL_SCOPED_LOCK(&g_gate_mutex);
    if (!g_gates) return nullptr;
    auto it = g_gates->find(token_number(token));
    if (it == g_gates->end() || it->second.closing) return nullptr;
    it->second.active++;
    return it->second.handle;
}

void registration_hook_leave(void* token) {
    TESSEL_SCOPED_LOCK(&g_gate_mutex);
    if (!g_gates) return;
    auto it = g_gates->find(token_number(token));
    if (it == g_gates->end() || it->second.active == 0) return;
    if (--it->second.active == 0 && it->second.closing) tessel_cond_broadcast(&g_gate_idle);
}
