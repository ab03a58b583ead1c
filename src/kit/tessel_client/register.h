// The management registration request: a form post of the endpoint's GUIDs,
// host name, install token, host-supplied key-value pairs and adapters to
// "<management URL>/register" over the kit HTTP client (mutual TLS).
#pragma once

#include <cstddef>
#include <cstdint>

#include "kit/http_client/http_client.h"
#include "kit/registration_manager/tessel_registration_manager.h"

constexpr size_t VESTA_MGMT_URL_SIZE = 513;
constexpr size_t VESTA_FORM_BODY_SIZE = 2049;  // at most 2048 characters

// What the kit builds for each request.
struct vesta_info {
    int64_t last_vesta_registration;  // carried, not sent
    char agent_guid[TESSEL_GUID_TEXT_SIZE];
    char business_guid[TESSEL_GUID_TEXT_SIZE];
    char affiliate_guid[TESSEL_GUID_TEXT_SIZE];
    char mgmt_url[VESTA_MGMT_URL_SIZE];
};

// Register result codes.
enum vesta_register_result {
    VESTA_REGISTER_OK = 0,
    VESTA_REGISTER_MISSING_ARGUMENT = 1,
    VESTA_REGISTER_INVALID_ARGUMENT = 2,  // GUID text not 36 characters, URL empty or too long
    VESTA_REGISTER_NO_ESCAPER = 3,        // no longer returned: the form escapes its values itself
    VESTA_REGISTER_NO_RESPONSE = 4,       // no request or no response
    VESTA_REGISTER_HTTP_STATUS = 8,       // an HTTP status other than 200
    VESTA_REGISTER_BODY_FAILED = 9,
};

// Posts the registration. `install_token` (the activation code text) may be
// null; *http_status receives the answer's status; `abort` (may be null) can
// end the post (a stop). A register result code.
int register_endpoint(const vesta_info* info, const vesta_host_info* host_info,
                      const vesta_registration_info* registration_info, const char* install_token,
                      uint32_t* http_status, http_client_handle* http_client,
                      const http_client_abort* abort = nullptr);

// Composes the form body into `body` (`size` bytes). A register result code;
// a pair that does not fit is left out whole, with every pair after it.
int register_compose_body(char* body, size_t size, const vesta_info* info, const vesta_host_info* host_info,
                          const vesta_registration_info* registration_info, const char* install_token);

// `body` with the value of every `name` pair replaced by "*****", for logging.
// The result is truncated to `size` bytes.
void register_mask_form_value(const char* body, const char* name, char* out, size_t size);
