#include "frame/HelperProxySource.h"

#include "proxy/TesselProxyHelper.h"

bool HelperProxySource::LoadTesselProxy(tessel_proxy_t* proxy, std::string* username) {
    ProxyInfo info;
    if (!m_helper->LoadProxyFromConfig(&info))
        return false;
    m_helper->ConvertProxyInfoToTesselProxyType(proxy, info);
    // The record's user name moves into the caller's string, which outlives the record's use.
    username->assign(proxy->username ? proxy->username : "");
    FreeTesselProxyType(proxy);
    proxy->username = username->empty() ? nullptr : username->data();
    return true;
}
