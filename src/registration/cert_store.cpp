#include "registration/cert_store.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "host/Util.h"
#include "registration/openssl_ptr.h"

namespace {

struct Store {
    std::mutex mutex;
    std::vector<X509*> system;      // owned
    std::vector<X509*> configured;  // owned, none equal to a system certificate
};

Store& TheStore() {
    // Never destroyed: the store may be used until the process ends.
    static Store* store = new Store();
    return *store;
}

void FreeAll(std::vector<X509*>* certs) {
    for (X509* cert : *certs)
        X509_free(cert);
    certs->clear();
}

// A bundle of tens of thousands of entries is no trust store.
constexpr int kMaxBundleBlocks = 100000;

// One PEM block of the bundle as a certificate: null for blocks of other
// kinds (keys, parameters) and for certificates that do not decode.
X509* DecodeBlock(const char* name, const unsigned char* data, long length) {
    const bool trusted = strcmp(name, PEM_STRING_X509_TRUSTED) == 0;
    if (!trusted && strcmp(name, PEM_STRING_X509) != 0 && strcmp(name, PEM_STRING_X509_OLD) != 0)
        return nullptr;
    const unsigned char* p = data;
    X509* cert = trusted ? d2i_X509_AUX(nullptr, &p, length) : d2i_X509(nullptr, &p, length);
    if (!cert)
        error("cert_store_load(): Failed to convert certificate to X509 format");
    return cert;
}

// The platform's anchors in bundle order; false when the bundle cannot be opened.
bool ReadSystemAnchors(std::vector<X509*>* out) {
    BioPtr bio(BIO_new_file(cert_store_system_bundle(), "r"));
    if (!bio) {
        ERR_clear_error();
        return false;
    }
    for (int block = 0; block < kMaxBundleBlocks; ++block) {
        char* name = nullptr;
        char* header = nullptr;
        unsigned char* data = nullptr;
        long length = 0;
        ERR_clear_error();
        const long position = BIO_tell(bio.get());
        if (PEM_read_bio(bio.get(), &name, &header, &data, &length) != 1) {
            unsigned long err = ERR_peek_last_error();
            // The end, or a file that cannot be read on (a directory, an I/O error).
            if (err == 0 || ERR_GET_REASON(err) == PEM_R_NO_START_LINE || BIO_tell(bio.get()) == position)
                break;
            // A damaged block was consumed; the ones after it still count.
            error("cert_store_load(): Invalid certificate (CryptBinaryToString() %lu)", err);
            continue;
        }
        X509* cert = DecodeBlock(name, data, length);
        OPENSSL_free(name);
        OPENSSL_free(header);
        OPENSSL_clear_free(data, static_cast<size_t>(length));  // a bundle may hold a key by mistake
        if (cert)
            out->push_back(cert);
    }
    ERR_clear_error();
    return true;
}

bool AmongSystem(const Store& store, X509* cert) {
    for (X509* system : store.system)
        if (X509_cmp(system, cert) == 0)
            return true;
    return false;
}

bool AddConfigured(Store& store, X509* const* certs, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (!certs[i] || AmongSystem(store, certs[i]))
            continue;
        X509* copy = X509_dup(certs[i]);
        if (!copy) {
            error("_set_config_certsX509_dup failed (config trusted cert index: %lu)", static_cast<unsigned long>(i));
            return false;
        }
        store.configured.push_back(copy);
    }
    return true;
}

int LoadLocked(Store& store, X509* const* config_certs, size_t count) {
    if (!store.system.empty()) {
        error("cert_store_load(): Certificates already loaded, unload certificates first to free existing certificates");
        return -1;
    }
    if (!ReadSystemAnchors(&store.system)) {
        error("cert_store_load(): The %s store could not be opened.", "ROOT");
        return -1;
    }
    if (store.system.empty()) {
        error("cert_store_load(): no certificates were found in %s store", "ROOT");
        return -1;
    }
    FreeAll(&store.configured);
    if (config_certs && count > 0 && !AddConfigured(store, config_certs, count))
        error("cert_store_load: Failed to add trusted certs from config");
    return 0;
}

}  // namespace

const char* cert_store_system_bundle() {
    const char* env = getenv(X509_get_default_cert_file_env());
    return env && *env ? env : X509_get_default_cert_file();
}

int cert_store_load(X509* const* config_certs, size_t count) {
    Store& store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    return LoadLocked(store, config_certs, count);
}

int cert_store_reload(X509* const* config_certs, size_t count) {
    Store& store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    FreeAll(&store.system);
    FreeAll(&store.configured);
    return LoadLocked(store, config_certs, count);
}

int cert_store_retrieve_certs(X509*** certs, uint32_t* count) {
    if (!certs || !count)
        return -1;
    Store& store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    const size_t total = store.system.size() + store.configured.size();
    *certs = nullptr;
    *count = 0;
    if (total == 0)
        return 0;
    X509** array = static_cast<X509**>(calloc(total, sizeof(X509*)));
    if (!array) {
        error("cert_store_retrieve_certs(): calloc failed");
        return -1;
    }
    size_t n = 0;
    // References, not copies: certificates are never modified once loaded.
    for (const std::vector<X509*>* list : {&store.system, &store.configured})
        for (X509* cert : *list)
            if (X509_up_ref(cert) == 1)
                array[n++] = cert;
    *certs = array;
    *count = static_cast<uint32_t>(n);
    return 0;
}

int cert_store_unload() {
    Store& store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    FreeAll(&store.system);
    FreeAll(&store.configured);
    return 0;
}
