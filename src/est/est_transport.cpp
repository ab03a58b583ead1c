#include "est/est_transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "est/est.h"
#include "platform/failure_cause.h"

const char* tcw_proxy_label(int proxy_proto)
{
    switch (proxy_proto) {
    case EST_CLIENT_PROXY_HTTP_NOTUNNEL: return "HTTP (no tunneling)";
    case EST_CLIENT_PROXY_HTTP_TUNNEL: return "HTTP (tunneling)";
    case EST_CLIENT_PROXY_SOCKS4: return "SOCKS4";
    case EST_CLIENT_PROXY_SOCKS5: return "SOCKS5";
    case EST_CLIENT_PROXY_SOCKS4A: return "SOCKS4A";
    case EST_CLIENT_PROXY_SOCKS5_HOSTNAME: return "SOCKS5_HOSTNAME";
    default: return "NONE";
    }
}

static long tcw_curl_proxy_type(int proxy_proto)
{
    switch (proxy_proto) {
    case EST_CLIENT_PROXY_HTTP_NOTUNNEL:
    case EST_CLIENT_PROXY_HTTP_TUNNEL: return CURLPROXY_HTTP;
    case EST_CLIENT_PROXY_SOCKS4: return CURLPROXY_SOCKS4;
    case EST_CLIENT_PROXY_SOCKS5: return CURLPROXY_SOCKS5;
    case EST_CLIENT_PROXY_SOCKS4A: return CURLPROXY_SOCKS4A;
    case EST_CLIENT_PROXY_SOCKS5_HOSTNAME: return CURLPROXY_SOCKS5_HOSTNAME;
    default: return -1;  // refused by libcurl, so the connection fails
    }
}

int est_poll(struct pollfd* fds, nfds_t nfds, int timeout_ms)
{
    if (!fds) {
        errno = EFAULT;
        return -1;
    }
    return poll(fds, nfds, timeout_ms);
}

int est_wait(int sock, short events, int timeout_ms, const est_abort* abort)
{
    constexpr int slice_ms = 100;
    for (int left = timeout_ms;;) {
        if (abort && abort->fn && abort->fn(abort->arg)) {
            EST_LOG_WARN("Transfer given up on request.");
            return EST_WAIT_ABORTED;
        }
        if (left <= 0) {
            return EST_WAIT_TIMEOUT;
        }
        const int step = left < slice_ms ? left : slice_ms;
        pollfd pfd {sock, events, 0};
        int rc = est_poll(&pfd, 1, step);
        if (rc > 0) {
            return EST_WAIT_READY;
        }
        if (rc < 0 && errno != EINTR) {
            return EST_WAIT_FAILED;
        }
        left -= step;
    }
}

static int tcw_direct_connect(tcw_connection* conn, const char* host, unsigned short port)
{
    char port_text[8];
    snprintf(port_text, sizeof port_text, "%hu", port);
    EST_LOG_INFO("getaddrinfo(%s, %s)", host, port_text);

    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(host, port_text, &hints, &res);
    if (rc != 0) {
        EST_LOG_ERR("getaddrinfo returned %d: %s", rc, gai_strerror(rc));
        return TCW_ERR_RESOLVE;
    }
    int result = TCW_ERR_CONNECT;
    for (addrinfo* ai = res; ai; ai = ai->ai_next) {
        int s = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (s < 0) {
            continue;
        }
        if (ai->ai_family == AF_INET || ai->ai_family == AF_INET6) {
            char addr[INET6_ADDRSTRLEN] = "";
            const void* a = ai->ai_family == AF_INET
                                ? (const void*)&((sockaddr_in*)ai->ai_addr)->sin_addr
                                : (const void*)&((sockaddr_in6*)ai->ai_addr)->sin6_addr;
            inet_ntop(ai->ai_family, a, addr, sizeof addr);
            EST_LOG_INFO("connect(%s port %hu)", addr, port);
        }
        if (connect(s, ai->ai_addr, ai->ai_addrlen) == 0) {
            conn->sock = s;
            result = TCW_OK;
            break;
        }
        int err = errno;
        EST_LOG_WARN("connect failed: %d", err);
        close(s);
        errno = err;
    }
    freeaddrinfo(res);
    return result;
}

static int tcw_set_blocking(int sock)
{
    int flags = fcntl(sock, F_GETFL, 0);
    if (flags < 0 || fcntl(sock, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        return -1;
    }
    return 0;
}

#define TCW_SETOPT(opt, val)                                                                       \
    do {                                                                                           \
        CURLcode cc_ = curl_easy_setopt(curl, opt, val);                                           \
        if (cc_ != CURLE_OK) {                                                                     \
            EST_LOG_ERR("curl_easy_setopt(" #opt ") returned %d: %s", (int)cc_,                    \
                        curl_easy_strerror(cc_));                                                  \
            result = TCW_ERR_ARG;                                                                  \
            goto fail;                                                                             \
        }                                                                                          \
    } while (0)

// libcurl's progress function of a proxied connect: the abort check.
static int tcw_curl_progress(void* data, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    const est_abort* abort = (const est_abort*)data;
    if (abort->fn(abort->arg)) {
        EST_LOG_WARN("Proxy connection given up on request.");
        return 1;
    }
    return 0;
}

static int tcw_curl_connect(tcw_connection* conn, const tcw_proxy_params* proxy, const char* host,
                            unsigned short port, const est_abort* abort)
{
    int result = TCW_ERR_ARG;
    char* url = nullptr;
    size_t url_size = strlen(host) + 16;
    curl_socket_t sock = CURL_SOCKET_BAD;
    CURLcode cc;

    CURL* curl = curl_easy_init();
    if (!curl) {
        EST_LOG_ERR("curl_easy_init failed");
        return TCW_ERR_ALLOC;
    }
    TCW_SETOPT(CURLOPT_CONNECT_ONLY, 1L);
    url = (char*)calloc(1, url_size);
    if (!url) {
        EST_LOG_ERR("calloc failed");
        result = TCW_ERR_ALLOC;
        goto fail;
    }
    snprintf(url, url_size, "http://%s:%hu", host, port);
    TCW_SETOPT(CURLOPT_URL, url);
    TCW_SETOPT(CURLOPT_PROXY, proxy->proxy_server);
    // The chosen proxy is used whatever no_proxy says.
    TCW_SETOPT(CURLOPT_NOPROXY, "");
    TCW_SETOPT(CURLOPT_PROXYPORT, (long)proxy->proxy_port);
    TCW_SETOPT(CURLOPT_PROXYTYPE, tcw_curl_proxy_type(proxy->proxy_proto));
    if (proxy->proxy_proto == EST_CLIENT_PROXY_HTTP_TUNNEL) {
        TCW_SETOPT(CURLOPT_HTTPPROXYTUNNEL, 1L);
    }
    TCW_SETOPT(CURLOPT_PROXYAUTH, (long)CURLAUTH_BASIC);
    if (proxy->user && proxy->password) {
        TCW_SETOPT(CURLOPT_PROXYUSERNAME, proxy->user);
        TCW_SETOPT(CURLOPT_PROXYPASSWORD, proxy->password);
        unsigned long auth = proxy->proxy_auth & (CURLAUTH_BASIC | CURLAUTH_NTLM);
        if (auth) {
            TCW_SETOPT(CURLOPT_PROXYAUTH, (long)auth);
        }
    }
    TCW_SETOPT(CURLOPT_NOSIGNAL, 1L);
    if (abort && abort->fn) {
        TCW_SETOPT(CURLOPT_XFERINFOFUNCTION, tcw_curl_progress);
        TCW_SETOPT(CURLOPT_XFERINFODATA, (void*)abort);
        TCW_SETOPT(CURLOPT_NOPROGRESS, 0L);
    }

    EST_LOG_INFO("curl_easy_perform(%s), proxy type %s", url, tcw_proxy_label(proxy->proxy_proto));
    cc = curl_easy_perform(curl);
    if (cc != CURLE_OK) {
        EST_LOG_ERR("curl_easy_perform(%s) returned %d: %s", url, (int)cc, curl_easy_strerror(cc));
        EST_LOG_ERR("%s%s", platform::kCauseMarker,
                    platform::CauseWithPeer(platform::TransferCause(cc, 0, 0, true), host, port).c_str());
        if (cc == CURLE_COULDNT_RESOLVE_PROXY || cc == CURLE_COULDNT_RESOLVE_HOST) {
            result = TCW_ERR_RESOLVE;
            errno = EHOSTUNREACH;
        } else {
            result = TCW_ERR_CONNECT;
            errno = ECONNREFUSED;
        }
        goto fail;
    }
    // The active socket rather than the last one: the latter is truncated where
    // sockets are wider than long.
    cc = curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &sock);
    if (cc != CURLE_OK) {
        EST_LOG_ERR("curl_easy_getinfo(CURLINFO_ACTIVESOCKET) returned %d: %s", (int)cc,
                    curl_easy_strerror(cc));
        goto fail;
    }
    if (sock == CURL_SOCKET_BAD) {
        EST_LOG_ERR("CURLINFO_ACTIVESOCKET: invalid socket");
        goto fail;
    }
    if (tcw_set_blocking(sock) != 0) {
        EST_LOG_ERR("Failed to set socket to blocking");
        result = TCW_ERR_SOCKET;
        goto fail;
    }
    free(url);
    conn->curl = curl;
    conn->sock = sock;
    return TCW_OK;

fail: {
    int err = errno;
    free(url);
    curl_easy_cleanup(curl);
    conn->curl = nullptr;
    conn->sock = -1;
    errno = err;
    return result;
}
}

int tcw_connect(tcw_connection* conn, const tcw_proxy_params* proxy, const char* host,
                unsigned short port, int* sock, const est_abort* abort)
{
    if (!conn || !host || !sock) {
        return TCW_ERR_ARG;
    }
    conn->curl = nullptr;
    conn->sock = -1;
    conn->proxy_proto = proxy ? proxy->proxy_proto : -1;
    *sock = -1;
    int rc;
    if (conn->proxy_proto == -1) {
        rc = tcw_direct_connect(conn, host, port);
    } else {
        if (!proxy->proxy_server) {
            return TCW_ERR_ARG;
        }
        rc = tcw_curl_connect(conn, proxy, host, port, abort);
    }
    if (rc == TCW_OK) {
        EST_LOG_INFO("Successfully connected to %s:%hu", host, port);
        *sock = conn->sock;
    }
    return rc;
}

int tcw_close(tcw_connection* conn)
{
    if (!conn) {
        return TCW_ERR_ARG;
    }
    int rc = TCW_OK;
    if (conn->curl) {
        // Cleaning up the easy handle closes its socket.
        curl_easy_cleanup(conn->curl);
        conn->curl = nullptr;
    } else if (conn->sock >= 0) {
        if (close(conn->sock) != 0) {
            EST_LOG_ERR("close failed: %d", errno);
            rc = TCW_ERR_CLOSE;
        }
    }
    conn->sock = -1;
    return rc;
}
