#include "proxy/ProxyConfig.h"

#include "host/IConfig.h"
#include "host/Util.h"

namespace proxy_config {

std::optional<std::wstring> ReadStringW(IConfig* config, View view, const char* key) {
    wchar_t* value = view == View::Local ? config->GetLocalStringW(key) : config->GetSecureStringW(key);
    if (!value) return std::nullopt;
    std::wstring copy(value);
    config->FreeStringW(value);
    return copy;
}

std::optional<std::string> ReadString(IConfig* config, View view, const char* key) {
    char* value = view == View::Local ? config->GetLocalString(key) : config->GetSecureString(key);
    if (!value) return std::nullopt;
    std::string copy(value);
    config->FreeString(value);
    return copy;
}

int32_t ReadInt(IConfig* config, View view, const char* key) {
    return view == View::Local ? config->GetLocalInt(key) : config->GetSecureInt(key);
}

bool ReadBinary(IConfig* config, View view, const char* key, std::vector<uint8_t>* out) {
    uint8_t* data = nullptr;
    uint32_t size = 0;
    const bool found = view == View::Local ? config->GetLocalBinary(key, &data, &size)
                                           : config->GetSecureBinary(key, &data, &size);
    if (!found || !data) return false;
    out->assign(data, data + size);
    Util::RtlSecureZeroMemory(data, size);
    config->FreeBinary(data);
    return true;
}

bool WriteStringW(IConfig* config, const char* key, const wchar_t* value) {
    return config->SetStringW(key, value) || config->CreateStringW(key, value);
}

bool WriteInt(IConfig* config, const char* key, int32_t value) {
    return config->SetInt(key, value) || config->CreateInt(key, value);
}

bool WriteBinary(IConfig* config, const char* key, const uint8_t* data, uint32_t size) {
    return config->SetBinary(key, data, size) || config->CreateBinary(key, data, size);
}

}  // namespace proxy_config

#include "dtk/ProxyInfo.h"

namespace proxy_config {

void ReadProxyRecord(IConfig* config, View view, ProxyInfo* info, bool* hasType, bool* hasServer) {
    auto type = ReadStringW(config, view, kType);
    *hasType = type.has_value();
    info->type = type.value_or(L"");
    const int32_t authType = ReadInt(config, view, kAuthType);
    info->authType = authType == -1 ? 0 : authType;
    const int32_t port = ReadInt(config, view, kPort);
    info->port = port == -1 ? 0 : static_cast<uint16_t>(port);
    info->tunnel = ReadInt(config, view, kTunnel);
    auto server = ReadStringW(config, view, kServer);
    *hasServer = server.has_value();
    info->server = server.value_or(L"");
    info->user = ReadStringW(config, view, kUserName).value_or(L"");
}

}  // namespace proxy_config
