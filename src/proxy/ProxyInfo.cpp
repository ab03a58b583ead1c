#include "dtk/ProxyInfo.h"

#include "proxy/ProxyPassword.h"

ProxyInfo::ProxyInfo(const ProxyInfo& other)
    : port(other.port),
      authType(other.authType),
      tunnel(other.tunnel),
      discoveryMode(other.discoveryMode),
      type(other.type),
      server(other.server),
      user(other.user),
      password(other.password),
      listProtocol(other.listProtocol) {}

ProxyInfo& ProxyInfo::operator=(const ProxyInfo& other) {
    if (this == &other) return *this;
    // Assigning may move the password to a new buffer; the old one is wiped first.
    ClearPassword();
    port = other.port;
    authType = other.authType;
    tunnel = other.tunnel;
    discoveryMode = other.discoveryMode;
    type = other.type;
    server = other.server;
    user = other.user;
    password = other.password;
    listProtocol = other.listProtocol;
    return *this;
}

ProxyInfo::~ProxyInfo() { ClearPassword(); }

void ProxyInfo::ClearPassword() { WipeWideString(&password); }

void ProxyInfo::Reset() {
    ClearPassword();
    *this = ProxyInfo();
}

bool ProxyInfo::operator==(const ProxyInfo& other) const {
    return port == other.port && authType == other.authType && tunnel == other.tunnel &&
           discoveryMode == other.discoveryMode && type == other.type && server == other.server &&
           user == other.user && password == other.password && listProtocol == other.listProtocol;
}
