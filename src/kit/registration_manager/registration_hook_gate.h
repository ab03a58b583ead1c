// The way the cloud client's hooks reach a registration handle. A cloud
// handle can outlive the registration handle it was made for (a replaced
// connection retires on a thread of its own), so the hooks are given a gate
// token, never the handle's address: once the handle's free has begun the
// token leads nowhere, and the free waits for the hooks already inside.
#pragma once

struct tessel_registration_handle;

// Opens a gate for `handle`; the token is what the cloud client passes back to
// the hooks. Null on failure (logged).
void* registration_hook_gate_open(tessel_registration_handle* handle);
// Closes the gate of `token` (null is ignored) and waits until no hook runs on
// its handle. Called without any of the handle's locks: hooks take them.
void registration_hook_gate_close(void* token);

// The handle behind `token` for one hook call, or null once the gate is
// closed. A non-null result must be given back with registration_hook_leave.
tessel_registration_handle* registration_hook_enter(void* token);
void registration_hook_leave(void* token);

// One hook call's pass through the gate: handle() is null when it is closed.
class registration_hook_pass {
public:
    explicit registration_hook_pass(void* token) : token_(token), handle_(registration_hook_enter(token)) {}
    ~registration_hook_pass() {
        if (handle_) registration_hook_leave(token_);
    }
    registration_hook_pass(const registration_hook_pass&) = delete;
    registration_hook_pass& operator=(const registration_hook_pass&) = delete;
    tessel_registration_handle* handle() const { return handle_; }

private:
    void* token_;
    tessel_registration_handle* handle_;
};
