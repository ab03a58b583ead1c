// A test PKI made at run time: certificate authorities, server and client
// certificates (valid, expired, wrong-name, from a foreign authority), each
// available as OpenSSL objects, PEM text and files in a temporary directory.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

namespace testbed {

struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
struct PKeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509ReqFree {
    void operator()(X509_REQ* p) const { X509_REQ_free(p); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PKeyPtr = std::unique_ptr<EVP_PKEY, PKeyFree>;
using X509ReqPtr = std::unique_ptr<X509_REQ, X509ReqFree>;

enum class KeyType { P256, RSA2048 };

// What a certificate says. Validity is relative to now, in seconds.
struct CertSpec {
    std::string common_name;
    std::vector<std::string> dns_names;
    std::vector<std::string> ip_addresses;
    long not_before = -3600;
    long not_after = 30L * 24 * 3600;
    bool is_ca = false;
    KeyType key_type = KeyType::P256;
};

// A certificate with its key, as objects, PEM text and files.
struct Credential {
    X509Ptr cert;
    PKeyPtr key;
    std::string cert_pem;
    std::string key_pem;
    std::string cert_path;
    std::string key_path;

    X509* x509() const { return cert.get(); }
    EVP_PKEY* pkey() const { return key.get(); }
    // The subject in RFC 2253 form, e.g. "CN=dtk test client".
    std::string subject() const;
};

PKeyPtr generate_key(KeyType type);
std::string cert_to_pem(X509* cert);
std::string key_to_pem(EVP_PKEY* key);
X509Ptr cert_from_pem(const std::string& pem);
PKeyPtr key_from_pem(const std::string& pem);
std::string subject_text(X509* cert);  // RFC 2253; empty for null
// A certificate signing request for `key` with the given common name.
X509ReqPtr make_csr(EVP_PKEY* key, const std::string& common_name);

// A certificate authority: self-signed, issues certificates and signs CSRs.
class Authority {
public:
    // Creates the authority and writes "<stem>.crt"/"<stem>.key" into `dir`.
    Authority(const std::string& dir, const std::string& stem, const std::string& common_name);

    const Credential& credential() const { return ca_; }
    X509* cert() const { return ca_.x509(); }

    // Issues a certificate with a fresh key; files "<stem>.crt" and "<stem>.key".
    Credential issue(const CertSpec& spec, const std::string& stem);
    // Signs a request (EST simpleenroll): subject and public key from the
    // request, validity and names from `spec`. Null when the request's
    // signature does not verify.
    X509Ptr sign_csr(X509_REQ* csr, const CertSpec& spec);

private:
    X509Ptr make_cert(EVP_PKEY* subject_key, X509_NAME* subject, const CertSpec& spec, bool self_signed);

    std::string dir_;
    Credential ca_;
    long serial_ = 1;
};

// The standard set used by the tests. Everything lives in a fresh temporary
// directory, removed on destruction.
class Pki {
public:
    Pki();
    ~Pki();
    Pki(const Pki&) = delete;
    Pki& operator=(const Pki&) = delete;

    const std::string& dir() const { return dir_; }
    Authority& ca() { return *ca_; }
    Authority& foreign_ca() { return *foreign_ca_; }

    // Server for "localhost" and 127.0.0.1 (and "::1").
    const Credential& server() const { return server_; }
    const Credential& expired_server() const { return expired_server_; }
    // Valid, but only for "wrong.example" (no loopback names).
    const Credential& wrong_name_server() const { return wrong_name_server_; }
    // "CN=dtk test client" from the CA.
    const Credential& client() const { return client_; }
    const Credential& expired_client() const { return expired_client_; }
    // "CN=dtk foreign client" from the foreign CA.
    const Credential& foreign_client() const { return foreign_client_; }

    // More certificates from the test CA.
    Credential issue(const CertSpec& spec, const std::string& stem) { return ca_->issue(spec, stem); }

private:
    std::string dir_;
    std::unique_ptr<Authority> ca_;
    std::unique_ptr<Authority> foreign_ca_;
    Credential server_, expired_server_, wrong_name_server_, client_, expired_client_, foreign_client_;
};

}  // namespace testbed
