#include "proxy/TesselProxyTester.h"

#include <cstring>
#include <mutex>
#include <optional>

#include "host/Util.h"
#include "kit/tessel_client/tessel_proxy_test.h"
#include "proxy/ProxyConfig.h"
#include "proxy/ProxyPassword.h"
#include "proxy/TesselProxyHelper.h"

using proxy_config::View;

namespace {

// The kit asks for the password through a function without context, so the
// password of the test in progress sits in one process-wide slot; tests run one
// at a time under g_testMutex. Every get hands out its own copy (the kit may
// apply the proxy more than once per test) and every release wipes only that
// copy; the slot itself is wiped when the test ends.
std::mutex g_testMutex;
std::mutex g_slotMutex;
char* g_passwordSlot = nullptr;

char* GetSlotPassword() {
    std::lock_guard<std::mutex> lock(g_slotMutex);
    if (!g_passwordSlot) return nullptr;
    const size_t size = std::strlen(g_passwordSlot) + 1;
    char* copy = static_cast<char*>(Util::SafeCalloc(size, 1));
    if (copy) std::memcpy(copy, g_passwordSlot, size);
    return copy;
}

void FillSlot(char* password) {
    std::lock_guard<std::mutex> lock(g_slotMutex);
    FreeProxyPasswordCopy(g_passwordSlot);
    g_passwordSlot = password;
}

std::optional<std::string> ReadTestUrl(IConfig* config) {
    auto url = config ? proxy_config::ReadString(config, View::Secure, proxy_config::kTestUrl) : std::nullopt;
    if (url && url->empty()) url.reset();
    return url;
}

}  // namespace

TesselProxyTester::TesselProxyTester(ITesselProxyHelper* helper, IHttpClientHandleSource* http)
    : m_helper(helper), m_http(http) {}

bool TesselProxyTester::TestProxy(const ProxyInfo& proxy, IConfig* config) {
    const auto testUrl = ReadTestUrl(config);
    if (!testUrl) {
        error("TesselProxyTester::TestProxy: testUrl is null.  Proxy tests not possible");
        return false;
    }
    ProxyInfo retried;
    bool usedRetry = false;
    return TestWithRetry(proxy, *testUrl, config, &retried, &usedRetry);
}

ProxyInfo* TesselProxyTester::FindFirstValidProxy(ProxyInfoList& proxies, IConfig* config) {
    const auto testUrl = ReadTestUrl(config);
    if (!testUrl) {
        error("TesselProxyTester::FindFirstValidProxy: testUrl is null.  Proxy tests not possible");
        return nullptr;
    }
    for (ProxyInfo& proxy : proxies) {
        if (ShuttingDown()) return nullptr;
        ProxyInfo retried;
        bool usedRetry = false;
        if (!TestWithRetry(proxy, *testUrl, config, &retried, &usedRetry)) continue;
        if (usedRetry) proxy = retried;
        return &proxy;
    }
    return nullptr;
}

bool TesselProxyTester::TestWithRetry(const ProxyInfo& proxy, const std::string& testUrl, IConfig* config,
                                      ProxyInfo* retried, bool* usedRetry) {
    *usedRetry = false;
    if (proxy.server.size() > kMaxServerLength) {
        error("TesselProxyTester::TestProxyInternal: Proxy server name is too long.  Maximum length is %u.",
              static_cast<unsigned>(kMaxServerLength));
        return false;
    }
    if (TestProxyInternal(proxy, testUrl) == 0) return true;
    if (ShuttingDown()) return false;

    // Policy's credentials go only to the proxies policy names: a proxy that a
    // PAC file, WPAD or the environment offered could be anyone's, and an
    // HTTP proxy asking for Basic would get them in clear.
    if (!proxy_config::MayReceivePolicyCredentials(config, proxy)) return false;
    const auto user = proxy_config::ReadStringW(config, View::Secure, proxy_config::kUserName);
    if (!user || user->empty()) return false;
    *retried = proxy;
    retried->user = *user;
    if (!LoadProxyPassword(config, &retried->password, View::Secure)) {
        trace(kTesselTraceCategory, "TesselProxyTester::TestProxyInternal: No password. Anonymous connection");
        retried->ClearPassword();
    }
    *usedRetry = TestProxyInternal(*retried, testUrl) == 0;
    return *usedRetry;
}

int TesselProxyTester::TestProxyInternal(const ProxyInfo& proxy, const std::string& testUrl) {
    std::lock_guard<std::mutex> lock(g_testMutex);
    tessel_proxy_t record;
    m_helper->ConvertProxyInfoToTesselProxyType(&record, proxy);
    record.get_password = nullptr;
    record.free_password = nullptr;
    if (!proxy.password.empty()) {
        FillSlot(Util::ConvertWCHARToString(proxy.password.c_str()));
        record.get_password = GetSlotPassword;
        record.free_password = FreeProxyPasswordCopy;
    }
    trace(kTesselTraceCategory, "TesselProxyTester::TestProxyInternal: Testing Proxy %s:%d for registration",
          record.server, record.port);

    int status = 8;
    if (http_client_handle* handle = m_http->GetHttpClientHandle()) {
        const http_client_abort abort{
            [](void* tester) { return static_cast<TesselProxyTester*>(tester)->ShuttingDown(); }, this};
        status = tessel_proxy_test_abortable(handle, testUrl.c_str(), &record, &abort);
        m_http->ReleaseHttpClientHandle(handle);
    }
    trace(kTesselTraceCategory, "TesselProxyTester::TestProxyInternal: Proxy Test Status: %d", status);
    FillSlot(nullptr);
    FreeTesselProxyType(&record);
    return status;
}
