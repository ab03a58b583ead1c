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

}  // namespace

ConnectionKeeper::ConnectionKeeper(ITesselInstance* instance, FILE* out, int checkSeconds, BackoffPolicy backoff,
                                   uint64_t seed)
    : m_instance(instance), m_out(out), m_schedule(std::chrono::seconds(checkSeconds), backoff, seed), m_probe(std::make_shared<Probe>()), m_next(std::chrono::steady_clock::now()) {
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
    if (std::chrono::steady_clock::now() < m_next || !m_instance->IsRegistrationComplete())
        return;
    if (!Send())
        Answered(false);
}

void ConnectionKeeper::Answered(bool answered) {
    const auto now = std::chrono::steady_clock::now();
    if (answered) {
        m_instance->ReportCloudConnectionSuccessful();
        if (m_failing)
            fprintf(m_out, "cloud connection: answering again\n");
        m_failing = false;
        m_next = now + m_schedule.Answered();
    } else {
        m_instance->ReportCloudConnectionFailure();
        const Millis wait = m_schedule.Missed();
        if (!m_failing)
            fprintf(m_out, "cloud connection: not answering, trying again in %.1f s (backing off)\n",
                    wait.count() / 1000.0);
        m_failing = true;
        m_next = now + wait;
    }
    fflush(m_out);
}

bool ConnectionKeeper::Send() {
    ITesselCloudWrapper* cloud = m_instance->GetCloudWrapper();
    CorvaneQuery_t* ping = NewPing();
    if (!cloud || !ping) {
        if (ping)
            ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, ping);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_probe->mutex);
        m_probe->outstanding = true;
    }
    auto* reference = new std::shared_ptr<Probe>(m_probe);
    if (cloud->QueryAsync(ping, OnPingAnswer, reference) >= 0)
        return true;
    // Refused: the callback will not run.
    delete reference;
    ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, ping);
    std::lock_guard<std::mutex> lock(m_probe->mutex);
    m_probe->outstanding = false;
    return false;
}

}  // namespace agent
