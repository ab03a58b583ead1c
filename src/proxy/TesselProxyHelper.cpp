#include "proxy/TesselProxyHelper.h"

#include <atomic>
#include <cstring>
#include <utility>

#include "host/IConfig.h"
#include "host/Util.h"
#include "host/WinApi.h"
#include "proxy/ProxyConfig.h"
#include "proxy/ProxyPassword.h"

using proxy_config::View;

namespace {

// The kit asks for the password without any context, so the getter finds the
// configuration here: the newest helper's, else the process's.
std::atomic<IConfig*> g_passwordConfig{nullptr};

char* _getProxyPassword() {
    IConfig* config = g_passwordConfig.load();
    if (!config) config = GetGlobalConfig();
    std::wstring password;
    if (!LoadProxyPassword(config, &password, View::Local)) {
        error("_getProxyPassword: LoadProxyPassword failed");
        return nullptr;
    }
    char* copy = password.empty() ? nullptr : Util::ConvertWCHARToString(password.c_str());
    ProxyInfo::Wipe(&password);
    return copy;
}

struct ProtocolName {
    const wchar_t* name;
    int32_t type;
};
constexpr ProtocolName kProtocols[] = {
    {L"http_proxy", TESSEL_PROXY_HTTP},     {L"https", TESSEL_PROXY_HTTPS},
    {L"socks4", TESSEL_PROXY_SOCKS4},       {L"socks5", TESSEL_PROXY_SOCKS5},
    {L"socks4a", TESSEL_PROXY_SOCKS4A},     {L"socks5_hostname", TESSEL_PROXY_SOCKS5_HOSTNAME},
};

}  // namespace

int32_t ConvertProtcolStringToEnum(const std::wstring& type) {
    for (const auto& protocol : kProtocols)
        if (type == protocol.name) return protocol.type;
    // An empty type is the direct connection, which every command without a
    // proxy converts: only an unknown name is a fault.
    if (type.empty())
        trace(kTesselTraceCategory, "ConvertProtcolStringToEnum: Conversion to proxy proto enum failed");
    else
        error("ConvertProtcolStringToEnum: Conversion to proxy proto enum failed");
    return TESSEL_PROXY_NONE;
}

const std::wstring& EffectiveProxyType(const ProxyInfo& info) {
    return info.type.empty() ? info.listProtocol : info.type;
}

void FreeProxyPasswordCopy(char* password) {
    if (!password) return;
    Util::ClearString(password);
    Util::FreeMem(password);
}

void FreeTesselProxyType(tessel_proxy_t* proxy) {
    if (!proxy) return;
    Util::FreeMem(proxy->username);
    proxy->username = nullptr;
}

TesselProxyHelper::TesselProxyHelper(IConfig* config) : m_config(config), m_stringUtils(CreateStringUtils()) {
    g_passwordConfig.store(config);
}

TesselProxyHelper::~TesselProxyHelper() {
    IConfig* expected = m_config;
    g_passwordConfig.compare_exchange_strong(expected, nullptr);
    if (m_stringUtils) ReleaseStringUtils(m_stringUtils);
}

void TesselProxyHelper::ConvertProxyInfoToTesselProxyType(tessel_proxy_t* proxy, const ProxyInfo& info) {
    std::memset(proxy, 0, sizeof *proxy);
    proxy->type = ConvertProtcolStringToEnum(EffectiveProxyType(info));
    proxy->port = info.port;
    proxy->auth = static_cast<uint32_t>(info.authType);
    char* server = m_stringUtils ? m_stringUtils->ToNarrow(info.server.c_str()) : nullptr;
    if (server) {
        std::strncpy(proxy->server, server, sizeof proxy->server - 1);
        m_stringUtils->FreeString(server);
    }
    if (!info.user.empty()) proxy->username = Util::ConvertWCHARToString(info.user.c_str());
    if (!info.password.empty()) {
        proxy->get_password = _getProxyPassword;
        proxy->free_password = FreeProxyPasswordCopy;
    }
    proxy->allow_toggle = 0;
    trace(kTesselTraceCategory, "TesselProxyHelper::ConvertProxyInfoToTesselProxyType tessel_proxy_t: server=%s, port=%d, user=%s",
          proxy->server, proxy->port, proxy->username ? proxy->username : "");
}

bool TesselProxyHelper::DeleteConfigProxyInfo() {
    const bool deleted = m_config->DeleteSubtree(proxy_config::kRoot);
    trace(kTesselTraceCategory, "TesselProxyHelper::DeleteConfigProxyInfo deleted proxy settings. result: %s",
          deleted ? "success" : "failed");
    return deleted;
}

bool TesselProxyHelper::SaveProxyToConfig(const ProxyInfo& info) {
    std::lock_guard<std::mutex> lock(m_saveMutex);
    trace(kTesselTraceCategory, "TesselProxyHelper::SaveProxyToConfig: Enter");
    struct Save {
        TesselProxyHelper* helper;
        const ProxyInfo* info;
        bool ran;
        bool written;
    } save{this, &info, false, false};
    const bool saved = m_config->RunTransaction(
        [](void* context) {
            auto* save = static_cast<Save*>(context);
            save->ran = true;
            return save->written = save->helper->WriteProxy(*save->info);
        },
        &save);
    // A value that failed was logged by WriteProxy; this is the store refusing
    // the transaction itself.
    if (!saved && (!save.ran || save.written))
        error("TesselProxyHelper::SaveProxyToConfig error: the store did not keep the proxy");
    return saved;
}

bool TesselProxyHelper::WriteProxy(const ProxyInfo& info) {
    DeleteConfigProxyInfo();

    const char* failed = nullptr;
    if (!proxy_config::WriteStringW(m_config, proxy_config::kType, EffectiveProxyType(info).c_str()))
        failed = "type";
    else if (info.port != 0 && !proxy_config::WriteInt(m_config, proxy_config::kPort, info.port))
        failed = "port";
    else if (info.tunnel != -1 && !proxy_config::WriteInt(m_config, proxy_config::kTunnel, info.tunnel))
        failed = "tunnel";
    else if (info.authType != 0 && !proxy_config::WriteInt(m_config, proxy_config::kAuthType, info.authType))
        failed = "authType";
    else if (info.discoveryMode != ProxyInfo::kUnset &&
             !proxy_config::WriteInt(m_config, proxy_config::kDiscMode, info.discoveryMode))
        failed = "discMode";
    else if (!proxy_config::WriteStringW(m_config, proxy_config::kServer, info.server.c_str()))
        failed = "server";
    else if (!info.user.empty() && !proxy_config::WriteStringW(m_config, proxy_config::kUserName, info.user.c_str()))
        failed = "user";
    else if (!info.password.empty()) {
        char* password = Util::ConvertWCHARToString(info.password.c_str());
        if (!password || !StoreProxyPassword(m_config, password)) failed = "pwd";
        FreeProxyPasswordCopy(password);
    }
    if (failed) {
        error("TesselProxyHelper::SaveProxyToConfig error: %s is not valid", failed);
        return false;
    }
    return true;
}

bool TesselProxyHelper::LoadProxyFromConfig(ProxyInfo* info) {
    trace(kTesselTraceCategory, "TesselProxyHelper::LoadProxyFromConfig: Enter");
    info->Reset();
    const int32_t mode = proxy_config::ReadInt(m_config, View::Local, proxy_config::kDiscMode);
    if (mode == -1) {
        trace(kTesselTraceCategory, "TesselProxyHelper::LoadProxyFromConfig: No Proxy Discovery detected");
        return false;
    }
    info->discoveryMode = mode;
    if (mode == ProxyInfo::kDirect) {
        auto server = proxy_config::ReadStringW(m_config, View::Local, proxy_config::kServer);
        if (!server)
            trace(kTesselTraceCategory, "TesselProxyHelper::LoadProxyFromConfig proxy server is NULL");
        info->server = server.value_or(L"");
        trace(kTesselTraceCategory, "TesselProxyHelper::LoadProxyFromConfig: Direct connection detected");
        return true;
    }
    bool hasType = false;
    bool hasServer = false;
    proxy_config::ReadProxyRecord(m_config, View::Local, info, &hasType, &hasServer);
    if (!hasServer) trace(kTesselTraceCategory, "TesselProxyHelper::LoadProxyFromConfig proxy server is NULL");
    if (!hasType) {
        error("TesselProxyHelper::LoadProxyFromConfig No proxy type found in config");
        return false;
    }
    if (!info->user.empty() && !LoadProxyPassword(m_config, &info->password, View::Local))
        error("TesselProxyHelper::LoadProxyFromConfig unable to retrieve proxy password");
    trace(kTesselTraceCategory, "TesselProxyHelper::LoadProxyFromConfig: Exit(%d)", 1);
    return true;
}

bool TesselProxyHelper::LoadProxyFromSecureConfig(ProxyInfo* info) {
    trace(kTesselTraceCategory, "TesselProxyHelper::LoadProxyFromSecureConfig: Enter");
    info->Reset();
    bool hasType = false;
    bool hasServer = false;
    proxy_config::ReadProxyRecord(m_config, View::Secure, info, &hasType, &hasServer);
    if (!hasType) {
        trace(kTesselTraceCategory, "TesselProxyHelper::LoadProxyFromSecureConfig No proxy settings found in config");
        info->Reset();
        return false;
    }
    info->discoveryMode = ProxyInfo::kConfigured;
    if (!hasServer) {
        trace(kTesselTraceCategory, "TesselProxyHelper::LoadProxyFromSecureConfig proxy server is NULL");
        info->Reset();
        return false;
    }
    if (!info->user.empty() && !LoadProxyPassword(m_config, &info->password, View::Secure))
        error("TesselProxyHelper::LoadProxyFromSecureConfig unable to retrieve proxy password");
    return true;
}

bool TesselProxyHelper::SaveDirectConnection() {
    ProxyInfo direct;
    direct.discoveryMode = ProxyInfo::kDirect;
    direct.tunnel = 0;
    return SaveProxyToConfig(direct);
}

bool TesselProxyHelper::InitializeConfigProxy() {
    ProxyInfo stored;
    if (LoadProxyFromConfig(&stored) && stored.discoveryMode == ProxyInfo::kDirect && !stored.server.empty()) {
        trace(kTesselTraceCategory,
              "TesselProxyHelper::InitializeConfigProxy: Handle Legacy case where discovery mode enum was changed. "
              "Clearing proxy config");
        DeleteConfigProxyInfo();
    }
    if (m_config->SubtreeExists(proxy_config::kRoot)) return true;
    ProxyInfo configured;
    if (LoadProxyFromSecureConfig(&configured)) {
        SaveProxyToConfig(configured);
        return true;
    }
    return SaveDirectConnection();
}

ProxyInfo TesselProxyHelper::StoredForm(const ProxyInfo& info) {
    ProxyInfo stored;
    stored.discoveryMode = info.discoveryMode;
    stored.server = info.server;
    if (info.discoveryMode == ProxyInfo::kDirect) return stored;
    stored.type = EffectiveProxyType(info);
    stored.port = info.port;
    stored.authType = info.authType;
    stored.tunnel = info.tunnel;
    stored.user = info.user;
    if (!info.user.empty()) stored.password = info.password;
    return stored;
}
