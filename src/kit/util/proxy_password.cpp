#include "kit/util/proxy_password.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>

void tessel_proxy_password_release(tessel_proxy_free_password_fn free_password, char* password) {
    if (!password) return;
    OPENSSL_cleanse(password, strlen(password));
    if (free_password)
        free_password(password);
    else
        free(password);
}
