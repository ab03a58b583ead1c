// The HTTP facade's proxy from the proxy helper: the proxy stored at the
// moment of the request, as the kit's record.
#pragma once

#include "http/TesselHttp.h"

class ITesselProxyHelper;

class HelperProxySource : public IHttpProxySource {
public:
    explicit HelperProxySource(ITesselProxyHelper* helper) : m_helper(helper) {}  // not owned

    bool LoadTesselProxy(tessel_proxy_t* proxy, std::string* username) override;

private:
    ITesselProxyHelper* m_helper;
};
