// The registration manager: the kit's owner of one endpoint's registration.
// The host fills a `registration_config` (it keeps ownership of everything the
// record points to), creates a `tessel_registration_handle` from it, starts a
// registration run on the thread "register", re-points the handle at new hosts
// or a new proxy while it lives, and frees it.
//
// Lock order: handle `mutex`, then `data.lock`, then the client connector's
// mutex, then a cloud connection's `_mutex`. The run's thread-context mutex
// comes after the handle `mutex`.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "cloud/cv_cloud_handle.h"
#include "kit/http_client/http_client.h"

struct client_connector;
struct tessel_registration_handle;

// ---- Sizes and defaults ---------------------------------------------------------

constexpr size_t TESSEL_GUID_SIZE = 16;
constexpr size_t TESSEL_GUID_TEXT_SIZE = 37;  // 36 characters and the terminator
constexpr size_t TESSEL_IDENTITY_TEXT_SIZE = 72;
constexpr size_t TESSEL_USER_AGENT_SIZE = 8192;
constexpr size_t TESSEL_HOST_NAME_SIZE = 65;
constexpr size_t TESSEL_MGMT_URL_SIZE = 516;   // at most 512 characters are usable
constexpr size_t TESSEL_MGMT_URL_MAX_LEN = 512;
constexpr int64_t TESSEL_VESTA_REREGISTRATION_INTERVAL = 21600;  // six hours
constexpr uint32_t TESSEL_DEFAULT_PING_INTERVAL = 900;
constexpr uint32_t TESSEL_RETRY_EXPONENT_CAP = 5;

// ---- Registration status ----------------------------------------------------------

// The state of a registration run, reported after every step.
enum tessel_registration_status {
    tessel_registration_not_started = 0,
    tessel_registration_stopped = 1,
    tessel_certificate_acquisition_failed_forbidden = 2,
    tessel_certificate_acquisition_failed = 3,
    tessel_certificate_acquisition_duplicate_guid = 4,
    tessel_certificate_acquisition_missing_actcode = 5,
    tessel_certificate_acquisition_succeeded = 6,
    tessel_vesta_registration_failed = 7,
    tessel_vesta_registration_succeeded = 8,
    tessel_cloud_connection_failed = 9,
    tessel_cloud_connection_succeeded = 10,  // registration complete
    tessel_registration_status_max_count = 11,  // a count, never a state
};

// ---- Management registration records (filled by the host) ---------------------------

constexpr size_t VESTA_NIC_COUNT = 3;
constexpr size_t VESTA_NIC_NAME_SIZE = 56;
constexpr size_t VESTA_NIC_MAC_SIZE = 19;
constexpr size_t VESTA_NIC_IP_SIZE = 22;
constexpr size_t VESTA_NIC_IPV6_SIZE = 65;
constexpr size_t VESTA_ENTRY_COUNT = 28;
constexpr size_t VESTA_ENTRY_KEY_SIZE = 64;
constexpr size_t VESTA_ENTRY_VALUE_SIZE = 128;

struct vesta_nic_info {
    char name[VESTA_NIC_NAME_SIZE];  // not sent
    char friendly_name[VESTA_NIC_NAME_SIZE];
    char mac[VESTA_NIC_MAC_SIZE];
    char ip[VESTA_NIC_IP_SIZE];  // IPv4 text
    char ipv6[VESTA_NIC_IPV6_SIZE];
    uint8_t up;  // not sent
};

struct vesta_host_info {
    char hostname[TESSEL_HOST_NAME_SIZE];
    vesta_nic_info nics[VESTA_NIC_COUNT];
    uint8_t nic_count;  // entries used, 0..3
};

enum vesta_entry_type {
    VESTA_ENTRY_TEXT = 0,
    VESTA_ENTRY_NUMBER = 1,
};

struct vesta_registration_entry {
    char key[VESTA_ENTRY_KEY_SIZE];  // the form field name
    int32_t type;                    // vesta_entry_type
    char value[VESTA_ENTRY_VALUE_SIZE];
    uint32_t number;
};

struct vesta_registration_info {
    vesta_registration_entry entries[VESTA_ENTRY_COUNT];
    uint32_t count;  // entries used
};

// ---- Callbacks --------------------------------------------------------------------

// What `status_update_fn` receives after every step.
struct tessel_status_update_info {
    int32_t last_est_error;
    int32_t state;  // tessel_registration_status
};

// The run state; what `registration_completed_fn` receives when a run ends.
// The host may keep `connector`; the handle keeps it too and frees it.
struct tessel_registration_run_state {
    int32_t state;  // tessel_registration_status
    client_connector* connector;
};

typedef void (*tessel_status_update_fn)(const tessel_status_update_info* status_update_info, void* ctx);
typedef void (*tessel_registration_completed_fn)(const tessel_registration_run_state* registration_status, void* ctx);
// The kit keeps ownership of `cert`.
typedef void (*tessel_new_certificate_fn)(X509* cert, void* ctx);
// A malloc'ed buffer of 16 bytes holding a new agent GUID, or null; the kit frees it.
typedef uint8_t* (*tessel_new_guid_fn)(void* ctx);
// 0 register, 1 skip this registration, anything else failure.
typedef int (*tessel_prepare_vesta_registration_fn)(vesta_registration_info* registration_info,
                                                    vesta_host_info* host_info, void* ctx);
typedef void (*tessel_dns_resolver_fn)(void* ctx);
// A management post succeeded: the host records what it sent as registered.
typedef void (*tessel_vesta_registered_fn)(void* ctx);

// The callback table; each context is passed back as the last argument. Every
// callback but `dns_resolver_fn` runs with the handle's `mutex` held, so none
// may call kit operations on the same handle.
struct registration_callbacks {
    tessel_status_update_fn status_update_fn;
    void* status_update_ctx;
    tessel_registration_completed_fn registration_completed_fn;  // may be null
    void* registration_completed_ctx;
    tessel_new_certificate_fn new_certificate_fn;
    void* new_certificate_ctx;
    tessel_new_guid_fn new_guid_fn;  // required
    void* new_guid_ctx;
    tessel_prepare_vesta_registration_fn prepare_vesta_registration_fn;  // required
    void* prepare_vesta_registration_ctx;
    tessel_dns_resolver_fn dns_resolver_fn;  // may be null
    void* dns_resolver_ctx;
    tessel_vesta_registered_fn vesta_registered_fn;  // may be null
    void* vesta_registered_ctx;
};

// Server message handler for one message type.
struct registration_rcms_callback {
    uint32_t type;
    cv_cloud_msg_cb fn;
};

// Connection events told to `connection_status_fn`.
enum tessel_connection_event {
    TESSEL_CONNECTION_PROXY_TOGGLED = 1,         // repeated failures toggled the proxy
    TESSEL_CONNECTION_RESTORED_AFTER_TOGGLE = 2,  // a connection succeeded after a toggle
};

typedef void (*tessel_connection_status_fn)(int32_t event, tessel_registration_handle* handle, void* ctx);

// The host's cloud callbacks; deep-copied by the kit.
struct registration_cloud_callbacks {
    cv_cloud_ping_prepare_cb ping_prepare_fn;
    cv_cloud_ping_result_cb retrospective_fn;
    void* retrospective_ctx;
    cv_cloud_ping_result_cb policy_fn;
    void* policy_ctx;
    registration_rcms_callback* rcms_callbacks;
    int32_t rcms_callbacks_count;
    uint32_t ping_interval;  // seconds; 0 means 900
    tessel_connection_status_fn connection_status_fn;  // may be null
    void* connection_status_ctx;
};

// ---- Configuration ------------------------------------------------------------------

// Where registration goes; also the argument of `registration_update_config`.
// Copied as a whole (the copy keeps its own `proxy.username`).
struct registration_hosts {
    char est_host[TESSEL_HOST_NAME_SIZE];
    char cloud_host[TESSEL_HOST_NAME_SIZE];
    uint16_t cloud_port;  // the EST server's port; 443 expected
    char vesta_mgmt_url[TESSEL_MGMT_URL_SIZE];
    int64_t cloud_opt_override;  // > 0: the cloud query time-out in seconds
    tessel_proxy_t proxy;        // type -1 for none
};

// All-zero GUIDs count as absent.
struct registration_agent_identity {
    uint8_t agent_guid[TESSEL_GUID_SIZE];      // absent: the kit asks `new_guid_fn`
    uint8_t affiliate_guid[TESSEL_GUID_SIZE];  // required
    uint8_t business_guid[TESSEL_GUID_SIZE];   // required
    uint8_t actcode[TESSEL_GUID_SIZE];         // may be absent
    char devid[TESSEL_IDENTITY_TEXT_SIZE];
    char productid[TESSEL_IDENTITY_TEXT_SIZE];
    char product_version[TESSEL_IDENTITY_TEXT_SIZE];  // dotted four-part version
    char user_agent[TESSEL_USER_AGENT_SIZE];          // required, non-empty
};

struct registration_config {
    registration_agent_identity identity;
    X509* client_cert;                // may be null
    EVP_PKEY* client_keypair;         // required
    EVP_PKEY* legacy_client_keypair;  // may be null (RSA, for EKDSv1 enrolment)
    X509** system_trust_root_certs;
    uint32_t system_trust_root_certs_count;
    int32_t ekds_version;  // 0 detect, 1 EKDSv1, 2 EKDSv2
    registration_hosts hosts;
    int64_t last_cloud_registration;  // 0 when never
    int64_t last_vesta_registration;
    registration_callbacks callbacks;
    const registration_cloud_callbacks* cloud_callbacks;  // may be null
};

// ---- The handle -------------------------------------------------------------------

// One registration run's shared state (pointed to by the handle while the run lives).
struct tessel_register_thread_ctx {
    pthread_t thread;
    pthread_mutex_t mutex;  // guards `stop` and `joined`; `wake` waits on it
    uint8_t stop;
    uint8_t joined;         // the stopper joins the thread; it must not detach
    pthread_cond_t wake;    // signalled by a stop request; ends a back-off wait at once
};

struct tessel_registration_data {
    pthread_rwlock_t lock;
};

struct tessel_registration_handle {
    pthread_mutex_t mutex;
    void* hook_token;  // what the cloud client's hooks are given (registration_hook_gate.h)
    tessel_register_thread_ctx* thread_ctx;  // the running registration thread, or null

    uint8_t agent_guid[TESSEL_GUID_SIZE];
    uint8_t affiliate_guid[TESSEL_GUID_SIZE];
    uint8_t business_guid[TESSEL_GUID_SIZE];
    uint8_t* actcode;  // TESSEL_GUID_SIZE bytes of secret memory, left out of core files
    char devid[TESSEL_IDENTITY_TEXT_SIZE];
    char productid[TESSEL_IDENTITY_TEXT_SIZE];
    char product_version[TESSEL_IDENTITY_TEXT_SIZE];
    char user_agent[TESSEL_USER_AGENT_SIZE];

    X509* client_cert;                // reference held
    EVP_PKEY* client_keypair;         // reference held
    EVP_PKEY* legacy_client_keypair;  // own key object over the same RSA key
    X509** system_trust_root_certs;   // each duplicated
    uint32_t system_trust_root_certs_count;

    int32_t ekds_version;
    registration_hosts hosts;  // own copy of `hosts.proxy.username`
    registration_callbacks callbacks;
    registration_cloud_callbacks* cloud_callbacks;  // deep copy, or null

    int64_t last_cloud_registration;
    int64_t last_vesta_registration;

    // `data.lock` guards the proxy, `proxy_disabled`, `last_est_error` and the
    // retry timing, together with `mutex`.
    tessel_registration_data data;
    int32_t last_est_error;
    int64_t vesta_reregistration_interval;  // seconds

    struct client_connector* client_connector;
    uint8_t reprovisioning;  // a run started by the cloud's provisioning check is active

    uint32_t retry_exponent_cap;
    uint32_t attempt;  // back-off attempt counter

    uint8_t verbose;         // passed to the HTTP client
    uint8_t shutting_down;   // set by `tessel_registration_free`
    uint8_t proxy_disabled;  // connect directly instead of through the proxy
    uint8_t proxy_toggled;   // the last toggle was caused by connection failures
    uint32_t connection_failures;  // consecutive cloud connection failures
};

// ---- Handle operations -------------------------------------------------------------

// A handle built from `config`, or null (every failure is logged).
tessel_registration_handle* tessel_registration_new(const registration_config* config);
// Stops the registration thread and the periodic task, releases everything.
// Null is ignored.
void tessel_registration_free(tessel_registration_handle* handle);
// Starts a registration run; `retries` is -1 (retry forever) or the number of
// failed attempts the run may absorb. 0 or -1.
int tessel_registration_start(tessel_registration_handle* handle, int32_t retries);
// Asks the running registration thread to stop, without waiting.
void tessel_registration_stop(tessel_registration_handle* handle);
// Stores `proxy` and pushes it to the live HTTP client and cloud handle. 0 or -1.
int tessel_registration_set_proxy(tessel_registration_handle* handle, const tessel_proxy_t* proxy);
// New hosts (and ping interval) for a handle; a changed cloud host or port
// rebuilds the cloud handle, and on failure the previous cloud host, port and
// ping interval are put back. 0 or -1.
int registration_update_config(tessel_registration_handle* handle, const registration_hosts* hosts,
                               uint32_t ping_interval);

// ---- Registration thread and periodic task ------------------------------------------

// The body of `tessel_registration_start`. 0 or -1.
int tessel_register_start(tessel_registration_handle* handle, int32_t retries);
// Asks the run of `thread_ctx` to stop; `thread_out` (may be null) receives its
// thread; `joined` says whether the caller joins it. False without a context.
// The caller holds the handle's `mutex`.
bool tessel_register_request_stop(tessel_register_thread_ctx* thread_ctx, pthread_t* thread_out, bool joined);

// The process-wide task that renews the management registration. 0, or -1
// when already running or `handle` is null.
int tessel_periodic_start(tessel_registration_handle* handle);
// Stops and joins the periodic task if it runs.
void tessel_periodic_stop(void);
