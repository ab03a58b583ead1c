// The EST response judgement: status line, header parser, content checks, and
// through 202 and 401 the Retry-After and WWW-Authenticate handling.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "est/est_http.h"
#include "est_fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool once = (est_fuzz_logging(), true);
    (void)once;
    if (size > 100000) {
        return 0;
    }
    // The reader hands over a NUL-terminated buffer.
    std::vector<unsigned char> buf(data, data + size);
    buf.push_back('\0');
    est_context ctx {};
    // The length picks the auth mode so both 401 branches are reached.
    ctx.auth_mode = (int)(size % 5);
    unsigned char* body = nullptr;
    int body_len = 0;
    int rv = est_io_judge_response(&ctx, buf.data(), (int)size, &body, &body_len);
    if (body) {
        if (rv != EST_ERR_NONE || body_len <= 0 || body[body_len] != '\0') {
            abort();
        }
        free(body);
    }
    if (rv == EST_ERR_CA_ENROLL_RETRY && ctx.retry_after_delay < 0) {
        abort();
    }
    if (strnlen(ctx.realm, sizeof ctx.realm) == sizeof ctx.realm ||
        strnlen(ctx.s_nonce, sizeof ctx.s_nonce) == sizeof ctx.s_nonce) {
        abort();
    }
    return 0;
}
