#include "kit/tessel_init.h"

#include <curl/curl.h>
#include <pthread.h>

#include "kit/tessel_logger.h"

namespace {

pthread_once_t g_init_once = PTHREAD_ONCE_INIT;

void tessel_init_once() {
    if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
        TLOG_ERR("Failed to initialize curl.");
        return;
    }
    // One line per process that names the HTTP and TLS libraries in use.
    TLOG_DEBUG("initialized %s", curl_version());
}

}  // namespace

void tessel_init(void) { pthread_once(&g_init_once, tessel_init_once); }
