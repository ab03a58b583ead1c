// Proxy passwords fetched through a proxy record's getter are wiped and
// released after each use, whether or not the record names a release function.
#include "kit/util/proxy_password.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Large enough that a leaked copy shows in the allocator's figures.
constexpr size_t kPasswordSize = 1u << 20;

int g_fetched = 0;
int g_released = 0;
bool g_wiped_before_release = false;

char* BigPassword() {
    ++g_fetched;
    char* text = static_cast<char*>(malloc(kPasswordSize + 1));
    memset(text, 'p', kPasswordSize);
    text[kPasswordSize] = '\0';
    return text;
}

void CountingRelease(char* password) {
    ++g_released;
    g_wiped_before_release = password[0] != 'p';
    free(password);
}

size_t HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// One proxied request to a port nothing listens on: the password is fetched
// and applied, the connection refused.
void SendThroughProxy(tessel_proxy_free_password_fn release) {
    http_client_identity none{};
    http_client_handle* handle = http_client_handle_new("ua", nullptr, nullptr, &none);
    ASSERT_NE(handle, nullptr);
    tessel_proxy_t proxy{};
    proxy.type = TESSEL_PROXY_HTTP;
    snprintf(proxy.server, sizeof proxy.server, "127.0.0.1");
    proxy.port = 1;
    proxy.auth = TESSEL_PROXY_AUTH_BASIC;
    char user[] = "proxyuser";
    proxy.username = user;
    proxy.get_password = BigPassword;
    proxy.free_password = release;
    ASSERT_EQ(http_client_handle_set_proxy(handle, &proxy), 0);
    http_client_header_list no_headers{nullptr, 0};
    http_client_request_t* req = http_client_request_new(handle, &no_headers);
    ASSERT_NE(req, nullptr);
    http_client_response_free(http_client_send_request(req, "http://127.0.0.1:1/", "GET", nullptr, 0));
    http_client_request_free(req);
    http_client_handle_free(handle);
}

TEST(ProxyPassword, AGetterWithoutReleaseFunctionHasItsCopyWipedAndFreed) {
    SendThroughProxy(nullptr);  // libcurl's one-off set-up stays out of the figures
    struct Row {
        const char* name;
        tessel_proxy_free_password_fn release;
        int released;
    } const rows[] = {
        {"with release function", CountingRelease, 1},
        {"without release function", nullptr, 0},
    };
    for (const Row& row : rows) {
        g_fetched = g_released = 0;
        g_wiped_before_release = false;
        const size_t before = HeapInUse();
        SendThroughProxy(row.release);
        const size_t after = HeapInUse();
        EXPECT_GE(g_fetched, 1) << row.name;
        EXPECT_EQ(g_released, row.released * g_fetched) << row.name;
        if (row.released) {
            EXPECT_TRUE(g_wiped_before_release) << row.name;
        }
        EXPECT_LT(after, before + kPasswordSize / 2) << row.name << ": the password leaked";
    }
    tessel_proxy_password_release(nullptr, nullptr);  // nothing to release
}

}  // namespace
