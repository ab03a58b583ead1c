// The EST client's TCP connection: direct, or through an HTTP or SOCKS proxy
// with libcurl in connect-only mode, after which the raw socket carries TLS.
#pragma once

#include <curl/curl.h>
#include <poll.h>

#include <cstdint>

struct tcw_connection {
    CURL* curl;          // null for a direct connection
    int32_t proxy_proto;  // -1 = direct
    int sock;            // -1 when closed
};

struct tcw_proxy_params {
    int proxy_proto;  // -1 when the context has no proxy
    const char* proxy_server;
    unsigned short proxy_port;
    unsigned int proxy_auth;  // basic (1) and/or NTLM (8)
    const char* user;         // null unless user and password are both set
    const char* password;
};

enum tcw_err {
    TCW_OK = 0,
    TCW_ERR_ALLOC = 2,
    TCW_ERR_RESOLVE = 3,
    TCW_ERR_CONNECT = 5,
    TCW_ERR_SOCKET = 6,
    TCW_ERR_CLOSE = 7,
    TCW_ERR_ARG = 8,
};

// Asked while the client waits on the server; true gives the transfer up.
typedef bool (*est_abort_fn)(void* arg);
struct est_abort {
    est_abort_fn fn;  // null: never given up
    void* arg;
};

// Label of a proxy protocol as written in logs ("NONE" for unknown values).
const char* tcw_proxy_label(int proxy_proto);
// `abort` (may be null) ends a connection through a proxy that stalls.
int tcw_connect(tcw_connection* conn, const tcw_proxy_params* proxy, const char* host,
                unsigned short port, int* sock, const est_abort* abort);
int tcw_close(tcw_connection* conn);
// Socket readiness with poll(2) semantics; a negative time-out waits without limit.
int est_poll(struct pollfd* fds, nfds_t nfds, int timeout_ms);

enum est_wait_result {
    EST_WAIT_ABORTED = -2,
    EST_WAIT_FAILED = -1,
    EST_WAIT_TIMEOUT = 0,
    EST_WAIT_READY = 1,
};
// Waits up to timeout_ms for `events` on `sock`, asking `abort` (may be null)
// at least every 100 ms, so that a stop needs no time-out to end a wait.
int est_wait(int sock, short events, int timeout_ms, const est_abort* abort);
