// What a server may send on one transfer of the kit's HTTP client: the schemes
// it may be reached by (also after a redirect), the most header bytes, the
// most body bytes, and a body whose end was seen.
#pragma once

#include <curl/curl.h>

#include <cstddef>

#include "kit/http_client/http_client.h"

// The schemes every request allows unless its owner widens them on the easy
// handle (the PAC fetch also allows plain http).
constexpr char HTTP_CLIENT_PROTOCOLS[] = "https";
// Most bytes of status line and header fields one response may have.
constexpr size_t HTTP_CLIENT_HEADER_LIMIT = size_t{256} << 10;

// Restricts a new easy handle to HTTP_CLIENT_PROTOCOLS, for the first request
// and for every redirect; false when libcurl refuses.
bool http_transfer_restrict_protocols(CURL* curl);

// Installs, for one send, the writers that hold the response to its request's
// limits: the header counter, and for write mode 1 and 2 the body limit
// (announced lengths past it fail before the body; chunks past it stop the
// transfer). False when an option cannot be set.
bool http_transfer_install_limits(http_client_request_t* req, http_client_response* resp);

// After libcurl reported success: true when the body's end was seen, i.e. a
// body as long as announced, a chunked body with its last chunk, or HTTP/2
// framing. A body that only the closing connection ended could have been cut
// anywhere.
bool http_transfer_body_whole(CURL* curl, long status);
