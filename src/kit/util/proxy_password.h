// Release of a proxy password fetched through a proxy record's getter.
#pragma once

#include "kit/http_client/http_client.h"

// Wipes `password` and releases it through `free_password`; a record without
// a release function gets its copy freed here (getters hand out malloc'd
// text), so the password neither leaks nor lingers. Null does nothing.
void tessel_proxy_password_release(tessel_proxy_free_password_fn free_password, char* password);
