// The WWW-Authenticate token reader and challenge parameter parser.
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
    if (size > 20000) {
        return 0;
    }
    std::vector<char> text(data, data + size);
    text.push_back('\0');

    // The token reader alone: every token lies inside the text and the walk ends.
    std::vector<char> copy = text;
    char* pos = copy.data();
    char* const end = copy.data() + size;
    for (size_t n = 0; n <= size + 1; n++) {
        char* token = est_io_next_token(&pos);
        if (!token) {
            break;
        }
        if (token < copy.data() || token > end || pos > end + 1) {
            abort();
        }
        if (n == size + 1) {
            abort();  // more tokens than bytes: the reader does not advance
        }
    }

    // The parameter parser on a context, as the 401 handling calls it.
    est_context ctx {};
    int rv = est_io_parse_auth_tokens(&ctx, text.data());
    if (rv != EST_ERR_NONE && rv != EST_ERR_INVALID_TOKEN) {
        abort();
    }
    if (strnlen(ctx.realm, sizeof ctx.realm) == sizeof ctx.realm ||
        strnlen(ctx.s_nonce, sizeof ctx.s_nonce) >= EST_MAX_NONCE_LEN ||
        strnlen(ctx.token_error, sizeof ctx.token_error) == sizeof ctx.token_error ||
        strnlen(ctx.token_error_desc, sizeof ctx.token_error_desc) == sizeof ctx.token_error_desc) {
        abort();
    }
    if (rv == EST_ERR_INVALID_TOKEN && ctx.s_nonce[0] != '\0') {
        abort();  // a failed parse leaves no server nonce behind
    }
    return 0;
}
