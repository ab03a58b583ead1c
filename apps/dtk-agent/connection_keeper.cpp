#include "connection_keeper.h"

#include <cstdlib>
#include <mutex>

#include "CorvaneQuery.h"
#include "CorvaneQueryResponse.h"
#include "corvane_runtime.h"

namespace agent {

namespace {

constexpr uint32_t kStatusFailed = 0x01;
// What the pings of this host say about it.
constexpr long kProduct = 1;
constexpr long kVersionMajor = 1;

}  // namespace

struct ConnectionKeeper::Probe {
    std::mutex mutex;
    bool outstanding = false;
    bool done = false;
    bool answered = false;
};

namespace {

int OnPingAnswer(CorvaneQuery* query, CorvaneQueryResponse* response, uint32_t status, void* userData) {
    std::unique_ptr<std::shared_ptr<ConnectionKeeper::Probe>> probe(
        static_cast<std::shared_ptr<ConnectionKeeper::Probe>*>(userData));
    {
        std::lock_guard<std::mutex> lock((*probe)->mutex);
        (*probe)->outstanding = false;
        (*probe)->done = true;
        (*probe)->answered = response && !(status & kStatusFailed);
    }
    ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, query);
    return 0;
}

CorvaneQuery_t* NewPing() {
    auto* query = static_cast<CorvaneQuery_t*>(calloc(1, sizeof(CorvaneQuery_t)));
    if (!query)
        return nullptr;
    query->data.present = CorvaneQueryData_PR_ping;
    query->data.choice.ping.product = kProduct;
    query->data.choice.ping.versionMajor = kVersionMajor;
    return query;
}

// `run`'s cloud side: the library instance.
class InstanceLink : public KeeperLink {
public:
    explicit InstanceLink(ITesselInstance* instance) : m_instance(instance) {}
    bool Ready() override { return m_instance->IsRegistrationComplete(); }
    int QueryAsync(CorvaneQuery* query, TesselQueryCallback callback, void* userData) override {
        ITesselCloudWrapper* cloud = m_instance->GetCloudWrapper();
        return cloud ? cloud->QueryAsync(query, callback, userData) : -1;
    }
    void Report(bool answered) override {
        if (answered)
            m_instance->ReportCloudConnectionSuccessful();
        else
            m_instance->ReportCloudConnectionFailure();
    }

private:
    ITesselInstance* m_instance;
};

}  // namespace

ConnectionKeeper::ConnectionKeeper(ITesselInstance* instance, FILE* out, int checkSeconds, uint64_t seed)
    : ConnectionKeeper(new InstanceLink(instance), out, checkSeconds,
                       KeepaliveBackoff(std::chrono::seconds(checkSeconds)), seed) {
    m_ownLink.reset(m_link);
}

ConnectionKeeper::ConnectionKeeper(KeeperLink* link, FILE* out, int checkSeconds, BackoffPolicy backoff,
                                   uint64_t seed)
    : m_link(link), m_out(out), m_schedule(std::chrono::seconds(checkSeconds), backoff, seed), m_probe(std::make_shared<Probe>()), m_next(std::chrono::steady_clock::now()) {
    corvane_asn1_init();
}

ConnectionKeeper::~ConnectionKeeper() = default;

void ConnectionKeeper::Tick() {
    bool done = false, answered = false;
    {
        std::lock_guard<std::mutex> lock(m_probe->mutex);
        if (m_probe->outstanding)
            return;
        std::swap(done, m_probe->done);
        answered = m_probe->answered;
    }
    if (done)
        Answered(answered);
    if (std::chrono::steady_clock::now() < m_next || !m_link->Ready())
        return;
    if (!Send())
        Answered(false);
}

void ConnectionKeeper::Answered(bool answered) {
    const auto now = std::chrono::steady_clock::now();
    m_link->Report(answered);
    if (answered) {
        if (m_failing)
            Say("cloud connection: answering again");
        m_failing = false;
        m_next = now + m_schedule.Answered();
    } else {
        const Millis wait = m_schedule.Missed();
        if (!m_failing) {
            char line[96];
            snprintf(line, sizeof line, "cloud connection: not answering, trying again in %.1f s (backing off)",
                     wait.count() / 1000.0);
            Say(line);
        }
        m_failing = true;
        m_next = now + wait;
    }
}

void ConnectionKeeper::Say(const char* line) {
    if (!m_out)
        return;
    fprintf(m_out, "%s\n", line);
    fflush(m_out);
}

bool ConnectionKeeper::Send() {
    CorvaneQuery_t* ping = NewPing();
    if (!ping)
        return false;
    {
        std::lock_guard<std::mutex> lock(m_probe->mutex);
        m_probe->outstanding = true;
    }
    auto* reference = new std::shared_ptr<Probe>(m_probe);
    if (m_link->QueryAsync(ping, OnPingAnswer, reference) >= 0)
        return true;
    // Refused: the callback will not run.
    delete reference;
    ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, ping);
    std::lock_guard<std::mutex> lock(m_probe->mutex);
    m_probe->outstanding = false;
    return false;
}

}  // namespace agent
