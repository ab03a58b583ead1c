// The proxy tester's kit handles come from the HTTP facade, so a test goes out
// with the agent's identity and User-Agent.
#pragma once

#include "dtk/IHttp.h"
#include "proxy/TesselProxyTester.h"

class HttpHandleSource : public IHttpClientHandleSource {
public:
    explicit HttpHandleSource(ITesselHttp* http) : m_http(http) {}  // not owned

    http_client_handle* GetHttpClientHandle() override { return m_http->GetHttpClientHandle(); }
    void ReleaseHttpClientHandle(http_client_handle* handle) override { m_http->ReleaseHttpClientHandle(handle); }

private:
    ITesselHttp* m_http;
};
