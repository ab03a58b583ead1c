#include "proxy/ProxyContainer.h"

#include <utility>

ProxyContainer::ProxyContainer(IConfig* config) : ProxyContainer(config, std::make_unique<WinHttpWrapper>()) {}

ProxyContainer::ProxyContainer(IConfig* config, std::unique_ptr<IWinHttpWrapper> winHttp)
    : m_winHttp(std::move(winHttp)),
      m_proxy(std::make_unique<Proxy>(m_winHttp.get())),
      m_discovery(std::make_unique<ProxyDiscovery>(config, m_proxy.get())),
      m_threadedDiscovery(std::make_unique<ThreadedProxyDiscovery>(m_discovery.get())) {
    ThreadedProxyDiscovery* threaded = m_threadedDiscovery.get();
    m_discovery->SetShutdownCallback([threaded] { return threaded->IsShuttingDown(); });
}

ProxyContainer::~ProxyContainer() = default;
