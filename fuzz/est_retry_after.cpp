// Retry-After handling of a 202: the input is a header block, one
// "name: value" per line.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "est/est_http.h"
#include "est_fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool once = (est_fuzz_logging(), true);
    (void)once;
    if (size > 20000) {
        return 0;
    }
    static const char status[] = "HTTP/1.1 202 Accepted\r\n";
    std::vector<unsigned char> buf(status, status + sizeof status - 1);
    buf.insert(buf.end(), data, data + size);
    static const char tail[] = "\r\n\r\n";
    buf.insert(buf.end(), tail, tail + 4);
    int len = (int)buf.size();
    buf.push_back('\0');

    HTTP_HEADER hdrs[EST_HTTP_MAX_HEADERS];
    int body_offset = 0;
    int count = parse_http_headers(buf.data(), len, hdrs, &body_offset);
    if (count < 0 || count > EST_HTTP_MAX_HEADERS || body_offset > len) {
        abort();
    }
    est_context ctx {};
    ctx.retry_after_delay = 7;
    int rv = est_io_parse_http_retry_after_resp(&ctx, hdrs, count);
    if (rv == EST_ERR_CA_ENROLL_RETRY) {
        if (ctx.retry_after_delay < 0) {
            abort();
        }
    } else if (rv != EST_ERR_INVALID_RETRY_VALUE || ctx.retry_after_delay != 0) {
        abort();
    }
    return 0;
}
