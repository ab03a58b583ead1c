// Ping schedule, ping results, server messages and the common inspection of
// responses (part of the cv_cloud unit).
#include <openssl/x509.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cloud/cv_cloud.h"
#include "cloud/cv_cloud_async.h"
#include "cloud/cv_cloud_lock.h"
#include "cloud/cv_cloud_transport.h"

namespace {

constexpr long DISP_NOWORK = 6;

bool tv_zero(const struct timeval& tv) { return tv.tv_sec == 0 && tv.tv_usec == 0; }

void count_callback_failure(cv_cloud_handle* handle) {
    CV_ASYNC_GUARD(handle);
    handle->stats.callback_failures++;
}

// UUID bytes of a received message, zero-padded to 16 whatever the sender put
// there, so that handlers can always read 16 bytes.
void uuid_bytes(const UUID_t& uuid, uint8_t (&out)[16]) {
    memset(out, 0, sizeof out);
    if (uuid.buf && uuid.size > 0)
        memcpy(out, uuid.buf, uuid.size < 16 ? static_cast<size_t>(uuid.size) : 16);
}

void uuid_text(const uint8_t (&b)[16], char (&out)[37]) {
    snprintf(out, sizeof out, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
             (unsigned)(b[0] << 24 | b[1] << 16 | b[2] << 8 | b[3]), (unsigned)(b[4] << 8 | b[5]),
             (unsigned)(b[6] << 8 | b[7]), b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
}

}  // namespace

// ---- Schedule ---------------------------------------------------------------------------

int _cv_periodic_init(cv_cloud_handle* handle) {
    cv_periodic* p = &handle->periodic;
    p->type = CV_PERIODIC_PING;
    p->callback = _cv_ping_callback;
    p->user_data = handle;
    p->interval = handle->options.ping_interval;
    p->early_interval = handle->options.ping_early_interval;
    p->fast_interval = {0, 0};
    _cv_now(&p->last_run);
    if (handle->options.flags & CV_OPT_FLAG_PING_ON_INIT) {
        cv_log_trace(CV_TRACE_DEFAULT, "%s: queueing PING on init.", "cv_cloud_init");
        _cv_interval_restart_periodic(handle);
    } else {
        cv_log_trace(CV_TRACE_DEFAULT, "%s: NOT queueing PING on init.", "cv_cloud_init");
    }
    return 0;
}

void cv_cloud_set_ping_interval(cv_cloud_handle* handle, long seconds, long microseconds) {
    if (!handle)
        return;
    CV_ASYNC_GUARD(handle);
    handle->periodic.interval.tv_sec = seconds;
    handle->periodic.interval.tv_usec = microseconds;
    _cv_periodic_due_at(handle, _cv_periodic_next_usec(handle));
}

void cv_cloud_disable_ping(cv_cloud_handle* handle) { cv_cloud_set_ping_interval(handle, 0, 0); }

void _cv_interval_restart_periodic_fast(cv_cloud_handle* handle) {
    if (!handle)
        return;
    CV_ASYNC_GUARD(handle);
    cv_log_trace(CV_TRACE_DEFAULT, "%s(): marking periodic want_early (fast)", __func__);
    handle->periodic.want_early = 2;
    _cv_periodic_due_at(handle, _cv_periodic_next_usec(handle));
}

void _cv_interval_restart_periodic(cv_cloud_handle* handle) {
    if (!handle)
        return;
    CV_ASYNC_GUARD(handle);
    cv_log_trace(CV_TRACE_DEFAULT, "%s(): marking periodic want_early", __func__);
    handle->periodic.want_early = 1;
    _cv_periodic_due_at(handle, _cv_periodic_next_usec(handle));
}

bool _cv_periodic_tick(cv_cloud_handle* handle, const struct timeval* now) {
    cv_periodic* p = &handle->periodic;
    if (tv_zero(p->interval))
        return false;
    const long long t = cv_tv_usec(*now);
    const long long last = cv_tv_usec(p->last_run);
    const bool fire = t - cv_tv_usec(p->interval) > last ||
                      (p->want_early == 1 && t - cv_tv_usec(p->early_interval) > last) ||
                      (p->want_early == 2 && t - cv_tv_usec(p->fast_interval) > last) || t < last;
    if (!fire)
        return false;
    cv_log_trace(CV_TRACE_DEFAULT, "%s(): executing periodic %d (type=%d, wantearly=%d)", __func__, 0, p->type,
                 p->want_early);
    p->last_run = *now;
    cv_cloud_async_unlock(handle);
    int rc = _cv_periodic(handle);
    if (rc < 0)
        cv_log_error("%s(): _periodic failed with %d", __func__, rc);
    cv_cloud_async_lock(handle);
    return true;
}

int64_t _cv_periodic_next_usec(cv_cloud_handle* handle) {
    const cv_periodic* p = &handle->periodic;
    if (tv_zero(p->interval))
        return INT64_MAX;
    // _cv_periodic_tick fires once the interval has passed, strictly.
    const int64_t last = cv_tv_usec(p->last_run) + 1;
    int64_t due = last + cv_tv_usec(p->interval);
    if (p->want_early == 1)
        due = std::min<int64_t>(due, last + cv_tv_usec(p->early_interval));
    else if (p->want_early == 2)
        due = std::min<int64_t>(due, last + cv_tv_usec(p->fast_interval));
    return due;
}

int _cv_periodic(cv_cloud_handle* handle) {
    cv_periodic* p = &handle->periodic;
    auto* query = static_cast<CorvaneQuery_t*>(calloc(1, sizeof(CorvaneQuery_t)));
    if (!query) {
        cv_log_error("%s(): no mem", __func__);
        return -1;
    }
    {
        CV_ASYNC_GUARD(handle);
        p->in_flight++;
        p->want_early = 0;
    }
    auto give_up = [&](int rc) {
        ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, query);
        CV_ASYNC_GUARD(handle);
        p->in_flight--;
        return rc;
    };
    if (p->type != CV_PERIODIC_PING) {
        cv_log_error("%s(): DANGER: unsupported query type %d", __func__, p->type);
        return give_up(-1);
    }
    if (_cv_ping_prepare(handle, query) != 0)
        cv_log_error("%s(): ping prepare failed", __func__);

    if (cv_cloud_is_async(handle)) {
        int rc = cv_cloud_query_async(handle, query, _cv_periodic_finish, p);
        if (rc == CV_ASYNC_ERR_NO_PIGGYBACK) {
            cv_log_trace(CV_TRACE_DEFAULT, "Ping already queued and not yet sent, dropping new ping and continuing.");
            return give_up(0);
        }
        if (rc < 0)
            return give_up(rc);
        return 0;
    }
    uint8_t truncated = 0;
    CorvaneQueryResponse_t* response = _cv_cloud_query_internal(handle, query, &truncated);
    uint32_t status = CV_STATUS_FIRST;
    if (truncated)
        status |= CV_STATUS_TRUNCATED;
    if (!response || response->header.disposition == 4)
        status |= CV_STATUS_FAILED;
    _cv_periodic_finish(query, response, status, p);
    if (response)
        ASN_STRUCT_FREE(asn_DEF_CorvaneQueryResponse, response);
    return 0;
}

int _cv_periodic_finish(CorvaneQuery_t* query, CorvaneQueryResponse_t* response, uint32_t status, void* periodic) {
    auto* p = static_cast<cv_periodic*>(periodic);
    cv_cloud_handle* handle = p->user_data;
    cv_log_trace(CV_TRACE_DEFAULT, "%s(): processing for periodic query type %d", __func__, p->type);
    int rc = p->callback(query, response, status, handle);
    ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, query);
    CV_ASYNC_GUARD(handle);
    if (p->in_flight > 0)
        p->in_flight--;
    if (rc != 0)
        p->failures++;
    else
        p->last_success = p->last_run;
    return rc;
}

int _cv_ping_prepare(cv_cloud_handle* handle, CorvaneQuery_t* query) {
    const cv_cloud_opts& o = handle->options;
    {
        CV_ASYNC_GUARD(handle);
        if (o.policy_cb || o.retrospective_cb) {
            query->data.present = CorvaneQueryData_PR_pingRetro;
            CorvanePingRetro_t& ping = query->data.choice.pingRetro;
            ping.product = o.product;
            ping.versionMajor = o.version_major;
            ping.versionMinor = o.version_minor;
            ping.versionBuild = o.version_build;
            while (handle->retro_nonce == 0)
                handle->retro_nonce = static_cast<uint16_t>(rand_r(&handle->async.random_seed));
            if (o.retrospective_cb) {
                ping.retrospectiveNonce = handle->retro_nonce;
            } else {
                cv_log_error("%s(): WARNING: Issuing PING2 without retrospective callback!\n\nThe server can respond "
                             "to this client with PING2 retrospective work, whichwill be unhandled and lost by your "
                             "client. Enable a retrospective callbackto prevent losing your retrospective data.\n",
                             __func__);
                ping.retrospectiveNonce = 0;
            }
        } else {
            query->data.present = CorvaneQueryData_PR_ping;
            CorvanePing_t& ping = query->data.choice.ping;
            ping.product = o.product;
            ping.versionMajor = o.version_major;
            ping.versionMinor = o.version_minor;
            ping.versionBuild = o.version_build;
        }
    }
    if (o.ping_prepare_cb) {
        cv_log_trace(CV_TRACE_DEFAULT, "entering ping prepare callback");
        int rc = o.ping_prepare_cb(query);
        cv_log_trace(CV_TRACE_DEFAULT, "leaving ping prepare callback");
        if (rc != 0)
            count_callback_failure(handle);
    }
    return 0;
}

int _cv_ping_callback(CorvaneQuery_t* query, CorvaneQueryResponse_t* response, uint32_t status,
                      cv_cloud_handle* handle) {
    const cv_cloud_opts& o = handle->options;
    if (status & CV_STATUS_FAILED) {
        cv_log_error("%s(): ping failed %s response, disconnecting", __func__, response ? "with" : "without");
        if (response)
            cv_log_error("%s(): response type=%d, disposition=%ld", __func__, static_cast<int>(response->data.present),
                         response->header.disposition);
        uint16_t conn_id;
        {
            CV_ASYNC_GUARD(handle);
            conn_id = handle->ping_conn_id;
        }
        _cv_disconnect(handle, 0, conn_id);
        return -1;
    }
    switch (response ? response->data.present : CorvaneQueryResponseData_PR_NOTHING) {
    case CorvaneQueryResponseData_PR_pingResponse: {
        CV_ASYNC_GUARD(handle);
        handle->last_online = response->data.choice.pingResponse.online;
        handle->last_detection_count = response->data.choice.pingResponse.detectionCount;
        return 0;
    }
    case CorvaneQueryResponseData_PR_pingRetroResponse: {
        const CorvanePingRetroResponse_t& retro = response->data.choice.pingRetroResponse;
        {
            CV_ASYNC_GUARD(handle);
            handle->last_online = retro.online;
            handle->last_detection_count = retro.detectionCount;
        }
        if (o.policy_cb) {
            cv_log_trace(CV_TRACE_DEFAULT, "entering policy callback");
            int rc = o.policy_cb(query, response, status, o.policy_data);
            cv_log_trace(CV_TRACE_DEFAULT, "leaving policy callback");
            if (rc != 0)
                count_callback_failure(handle);
        }
        if (retro.retrospectiveDisposition == DISP_NOWORK) {
            cv_log_trace(CV_TRACE_DEFAULT, "%s(): DISP_NOWORK received", __func__);
            return 0;
        }
        if (o.retrospective_cb) {
            cv_log_trace(CV_TRACE_DEFAULT, "entering retro callback");
            int rc = o.retrospective_cb(query, response, status, o.retrospective_data);
            cv_log_trace(CV_TRACE_DEFAULT, "leaving retro callback");
            if (rc != 0) {
                count_callback_failure(handle);
            } else {
                CV_ASYNC_GUARD(handle);
                handle->retro_nonce = 0;
            }
        }
        cv_log_trace(CV_TRACE_DEFAULT, "%s(): retrospective received, scheduling additional ping", __func__);
        {
            CV_ASYNC_GUARD(handle);
            handle->stats.retro_received++;
        }
        _cv_interval_restart_periodic_fast(handle);
        return 0;
    }
    default:
        cv_log_error("%s(): unexpected response type %d", __func__,
                     response ? static_cast<int>(response->data.present) : 0);
        return -1;
    }
}

// ---- Server messages --------------------------------------------------------------------

int _cv_populate_message_ack(CorvaneMessage_t* ack, const CorvaneMessageDeliver_t* deliver, uint16_t code) {
    memset(ack, 0, sizeof *ack);
    ack->present = CorvaneMessage_PR_ack;
    CorvaneMessageAck_t& a = ack->choice.ack;
    a.returnCode = code;
    if (!deliver)
        return 0;
    if (OCTET_STRING_fromBuf(&a.id, reinterpret_cast<const char*>(deliver->id.buf), deliver->id.size) != 0 ||
        OCTET_STRING_fromBuf(&a.dst, reinterpret_cast<const char*>(deliver->dst.buf), deliver->dst.size) != 0)
        return -1;
    return 0;
}

void _cv_global_msg_handler(cv_cloud_handle* handle, CorvaneMessage_t* message) {
    uint16_t code = CV_ACK_UNHANDLED;
    cv_cloud_msg_cb callback = handle->options.general_msg_cb;
    void* user_data = handle->options.general_msg_data;
    const CorvaneMessageDeliver_t* deliver = nullptr;
    char id_text[37] = "";
    if (message->present != CorvaneMessage_PR_deliver) {
        cv_log_error("%s: unknown message type: 0x%08x", __func__, static_cast<unsigned>(message->present));
        callback = nullptr;
    } else {
        deliver = &message->choice.deliver;
        uint8_t dst[16], id[16];
        uuid_bytes(deliver->dst, dst);
        uuid_bytes(deliver->id, id);
        char dst_text[37];
        uuid_text(dst, dst_text);
        uuid_text(id, id_text);
        const uint32_t type = static_cast<uint32_t>(deliver->type);
        bool specific = false;
        for (const cv_cloud_msg_cb_node* node = handle->options.msg_callbacks; node; node = node->next) {
            if (node->type == type) {
                cv_log_trace(CV_TRACE_DEFAULT, "%s: found specific callback handler for message type %u.", __func__,
                             type);
                callback = node->callback;
                user_data = node->user_data;
                specific = true;
                break;
            }
        }
        if (callback) {
            cv_log_trace(CV_TRACE_DEFAULT, "%s: invoking %s callback for message type %u.", __func__,
                         specific ? "TYPE-SPECIFIC" : "GENERAL/FALLBACK", type);
            const size_t length = deliver->data.size > 0 ? static_cast<size_t>(deliver->data.size) : 0;
            code = callback(handle, dst, id, type, deliver->data.buf, length, user_data);
        } else {
            cv_log_trace(CV_TRACE_DEFAULT, "%s: no callback for message type %u.", __func__, type);
        }
    }

    auto* ack = static_cast<CorvaneMessage_t*>(calloc(1, sizeof(CorvaneMessage_t)));
    if (!ack) {
        cv_log_error("%s: allocation failed.", __func__);
    } else if (_cv_populate_message_ack(ack, deliver, code) != 0) {
        cv_log_error("%s: _cv_populate_message_ack failed!", __func__);
        ASN_STRUCT_FREE(asn_DEF_CorvaneMessage, ack);
        ack = nullptr;
    }
    if (ack && code == CV_ACK_TEMPORARY_REJECT) {
        cv_log_trace(CV_TRACE_DEFAULT,
                     "%s: ackCode (0x%04llx) indicates temporary rejection, skipping acknowledgement for message %s.",
                     __func__, static_cast<unsigned long long>(code), id_text);
        ASN_STRUCT_FREE(asn_DEF_CorvaneMessage, ack);
    } else if (ack) {
        cv_log_trace(CV_TRACE_DEFAULT, "%s: message %s will be acknowledged with code %llu (0x%08llx).", __func__,
                     id_text, static_cast<unsigned long long>(code), static_cast<unsigned long long>(code));
        bool sent;
        if (cv_cloud_is_async(handle)) {
            sent = _cv_queue_message(handle, ack);  // the transmit worker sends and frees it
            if (!sent)
                ASN_STRUCT_FREE(asn_DEF_CorvaneMessage, ack);
        } else {
            int rc = _cv_send_message(handle, ack);
            sent = rc == SEND_SUCCESS || rc == SEND_PARTIAL;
            ASN_STRUCT_FREE(asn_DEF_CorvaneMessage, ack);
        }
        if (sent)
            cv_log_trace(CV_TRACE_DEFAULT, "%s: message acknowledgement sent for %s.", __func__, id_text);
        else
            cv_log_error("%s: message acknowledement failed for %s.", __func__, id_text);
    }
    ASN_STRUCT_FREE(asn_DEF_CorvaneMessage, message);
}

// ---- Response inspection -------------------------------------------------------------------

void _cv_global_resp_handler(cv_cloud_handle* handle, CorvaneQueryResponse_t* response, const struct timeval* start) {
    // On an asynchronous handle the engine keeps these figures when it
    // finishes the request, under the lock it holds anyway.
    if (!cv_cloud_is_async(handle)) {
        struct timeval now;
        _cv_now(&now);
        const long long elapsed = cv_tv_usec(now) - cv_tv_usec(*start);
        CV_ASYNC_GUARD(handle);
        cv_cloud_stats& s = handle->stats;
        if (elapsed >= 0 && (s.fastest_response_usec < 0 || elapsed < s.fastest_response_usec))
            s.fastest_response_usec = elapsed;
        if (elapsed > s.slowest_response_usec)
            s.slowest_response_usec = elapsed;
    }
    if (response->data.present != CorvaneQueryResponseData_PR_genResponse)
        return;
    const long code = response->data.choice.genResponse.errorCode;
    if (code == 1 || code == 4 || code == 5 || code == 6) {
        cv_log_error("Received a cloud response with authentication error code %ld. Clearing the client certificate.",
                     code);
        _cv_drop_client_cert(handle);
    }
}
