// Switching between the configured proxy and a direct connection after
// repeated failures, when the proxy record allows it.
#pragma once

struct client_connector;
struct tessel_registration_handle;

// Applies the other of proxy / direct to the connector's HTTP client and cloud
// handle (`connector` null: the handle's) and flips `proxy_disabled`. Nothing
// happens unless the proxy's `allow_toggle` is set. Takes the handle's
// `mutex` and `data.lock`.
void registration_toggle_proxy(tessel_registration_handle* handle, client_connector* connector);
