#include "testbed/cloud_responses.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cloud/cv_cloud_handle.h"
#include "cloud/cv_codec.h"
#include "corvane_runtime.h"

namespace testbed {

namespace {

void set_octets(OCTET_STRING_t* s, const void* bytes, size_t n) {
    // A non-null source even for zero bytes, so that the member is present.
    OCTET_STRING_fromBuf(s, n ? static_cast<const char*>(bytes) : "", static_cast<int>(n));
}

void set_text(OCTET_STRING_t* s, const std::string& text) { set_octets(s, text.data(), text.size()); }

void set_now(GeneralizedTime_t* ts) {
    time_t now = time(nullptr);
    struct tm tm_utc;
    gmtime_r(&now, &tm_utc);
    char text[32];
    size_t n = strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &tm_utc);
    set_octets(ts, text, n);
}

template <typename T>
T* zeroed() {
    return static_cast<T*>(calloc(1, sizeof(T)));
}

void fill_ip(CorvaneIPResponseData_t* ip) {
    // Every port and direction allowed, nothing classified.
    ip->portTransport.srcmax = 65535;
    ip->portTransport.dstmax = 65535;
}

template <typename List>
void add_multi_data(List* list, size_t n, long disposition) {
    for (size_t i = 0; i < n; i++) {
        auto* data = zeroed<CorvaneFileMultiResponseData_t>();
        if (!data) return;
        data->disposition = disposition;
        ASN_SEQUENCE_ADD(list, data);
    }
}

void fill_data(CorvaneQueryResponse_t& resp, const CorvaneQuery_t& query, long disposition,
               const PingAnswers& ping, bool retro_work) {
    auto& c = resp.data.choice;
    const auto& q = query.data.choice;
    resp.data.present = static_cast<CorvaneQueryResponseData_PR>(response_type_for(query.data.present));
    switch (resp.data.present) {
    case CorvaneQueryResponseData_PR_genResponse:
        if (query.data.present == CorvaneQueryData_PR_reg || query.data.present == CorvaneQueryData_PR_convict)
            set_text(&c.genResponse.data, "OK");
        else
            set_gen_response(resp, 2, "UNSUPPORTED");
        break;
    case CorvaneQueryResponseData_PR_pingResponse:
        c.pingResponse.online = ping.online;
        c.pingResponse.detectionCount = ping.detection_count;
        c.pingResponse.delta = ping.delta;
        break;
    case CorvaneQueryResponseData_PR_pingRetroResponse: {
        auto& r = c.pingRetroResponse;
        r.online = ping.online;
        r.detectionCount = ping.detection_count;
        r.serialNumber = ping.serial_number;
        r.retrospectiveDisposition = retro_work ? ping.work_disposition : kRetroNoWork;
        r.htype = ping.htype;
        set_octets(&r.hash, ping.hash.data(), ping.hash.size());
        set_text(&r.name, ping.name);
        break;
    }
    case CorvaneQueryResponseData_PR_workResponse:
        c.workResponse.htype = q.work.qtype;
        set_octets(&c.workResponse.hash, nullptr, 0);
        break;
    case CorvaneQueryResponseData_PR_fileResponse:
        set_octets(&c.fileResponse.detectionMask, nullptr, 0);
        set_octets(&c.fileResponse.name, nullptr, 0);
        break;
    case CorvaneQueryResponseData_PR_fileMultiResponse: {
        auto& r = c.fileMultiResponse;
        add_multi_data(&r.multidata.list, static_cast<size_t>(q.fileMulti.multi.list.count), disposition);
        add_multi_data(&r.parentdata.list, static_cast<size_t>(q.fileMulti.parent.list.count), disposition);
        fill_ip(&r.remote);
        r.nettype = q.fileMulti.nettype;
        set_octets(&r.name, nullptr, 0);
        break;
    }
    case CorvaneQueryResponseData_PR_netMultiResponse: {
        auto& r = c.netMultiResponse;
        fill_ip(&r.local);
        fill_ip(&r.remote);
        r.parent.disposition = disposition;
        set_octets(&r.name, nullptr, 0);
        r.direction = q.netMulti.direction;
        r.protocol = q.netMulti.protocol;
        r.nettype = q.netMulti.nettype;
        break;
    }
    default:  // iosApp and iosNet answers are empty
        break;
    }
}

template <typename T>
std::unique_ptr<T, AsnFree> decode(asn_TYPE_descriptor_t* type, const Bytes& der) {
    corvane_asn1_init();
    asn_codec_ctx_t ctx{CV_DECODE_MAX_STACK};
    void* value = nullptr;
    asn_dec_rval_t rv;
    {
        std::lock_guard<std::mutex> lock(codec_mutex());
        rv = ber_decode(&ctx, type, &value, der.data(), der.size());
    }
    std::unique_ptr<T, AsnFree> out(static_cast<T*>(value), AsnFree{type});
    if (rv.code != RC_OK || rv.consumed != der.size()) out.reset();
    return out;
}

}  // namespace

std::mutex& codec_mutex() {
    static std::mutex m;
    return m;
}

int response_type_for(int query_type) {
    switch (query_type) {
    case CorvaneQueryData_PR_ping: return CorvaneQueryResponseData_PR_pingResponse;
    case CorvaneQueryData_PR_pingRetro: return CorvaneQueryResponseData_PR_pingRetroResponse;
    case CorvaneQueryData_PR_work: return CorvaneQueryResponseData_PR_workResponse;
    case CorvaneQueryData_PR_file: return CorvaneQueryResponseData_PR_fileResponse;
    case CorvaneQueryData_PR_fileMulti: return CorvaneQueryResponseData_PR_fileMultiResponse;
    case CorvaneQueryData_PR_netMulti: return CorvaneQueryResponseData_PR_netMultiResponse;
    case CorvaneQueryData_PR_iosApp: return CorvaneQueryResponseData_PR_iosAppResponse;
    case CorvaneQueryData_PR_iosNet: return CorvaneQueryResponseData_PR_iosNetResponse;
    default: return CorvaneQueryResponseData_PR_genResponse;
    }
}

ResponsePtr build_default_response(const CorvaneQuery_t& query, long disposition, const PingAnswers& ping,
                                   bool retro_work) {
    corvane_asn1_init();
    ResponsePtr resp(zeroed<CorvaneQueryResponse_t>(), AsnFree{&asn_DEF_CorvaneQueryResponse});
    if (!resp) return resp;
    resp->version = query.version;
    CorvaneQueryResponseHeader_t& h = resp->header;
    h.txid = query.header.txid;
    h.sessid = query.header.sessid;
    set_octets(&h.quuid, query.header.quuid.buf, query.header.quuid.buf ? query.header.quuid.size : 0);
    set_now(&h.ts);
    h.disposition = disposition;
    set_octets(&h.data, nullptr, 0);
    fill_data(*resp, query, disposition, ping, retro_work);
    return resp;
}

void set_gen_response(CorvaneQueryResponse_t& response, long error_code, const char* text) {
    ASN_STRUCT_FREE_CONTENTS_ONLY(asn_DEF_CorvaneQueryResponseData, &response.data);
    memset(&response.data, 0, sizeof response.data);
    response.data.present = CorvaneQueryResponseData_PR_genResponse;
    response.data.choice.genResponse.errorCode = error_code;
    set_text(&response.data.choice.genResponse.data, text);
}

Bytes encode_value(asn_TYPE_descriptor_t* type, const void* value) {
    corvane_asn1_init();
    Bytes out;
    out.reserve(256);
    auto append = [](const void* bytes, size_t n, void* target) -> int {
        auto* o = static_cast<Bytes*>(target);
        const auto* p = static_cast<const uint8_t*>(bytes);
        o->insert(o->end(), p, p + n);
        return 0;
    };
    asn_enc_rval_t rv;
    {
        std::lock_guard<std::mutex> lock(codec_mutex());
        rv = der_encode(type, const_cast<void*>(value), append, &out);
    }
    if (rv.encoded < 0) return {};
    return out;
}

Bytes encode_response(const CorvaneQueryResponse_t* response) {
    return encode_value(&asn_DEF_CorvaneQueryResponse, response);
}
Bytes encode_query(const CorvaneQuery_t* query) { return encode_value(&asn_DEF_CorvaneQuery, query); }
Bytes encode_message(const CorvaneMessage_t* message) { return encode_value(&asn_DEF_CorvaneMessage, message); }

Bytes make_frame(uint8_t kind, const Bytes& payload) {
    const uint32_t length = static_cast<uint32_t>(payload.size() + 1);
    Bytes out;
    out.reserve(payload.size() + CV_FRAME_HEADER_SIZE);
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(length >> shift));
    out.push_back(kind);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

QueryPtr decode_query(const Bytes& der) { return decode<CorvaneQuery_t>(&asn_DEF_CorvaneQuery, der); }
ResponsePtr decode_response(const Bytes& der) {
    return decode<CorvaneQueryResponse_t>(&asn_DEF_CorvaneQueryResponse, der);
}
MessagePtr decode_message(const Bytes& der) { return decode<CorvaneMessage_t>(&asn_DEF_CorvaneMessage, der); }

}  // namespace testbed
