// Cloud registration: the cloud handle a registration run creates (with the
// options, hooks and proxy the kit gives the cloud client), the `reg` query
// that proves the endpoint to the cloud, and the proxy settings of a live
// cloud handle.
#pragma once

#include <cstdint>

#include "cloud/cv_cloud_handle.h"
#include "kit/http_client/http_client.h"

struct client_connector;
struct tessel_registration_handle;

// States 8 and 9 of a run: makes the connector's cloud handle if it has none
// and sends the registration query. The next state: 10 (registered), 9
// (failed, retry) or 0 (the certificate was rejected and has been dropped;
// the run starts over with certificate acquisition).
int cloud_registration(tessel_registration_handle* handle, client_connector* connector);
// A new cloud handle for the handle's current hosts in its connector (the old
// one is retired). `override` > 0 is the query time-out in seconds. 0 or -1.
int cloud_replace_handle(tessel_registration_handle* handle, int64_t override);
// Installs the connection failure and attempt hooks on the handle's current
// cloud handle.
void cloud_install_status_hooks(tessel_registration_handle* handle);
// Applies `proxy` to a live cloud handle (it reconnects through it). 0 or -1.
int cloud_set_proxy(cv_cloud_handle* cloud_handle, const tessel_proxy_t* proxy);

// A new cloud handle for `handle` (caller holds none of its locks); null on failure.
cv_cloud_handle* cloud_create_handle(tessel_registration_handle* handle, int64_t override);
