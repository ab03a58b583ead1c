// The message codec of the cloud client: frames and DER/BER coding of the
// protocol's payloads. Pure functions over caller buffers; failures are
// written through the cloud client's error writer.
//
// A frame is a 4-byte big-endian length (1 + payload length), a kind byte
// and the payload.
#pragma once

#include <cstddef>
#include <cstdint>

#include "CorvaneMessage.h"
#include "CorvaneQuery.h"
#include "CorvaneQueryResponse.h"

constexpr size_t CV_FRAME_HEADER_SIZE = 5;
constexpr uint8_t CV_FRAME_KIND_QUERY = 0;    // query, or response from the server
constexpr uint8_t CV_FRAME_KIND_MESSAGE = 1;  // message, either direction
// The BER decoder's limit for nested structures.
constexpr size_t CV_DECODE_MAX_STACK = 30000;
// Longest hex dump of a frame in the decode failure message, in characters.
constexpr size_t CV_DECODE_DUMP_MAX = 2000;

// A serialization cursor: `buf` is the next byte to write, `size` the room left.
struct cv_serial_buf {
    unsigned char* buf;
    size_t size;
};

// Write a 32-bit big-endian value / one byte and advance the cursor; 0 or -1.
int put4(cv_serial_buf* buf, uint32_t value);
int put1(cv_serial_buf* buf, uint8_t value);

// DER-encodes `query`. `size` is the capacity on entry and the encoded length
// on success. When a fileMulti query does not fit with its execution context,
// it is encoded without it and `*truncated` (optional) is set to 1; the
// caller's query is not modified. 0 or -1.
int cv_encode_query(CorvaneQuery_t* query, unsigned char* buffer, size_t* size, uint8_t* truncated);
// The same, as a kind-0 frame. `size` is the frame's capacity / length.
int cv_encode_query_tcp(CorvaneQuery_t* query, unsigned char* frame, size_t* size, uint8_t* truncated);
// The kind-0 frame of the whole query (execution context included) when it
// fits in `size`; nothing is logged when it does not. 0 or -1.
int cv_encode_query_tcp_whole(CorvaneQuery_t* query, unsigned char* frame, size_t* size);
// A kind-1 frame carrying `message`.
int cv_encode_message(CorvaneMessage_t* message, unsigned char* frame, size_t* size);

// BER-decodes the payload of a received frame of `length` bytes into the
// caller's zeroed value (which the caller frees, also after a failure). 0 or -1.
int cv_decode_response(const unsigned char* frame, size_t length, CorvaneQueryResponse_t* response);
int cv_decode_message(size_t length, const unsigned char* frame, CorvaneMessage_t* message);
