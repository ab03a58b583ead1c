// Sample protocol values for the cloud client's tests, benchmark and fuzz
// corpora: filled queries, responses and messages of every kind, and helpers
// to encode them. Header-only so that bench/ and fuzz/ can include it.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cloud/cv_cloud_handle.h"
#include "cloud/cv_codec.h"
#include "corvane_runtime.h"

namespace corvane_samples {

// Owns a generated value; frees it with its descriptor.
template <typename T>
struct asn_deleter {
    asn_TYPE_descriptor_t* type;
    void operator()(T* value) const {
        if (value)
            type->free_struct(type, value, 0);
    }
};
template <typename T>
using asn_ptr = std::unique_ptr<T, asn_deleter<T>>;

template <typename T>
asn_ptr<T> make_value(asn_TYPE_descriptor_t* type) {
    corvane_asn1_init();
    return asn_ptr<T>(static_cast<T*>(calloc(1, sizeof(T))), asn_deleter<T>{type});
}

inline void set_octets(OCTET_STRING_t* s, const std::string& bytes) {
    OCTET_STRING_fromBuf(s, bytes.data(), static_cast<int>(bytes.size()));
}

inline OCTET_STRING_t* new_octets(const std::string& bytes) {
    return OCTET_STRING_new_fromBuf(&asn_DEF_OCTET_STRING, bytes.data(), static_cast<int>(bytes.size()));
}

template <typename T>
T* new_zeroed() {
    return static_cast<T*>(calloc(1, sizeof(T)));
}

inline const std::string kUuid("\x01\x23\x45\x67\x89\xab\xcd\xef\x10\x32\x54\x76\x98\xba\xdc\xfe", 16);
inline const std::string kTime("20261207194500Z");

inline void fill_query_header(CorvaneQueryHeader_t* header, long txid) {
    header->txid = txid;
    header->sessid = 77;
    set_octets(&header->ts, kTime);
    set_octets(&header->quuid, kUuid);
    header->flag = 0x8;
    set_octets(&header->data, "");
}

inline asn_ptr<CorvaneQuery_t> new_query(CorvaneQueryData_PR type, long txid = 1) {
    auto query = make_value<CorvaneQuery_t>(&asn_DEF_CorvaneQuery);
    query->version = 7;
    fill_query_header(&query->header, txid);
    query->data.present = type;
    return query;
}

inline asn_ptr<CorvaneQuery_t> ping_query(long txid = 1) {
    auto query = new_query(CorvaneQueryData_PR_ping, txid);
    CorvanePing_t* ping = &query->data.choice.ping;
    ping->product = 42;
    ping->versionMajor = 1;
    ping->versionMinor = 0;
    ping->versionBuild = 0;
    return query;
}

inline CorvaneAgentEngineStatus_t* engine_status(long id) {
    auto* engine = new_zeroed<CorvaneAgentEngineStatus_t>();
    engine->id = id;
    set_octets(&engine->defVersion, "def-" + std::to_string(id));
    engine->lastUpdateFailureCode = 0;
    engine->lastUpdateSuccessAt = new_zeroed<GeneralizedTime_t>();
    set_octets(engine->lastUpdateSuccessAt, kTime);
    return engine;
}

inline asn_ptr<CorvaneQuery_t> ping_retro_query(bool with_status) {
    auto query = new_query(CorvaneQueryData_PR_pingRetro);
    CorvanePingRetro_t* retro = &query->data.choice.pingRetro;
    retro->product = 42;
    retro->versionMajor = 1;
    retro->retrospectiveNonce = 123456;
    if (with_status) {
        retro->status = new_zeroed<CorvaneAgentStatus_t>();
        retro->status->uptime = 3600;
        ASN_SEQUENCE_ADD(&retro->status->engine.list, engine_status(1));
        ASN_SEQUENCE_ADD(&retro->status->engine.list, engine_status(2));
    }
    return query;
}

inline void fill_file(CorvaneFile_t* file, int n) {
    set_octets(&file->filesize, std::to_string(1000 + n));
    file->qtype = 1;
    file->age = n;
    file->type = 2;
    file->htype = 3;
    std::string hash(32, '\0');
    for (size_t i = 0; i < hash.size(); i++)
        hash[i] = static_cast<char>(n * 31 + static_cast<int>(i));
    set_octets(&file->hash, hash);
}

inline CorvaneFile_t* new_file(int n) {
    auto* file = new_zeroed<CorvaneFile_t>();
    fill_file(file, n);
    return file;
}

inline asn_ptr<CorvaneQuery_t> file_query() {
    auto query = new_query(CorvaneQueryData_PR_file);
    fill_file(&query->data.choice.file, 1);
    return query;
}

inline CorvaneFileExecutionCtx_t* exec_ctx(const std::vector<std::string>& argv, const std::string* cwd) {
    auto* ctx = new_zeroed<CorvaneFileExecutionCtx_t>();
    ctx->argv = new_zeroed<CorvaneFileExecutionCtx::CorvaneFileExecutionCtx__argv>();
    for (const auto& arg : argv)
        ASN_SEQUENCE_ADD(&ctx->argv->list, new_octets(arg));
    if (cwd)
        ctx->cwd = new_octets(*cwd);
    return ctx;
}

inline asn_ptr<CorvaneQuery_t> file_multi_query(int parents, int files, CorvaneFileExecutionCtx_t* ctx = nullptr,
                                                size_t filepath_size = 24) {
    auto query = new_query(CorvaneQueryData_PR_fileMulti);
    CorvaneFileMulti_t* multi = &query->data.choice.fileMulti;
    multi->qtype = 27;
    for (int i = 0; i < parents; i++)
        ASN_SEQUENCE_ADD(&multi->parent.list, new_file(i));
    for (int i = 0; i < files; i++)
        ASN_SEQUENCE_ADD(&multi->multi.list, new_file(100 + i));
    multi->nettype = 1;
    multi->remote.port = 443;
    set_octets(&multi->remote.addr, std::string("\x7f\x00\x00\x01", 4));
    set_octets(&multi->url, "https://example.test/a");
    set_octets(&multi->filepath, std::string(filepath_size, 'p'));
    multi->ctx = ctx;
    return query;
}

inline asn_ptr<CorvaneMessage_t> ack_message(long return_code = 0) {
    auto message = make_value<CorvaneMessage_t>(&asn_DEF_CorvaneMessage);
    message->present = CorvaneMessage_PR_ack;
    set_octets(&message->choice.ack.id, kUuid);
    set_octets(&message->choice.ack.dst, std::string(16, '\x22'));
    message->choice.ack.returnCode = return_code;
    return message;
}

inline asn_ptr<CorvaneMessage_t> deliver_message(const std::string& body = "policy-changed") {
    auto message = make_value<CorvaneMessage_t>(&asn_DEF_CorvaneMessage);
    message->present = CorvaneMessage_PR_deliver;
    set_octets(&message->choice.deliver.id, kUuid);
    set_octets(&message->choice.deliver.dst, std::string(16, '\x22'));
    message->choice.deliver.type = 5;
    set_octets(&message->choice.deliver.data, body);
    return message;
}

inline void fill_ip(CorvaneIPResponseData_t* ip) {
    ip->portClassifier.classification = 1;
    ip->portClassifier.disposition = 2;
    ip->portClassifier.action = 3;
    CorvanePortTransport_t* t = &ip->portTransport;
    t->srcmin = 1;
    t->srcmax = 65535;
    t->dstmin = 443;
    t->dstmax = 443;
    t->direction = 1;
    t->protocol = 6;
    t->cidr = 24;
}

inline void fill_url(CorvaneURLResponseData_t* url) {
    url->start = 0;
    url->len = 22;
    url->disposition = 1;
    url->action = 0;
}

inline CorvaneFileMultiResponseData_t* multi_data(long n) {
    auto* data = new_zeroed<CorvaneFileMultiResponseData_t>();
    data->disposition = 1 + n % 3;
    data->action = n;
    data->score = 100 - n;
    return data;
}

// A response of the given type (1..9); type 6 carries `files` multidata and
// `parents` parentdata entries.
inline asn_ptr<CorvaneQueryResponse_t> response(CorvaneQueryResponseData_PR type, int files = 2, int parents = 1) {
    auto resp = make_value<CorvaneQueryResponse_t>(&asn_DEF_CorvaneQueryResponse);
    resp->version = 7;
    CorvaneQueryResponseHeader_t* h = &resp->header;
    h->txid = 200;
    h->sessid = 77;
    h->iv = 3;
    set_octets(&h->quuid, kUuid);
    set_octets(&h->ts, kTime);
    h->disposition = 1;
    h->action = 2;
    h->score = -5;
    h->flag = 0x8;
    set_octets(&h->data, "hdr");
    resp->data.present = type;
    auto& c = resp->data.choice;
    switch (type) {
    case CorvaneQueryResponseData_PR_genResponse:
        c.genResponse.errorCode = 17;
        set_octets(&c.genResponse.data, "Access denied (see docs)");
        break;
    case CorvaneQueryResponseData_PR_pingResponse:
        c.pingResponse.online = 1;
        c.pingResponse.detectionCount = 12;
        c.pingResponse.delta = -3;
        break;
    case CorvaneQueryResponseData_PR_pingRetroResponse:
        c.pingRetroResponse.online = 1;
        c.pingRetroResponse.detectionCount = 2;
        c.pingRetroResponse.serialNumber = 2147483647;
        c.pingRetroResponse.retrospectiveDisposition = 3;
        c.pingRetroResponse.htype = 1;
        set_octets(&c.pingRetroResponse.hash, std::string(32, '\xab'));
        set_octets(&c.pingRetroResponse.name, "evil.exe");
        break;
    case CorvaneQueryResponseData_PR_workResponse:
        c.workResponse.htype = 2;
        set_octets(&c.workResponse.hash, std::string(20, '\x01'));
        break;
    case CorvaneQueryResponseData_PR_fileResponse:
        c.fileResponse.firstSeen = 1700000000;
        set_octets(&c.fileResponse.detectionMask, std::string("\x00\x01", 2));
        set_octets(&c.fileResponse.name, "W32.Test");
        break;
    case CorvaneQueryResponseData_PR_fileMultiResponse:
        for (int i = 0; i < files; i++)
            ASN_SEQUENCE_ADD(&c.fileMultiResponse.multidata.list, multi_data(i));
        for (int i = 0; i < parents; i++)
            ASN_SEQUENCE_ADD(&c.fileMultiResponse.parentdata.list, multi_data(99 - i));
        fill_ip(&c.fileMultiResponse.remote);
        fill_url(&c.fileMultiResponse.url);
        c.fileMultiResponse.nettype = 3;
        set_octets(&c.fileMultiResponse.name, "multi");
        break;
    case CorvaneQueryResponseData_PR_netMultiResponse:
        fill_ip(&c.netMultiResponse.local);
        fill_ip(&c.netMultiResponse.remote);
        fill_url(&c.netMultiResponse.url);
        c.netMultiResponse.parent.disposition = 1;
        c.netMultiResponse.parent.action = 2;
        c.netMultiResponse.parent.score = 3;
        set_octets(&c.netMultiResponse.name, "net");
        c.netMultiResponse.direction = 1;
        c.netMultiResponse.protocol = 17;
        c.netMultiResponse.nettype = 2;
        break;
    case CorvaneQueryResponseData_PR_iosAppResponse:
        break;
    case CorvaneQueryResponseData_PR_iosNetResponse:
        c.iosNetResponse.cacheableCidr = new_zeroed<long>();
        *c.iosNetResponse.cacheableCidr = 16;
        c.iosNetResponse.name = new_octets("host.test");
        break;
    default:
        break;
    }
    return resp;
}

// DER bytes of any value of the module; empty when encoding failed.
inline std::vector<unsigned char> der(asn_TYPE_descriptor_t* type, void* value) {
    corvane_asn1_init();
    std::vector<unsigned char> out(TRANSPORT_MAX_SIZE);
    asn_enc_rval_t rv = der_encode_to_buffer(type, value, out.data(), out.size());
    if (rv.encoded < 0)
        return {};
    out.resize(static_cast<size_t>(rv.encoded));
    return out;
}

// A frame around a payload: length (1 + payload) big-endian, kind, payload.
inline std::vector<unsigned char> frame(uint8_t kind, const std::vector<unsigned char>& payload) {
    const uint32_t length = static_cast<uint32_t>(payload.size() + 1);
    std::vector<unsigned char> out(payload.size() + CV_FRAME_HEADER_SIZE);
    out[0] = static_cast<unsigned char>(length >> 24);
    out[1] = static_cast<unsigned char>(length >> 16);
    out[2] = static_cast<unsigned char>(length >> 8);
    out[3] = static_cast<unsigned char>(length);
    out[4] = kind;
    std::copy(payload.begin(), payload.end(), out.begin() + CV_FRAME_HEADER_SIZE);
    return out;
}

inline std::vector<unsigned char> response_frame(CorvaneQueryResponse_t* resp) {
    return frame(CV_FRAME_KIND_QUERY, der(&asn_DEF_CorvaneQueryResponse, resp));
}

inline std::vector<unsigned char> message_frame(CorvaneMessage_t* message) {
    return frame(CV_FRAME_KIND_MESSAGE, der(&asn_DEF_CorvaneMessage, message));
}

}  // namespace corvane_samples
