// The frame reader on a live handle: arbitrary bytes arrive from the server
// in pieces of arbitrary sizes (so frames straddle reads and waits) and are
// assembled, checked and decoded as responses and messages until the stream
// ends.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cloud/cv_cloud_transport.h"
#include "cloud_fuzz_common.h"

namespace {

// The server's side: the input's first byte seeds the piece sizes, the rest
// is what arrives.
struct FuzzStream {
    const uint8_t* data;
    size_t size;
    size_t offset;
    uint32_t state;
};

uint32_t next_piece(FuzzStream* s) {
    s->state = s->state * 1103515245u + 12345u;
    return (s->state >> 16) % 4097;  // 0 means "nothing now": the reader waits
}

int fuzz_send(void*, const void*, size_t length, size_t* sent) {
    *sent = length;
    return 0;
}

int fuzz_recv(void* stream, void* buffer, size_t length, size_t* received) {
    auto* s = static_cast<FuzzStream*>(stream);
    size_t left = s->size - s->offset;
    if (left == 0) {
        *received = 0;  // the peer closed
        return 0;
    }
    size_t piece = next_piece(s);
    if (piece == 0)
        return CV_STREAM_AGAIN;
    size_t n = piece < left ? piece : left;
    n = n < length ? n : length;
    memcpy(buffer, s->data + s->offset, n);
    s->offset += n;
    *received = n;
    return 0;
}

const char* fuzz_strerror(int) { return "fuzz stream error"; }

const cv_stream_ops kFuzzOps = {fuzz_send, fuzz_recv, fuzz_strerror};

// A socket that always polls readable, so a wait for more data ends at once.
int always_readable() {
    static int fd = [] {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
            abort();
        if (write(fds[1], "x", 1) != 1)
            abort();
        return fds[0];
    }();
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool once = (cloud_fuzz_logging(), true);
    (void)once;
    if (size < 1)
        return 0;
    FuzzStream stream{data + 1, size - 1, 0, data[0]};
    auto* handle = new cv_cloud_handle{};
    handle->query_method = CV_QUERY_METHOD_TCP;
    handle->flags = CV_HANDLE_FLAG_ASYNC;
    handle->options.timeout = {0, 1000};
    strcpy(handle->peer_address, "fuzz");
    handle->stream = &stream;
    handle->stream_ops = &kFuzzOps;
    handle->socket = always_readable();
    if (_cv_transfer_init(handle) != 0)
        abort();
    // Every call either consumes input or ends the stream; the bound is a
    // safety net against a reader that stops making progress.
    for (int i = 0; i < 4 * 4097 + 16; ++i) {
        CorvaneQueryResponse_t* response = nullptr;
        CorvaneMessage_t* message = nullptr;
        int rc = _cv_receive_tcp(handle, &response, &message);
        if (response) {
            cloud_fuzz_reencode(&asn_DEF_CorvaneQueryResponse, response);
            ASN_STRUCT_FREE(asn_DEF_CorvaneQueryResponse, response);
        }
        if (message) {
            cloud_fuzz_reencode(&asn_DEF_CorvaneMessage, message);
            ASN_STRUCT_FREE(asn_DEF_CorvaneMessage, message);
        }
        if (rc == RECV_CLOSED || rc == RECV_ERROR)
            break;
        if (stream.offset == stream.size && rc == RECV_NONE)
            break;
    }
    _cv_transfer_destroy(handle);
    delete handle;
    return 0;
}
