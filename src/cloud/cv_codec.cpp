#include "cloud/cv_codec.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "cloud/cv_cloud_lock.h"
#include "corvane_runtime.h"

namespace {

int serial_error(const char* writer, const char* what) {
    char text[1024];  // the text is cut at 1023 characters
    snprintf(text, sizeof text, what, writer);
    cv_log_error("serialization error: %s", text);
    return -1;
}

int serial_check(cv_serial_buf* buf, size_t need, const char* writer) {
    if (!buf || !buf->buf)
        return serial_error(writer, "%s buf->buf is NULL");
    if (buf->size < need)
        return serial_error(writer, "%s not enough room");
    return 0;
}

size_t octets_size(const OCTET_STRING_t* s) { return s && s->size > 0 ? static_cast<size_t>(s->size) : 0; }

template <typename List>
size_t octets_list_size(const List* list) {
    size_t total = 0;
    if (list) {
        for (int i = 0; i < list->list.count; i++)
            total += octets_size(list->list.array[i]);
    }
    return total;
}

// Characters carried by an execution context: argv, envp and cwd.
size_t exec_ctx_chars(const CorvaneFileExecutionCtx_t* ctx) {
    return octets_list_size(ctx->argv) + octets_list_size(ctx->envp) + octets_size(ctx->cwd);
}

bool der_encode(asn_TYPE_descriptor_t* type, void* value, unsigned char* buffer, size_t capacity, size_t* encoded) {
    corvane_asn1_init();
    asn_enc_rval_t rv = der_encode_to_buffer(type, value, buffer, capacity);
    if (rv.encoded < 0)
        return false;
    *encoded = static_cast<size_t>(rv.encoded);
    return true;
}

asn_dec_rval_t ber_decode_payload(asn_TYPE_descriptor_t* type, void* value, const unsigned char* frame,
                                  size_t length) {
    corvane_asn1_init();
    asn_codec_ctx_t ctx{CV_DECODE_MAX_STACK};
    void* target = value;
    return ber_decode(&ctx, type, &target, frame + CV_FRAME_HEADER_SIZE, length - CV_FRAME_HEADER_SIZE);
}

// " %02x" per byte, at most CV_DECODE_DUMP_MAX characters.
std::string hex_dump(const unsigned char* bytes, size_t length) {
    std::string dump;
    dump.reserve(std::min(length * 3, CV_DECODE_DUMP_MAX));
    for (size_t i = 0; i < length && dump.size() < CV_DECODE_DUMP_MAX; i++) {
        char hex[4];
        snprintf(hex, sizeof hex, " %02x", bytes[i]);
        dump += hex;
    }
    if (dump.size() > CV_DECODE_DUMP_MAX)
        dump.resize(CV_DECODE_DUMP_MAX);
    return dump;
}

const char* decode_code_name(int code) {
    switch (code) {
    case RC_WMORE:
        return "RC_WMORE";
    case RC_FAIL:
        return "RC_FAIL";
    default:
        return "unknown";
    }
}

}  // namespace

int put4(cv_serial_buf* buf, uint32_t value) {
    if (serial_check(buf, 4, "put4") != 0)
        return -1;
    buf->buf[0] = static_cast<unsigned char>(value >> 24);
    buf->buf[1] = static_cast<unsigned char>(value >> 16);
    buf->buf[2] = static_cast<unsigned char>(value >> 8);
    buf->buf[3] = static_cast<unsigned char>(value);
    buf->buf += 4;
    buf->size -= 4;
    return 0;
}

int put1(cv_serial_buf* buf, uint8_t value) {
    if (serial_check(buf, 1, "put1") != 0)
        return -1;
    buf->buf[0] = value;
    buf->buf += 1;
    buf->size -= 1;
    return 0;
}

int cv_encode_query(CorvaneQuery_t* query, unsigned char* buffer, size_t* size, uint8_t* truncated) {
    if (truncated)
        *truncated = 0;
    if (!query || !buffer || !size || *size == 0)
        return -1;
    const size_t capacity = *size;
    size_t encoded = 0;
    if (der_encode(&asn_DEF_CorvaneQuery, query, buffer, capacity, &encoded)) {
        *size = encoded;
        return 0;
    }

    // A fileMulti query too large for the buffer goes out without its
    // execution context rather than not at all. The retry encodes a shallow
    // copy without the context, so the caller's query is never touched.
    const CorvaneFileExecutionCtx_t* ctx =
        query->data.present == CorvaneQueryData_PR_fileMulti ? query->data.choice.fileMulti.ctx : nullptr;
    const size_t dropped = ctx ? exec_ctx_chars(ctx) : 0;
    if (dropped == 0) {
        cv_log_error("%s(): der_encode_to_buffer failed", __func__);
        return -1;
    }
    cv_log_error("%s(): der_encode_to_buffer failed; will retry this file multi query by dropping %zu characters "
                 "from the execution context",
                 __func__, dropped);
    CorvaneQuery_t without_ctx = *query;
    without_ctx.data.choice.fileMulti.ctx = nullptr;
    if (!der_encode(&asn_DEF_CorvaneQuery, &without_ctx, buffer, capacity, &encoded)) {
        cv_log_error("%s(): der_encode_to_buffer failed", __func__);
        return -1;
    }
    if (truncated)
        *truncated = 1;
    *size = encoded;
    return 0;
}

namespace {

// Writes the frame header in front of a payload already encoded at offset 5.
int put_frame_header(unsigned char* frame, size_t capacity, size_t payload, uint8_t kind, const char* func) {
    cv_serial_buf cursor{frame, capacity};
    if (put4(&cursor, static_cast<uint32_t>(payload + 1)) != 0) {
        cv_log_error("%s: put4 failed to write size.", func);
        return -1;
    }
    if (put1(&cursor, kind) != 0) {
        cv_log_error("%s: put1 failed to write type.", func);
        return -1;
    }
    return 0;
}

}  // namespace

int cv_encode_query_tcp(CorvaneQuery_t* query, unsigned char* frame, size_t* size, uint8_t* truncated) {
    if (truncated)
        *truncated = 0;
    if (!frame || !size || *size <= 4)
        return -1;
    const size_t capacity = *size;
    size_t payload = capacity - CV_FRAME_HEADER_SIZE;
    if (cv_encode_query(query, frame + CV_FRAME_HEADER_SIZE, &payload, truncated) != 0) {
        cv_log_error("%s(): cv_encode_query failed", __func__);
        return -1;
    }
    if (put_frame_header(frame, capacity, payload, CV_FRAME_KIND_QUERY, __func__) != 0)
        return -1;
    *size = payload + CV_FRAME_HEADER_SIZE;
    return 0;
}

int cv_encode_query_tcp_whole(CorvaneQuery_t* query, unsigned char* frame, size_t* size) {
    if (!query || !frame || !size || *size <= CV_FRAME_HEADER_SIZE)
        return -1;
    const size_t capacity = *size;
    size_t payload = 0;
    if (!der_encode(&asn_DEF_CorvaneQuery, query, frame + CV_FRAME_HEADER_SIZE, capacity - CV_FRAME_HEADER_SIZE,
                    &payload))
        return -1;
    put_frame_header(frame, capacity, payload, CV_FRAME_KIND_QUERY, __func__);
    *size = payload + CV_FRAME_HEADER_SIZE;
    return 0;
}

int cv_encode_message(CorvaneMessage_t* message, unsigned char* frame, size_t* size) {
    if (!message || !size)
        return -1;
    const size_t capacity = *size;
    size_t payload = 0;
    if (!frame || capacity <= CV_FRAME_HEADER_SIZE ||
        !der_encode(&asn_DEF_CorvaneMessage, message, frame + CV_FRAME_HEADER_SIZE,
                    capacity - CV_FRAME_HEADER_SIZE, &payload)) {
        cv_log_error("%s: der_encode_to_buffer failed.", __func__);
        return -1;
    }
    if (put_frame_header(frame, capacity, payload, CV_FRAME_KIND_MESSAGE, __func__) != 0)
        return -1;
    *size = payload + CV_FRAME_HEADER_SIZE;
    return 0;
}

int cv_decode_response(const unsigned char* frame, size_t length, CorvaneQueryResponse_t* response) {
    if (!frame || !response) {
        cv_log_error("%s(): invalid parameter", __func__);
        return -1;
    }
    if (length <= 4) {
        cv_log_error("%s(): Not enough data to decode, length of %zu is too small (< %d)", __func__, length,
                     static_cast<int>(CV_FRAME_HEADER_SIZE));
        return -1;
    }
    asn_dec_rval_t rv = ber_decode_payload(&asn_DEF_CorvaneQueryResponse, response, frame, length);
    if (rv.code != RC_OK) {
        cv_log_error("%s(): ber_decode of ASN1 response has failed at byte %zu: %s (%d). Total len: %zu Resp len: "
                     "%zu Msg:%s",
                     __func__, rv.consumed, decode_code_name(rv.code), static_cast<int>(rv.code), length,
                     length - CV_FRAME_HEADER_SIZE, hex_dump(frame, length).c_str());
        return -1;
    }
    return 0;
}

int cv_decode_message(size_t length, const unsigned char* frame, CorvaneMessage_t* message) {
    if (!frame || !message) {
        cv_log_error("%s: invalid parameter", __func__);
        return -1;
    }
    if (length <= 4) {
        cv_log_error("%s: undersized input (%zu bytes)", __func__, length);
        return -1;
    }
    asn_dec_rval_t rv = ber_decode_payload(&asn_DEF_CorvaneMessage, message, frame, length);
    if (rv.code != RC_OK) {
        cv_log_error("%s: ber_decode of ASN1 CorvaneMessage failed at byte: %ld", __func__,
                     static_cast<long>(rv.consumed));
        return -1;
    }
    return 0;
}
