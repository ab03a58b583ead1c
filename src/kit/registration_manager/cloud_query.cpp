#include "kit/registration_manager/cloud_query.h"

#include <cerrno>
#include <cstdlib>

#include "cloud/cv_cloud.h"
#include "cloud/cv_cloud_async.h"
#include "corvane_runtime.h"
#include "kit/tessel_logger.h"
#include "kit/tessel_sync.h"

namespace {

constexpr long k_reg_query_version = 7;
constexpr long k_reg_product = 1;
constexpr long k_reg_platform = 1;
constexpr long k_disposition_registered = 5;

// Lives on the waiting thread's stack until the completion callback ran.
struct registration_context {
    pthread_mutex_t register_mutex;
    pthread_cond_t cond;
    uint8_t done;
    int32_t result;
};

void free_query(CorvaneQuery_t* query) {
    ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, query);
}

// A `reg` query for the GUID; null on failure (logged).
CorvaneQuery_t* build_query(const uint8_t* agent_guid) {
    corvane_asn1_init();
    auto* query = static_cast<CorvaneQuery_t*>(calloc(1, sizeof(CorvaneQuery_t)));
    if (!query) return nullptr;
    query->version = k_reg_query_version;
    if (cv_set_header_ts(&query->header, nullptr) != 0) {
        TLOG_ERR("cv_set_header_ts failed");
        free_query(query);
        return nullptr;
    }
    query->header.flag |= CV_QUERY_FLAG_AGENT_WILL_ACCEPT_S2C;
    errno = 0;
    if (OCTET_STRING_fromBuf(&query->header.quuid, reinterpret_cast<const char*>(agent_guid), 16) != 0) {
        TLOG_ERR(errno == EINVAL ? "encode failed, invalid arguments" : "encode failed, out of memory");
        free_query(query);
        return nullptr;
    }
    query->data.present = CorvaneQueryData_PR_reg;
    query->data.choice.reg.product = k_reg_product;
    query->data.choice.reg.platform = k_reg_platform;
    return query;
}

int on_registration_response(CorvaneQuery_t* query, CorvaneQueryResponse_t* response, uint32_t status,
                             void* user_data) {
    free_query(query);
    auto* ctx = static_cast<registration_context*>(user_data);
    if (!ctx) {
        TLOG_ERR("registration_context for cloud callback is NULL!");
        return -1;
    }
    int32_t result = CLOUD_QUERY_FAILED;
    if (status & CV_STATUS_NO_CERT) {
        result = CLOUD_QUERY_CERT_REJECTED;
    } else if (response && response->header.disposition == k_disposition_registered &&
               response->data.present == CorvaneQueryResponseData_PR_genResponse &&
               response->data.choice.genResponse.errorCode == 0) {
        result = CLOUD_QUERY_REGISTERED;
    }
    tessel_mutex_lock(&ctx->register_mutex);
    ctx->done = 1;
    ctx->result = result;
    tessel_cond_signal(&ctx->cond);
    // Nothing touches ctx after this: the waiter may free it at once.
    tessel_mutex_unlock(&ctx->register_mutex);
    return 0;
}

}  // namespace

int cloud_query_register(cv_cloud_handle* cloud_handle, const uint8_t* agent_guid) {
    CorvaneQuery_t* query = build_query(agent_guid);
    if (!query) {
        TLOG_ERR("failed to init query");
        return CLOUD_QUERY_FAILED;
    }
    registration_context ctx {};
    if (tessel_mutex_init(&ctx.register_mutex, false) != 0) {
        TLOG_ERR("pthread_mutex_init");
        free_query(query);
        return CLOUD_QUERY_FAILED;
    }
    if (tessel_cond_init(&ctx.cond, false) != 0) {
        TLOG_ERR("pthread_cond_init");
        tessel_mutex_destroy(&ctx.register_mutex);
        free_query(query);
        return CLOUD_QUERY_FAILED;
    }
    ctx.result = CLOUD_QUERY_FAILED;
    // The callback owns the query once it is accepted. This thread waits for
    // the answer anyway, so it reads the answer itself when the stream is
    // free (no worker hands it over); the callback has run by the return,
    // and the wait below only confirms it.
    if (cv_cloud_query_wait(cloud_handle, query, on_registration_response, &ctx) < 0) {
        TLOG_ERR("failed to queue registration query");
        free_query(query);
        ctx.done = 1;
    }
    tessel_mutex_lock(&ctx.register_mutex);
    while (!ctx.done) {
        int rc = pthread_cond_wait(&ctx.cond, &ctx.register_mutex);
        if (rc != 0) TLOG_WARN("pthread_cond_wait %d", rc);
    }
    int result = ctx.result;
    tessel_mutex_unlock(&ctx.register_mutex);
    tessel_cond_destroy(&ctx.cond);
    tessel_mutex_destroy(&ctx.register_mutex);
    return result;
}
