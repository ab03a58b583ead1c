#include "testbed/pki.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace testbed {

namespace {

struct BioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

std::string bio_text(BIO* bio) {
    char* data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    return len > 0 ? std::string(data, static_cast<size_t>(len)) : std::string();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("testbed: cannot write " + path);
}

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("testbed pki: ") + what);
}

void add_extension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    check(ext != nullptr, "extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

Credential finish(X509Ptr cert, PKeyPtr key, const std::string& dir, const std::string& stem) {
    Credential c;
    c.cert_pem = cert_to_pem(cert.get());
    c.key_pem = key_to_pem(key.get());
    c.cert = std::move(cert);
    c.key = std::move(key);
    c.cert_path = dir + "/" + stem + ".crt";
    c.key_path = dir + "/" + stem + ".key";
    write_file(c.cert_path, c.cert_pem);
    write_file(c.key_path, c.key_pem);
    return c;
}

}  // namespace

std::string Credential::subject() const { return subject_text(cert.get()); }

PKeyPtr generate_key(KeyType type) {
    EVP_PKEY* key = type == KeyType::P256 ? EVP_EC_gen("P-256") : EVP_RSA_gen(2048);
    check(key != nullptr, "key generation");
    return PKeyPtr(key);
}

std::string cert_to_pem(X509* cert) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    check(bio && PEM_write_bio_X509(bio.get(), cert) == 1, "PEM_write_bio_X509");
    return bio_text(bio.get());
}

std::string key_to_pem(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    check(bio && PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "PEM_write_bio_PrivateKey");
    return bio_text(bio.get());
}

X509Ptr cert_from_pem(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return X509Ptr(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

PKeyPtr key_from_pem(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return PKeyPtr(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

std::string subject_text(X509* cert) {
    if (!cert) return {};
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), X509_get_subject_name(cert), 0, XN_FLAG_RFC2253) < 0) return {};
    return bio_text(bio.get());
}

X509ReqPtr make_csr(EVP_PKEY* key, const std::string& common_name) {
    X509ReqPtr req(X509_REQ_new());
    check(req != nullptr, "X509_REQ_new");
    X509_REQ_set_version(req.get(), 0);
    X509_NAME* name = X509_REQ_get_subject_name(req.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(common_name.c_str()),
                               -1, -1, 0);
    check(X509_REQ_set_pubkey(req.get(), key) == 1, "X509_REQ_set_pubkey");
    check(X509_REQ_sign(req.get(), key, EVP_sha256()) > 0, "X509_REQ_sign");
    return req;
}

Authority::Authority(const std::string& dir, const std::string& stem, const std::string& common_name) : dir_(dir) {
    CertSpec spec;
    spec.common_name = common_name;
    spec.is_ca = true;
    spec.not_after = 10L * 365 * 24 * 3600;
    PKeyPtr key = generate_key(KeyType::P256);
    X509_NAME* name = X509_NAME_new();
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(common_name.c_str()), -1, -1, 0);
    // Self-signed: the certificate is its own issuer, signed by its own key.
    ca_.key = std::move(key);
    X509Ptr cert = make_cert(ca_.key.get(), name, spec, true);
    X509_NAME_free(name);
    PKeyPtr owned = std::move(ca_.key);
    ca_ = finish(std::move(cert), std::move(owned), dir_, stem);
}

X509Ptr Authority::make_cert(EVP_PKEY* subject_key, X509_NAME* subject, const CertSpec& spec, bool self_signed) {
    X509Ptr cert(X509_new());
    check(cert != nullptr, "X509_new");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial_++);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), spec.not_before);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), spec.not_after);
    X509_set_pubkey(cert.get(), subject_key);
    X509_set_subject_name(cert.get(), subject);
    X509* issuer = self_signed ? cert.get() : ca_.x509();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer));
    add_extension(cert.get(), issuer, NID_basic_constraints, spec.is_ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
    add_extension(cert.get(), issuer, NID_subject_key_identifier, "hash");
    add_extension(cert.get(), issuer, NID_authority_key_identifier, "keyid:always");
    if (spec.is_ca) {
        add_extension(cert.get(), issuer, NID_key_usage, "critical,keyCertSign,cRLSign,digitalSignature");
    } else {
        add_extension(cert.get(), issuer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
        add_extension(cert.get(), issuer, NID_ext_key_usage, "serverAuth,clientAuth");
    }
    std::string san;
    for (const auto& dns : spec.dns_names) san += (san.empty() ? "DNS:" : ",DNS:") + dns;
    for (const auto& ip : spec.ip_addresses) san += (san.empty() ? "IP:" : ",IP:") + ip;
    if (!san.empty()) add_extension(cert.get(), issuer, NID_subject_alt_name, san);
    check(X509_sign(cert.get(), ca_.key.get(), EVP_sha256()) > 0, "X509_sign");
    return cert;
}

Credential Authority::issue(const CertSpec& spec, const std::string& stem) {
    PKeyPtr key = generate_key(spec.key_type);
    X509_NAME* name = X509_NAME_new();
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(spec.common_name.c_str()), -1, -1, 0);
    X509Ptr cert = make_cert(key.get(), name, spec, false);
    X509_NAME_free(name);
    return finish(std::move(cert), std::move(key), dir_, stem);
}

X509Ptr Authority::sign_csr(X509_REQ* csr, const CertSpec& spec) {
    if (!csr) return nullptr;
    EVP_PKEY* pub = X509_REQ_get0_pubkey(csr);
    if (!pub || X509_REQ_verify(csr, pub) != 1) return nullptr;
    return make_cert(pub, X509_REQ_get_subject_name(csr), spec, false);
}

Pki::Pki() {
    std::string base = std::filesystem::temp_directory_path().string() + "/dtk-pki-XXXXXX";
    std::vector<char> tmpl(base.begin(), base.end());
    tmpl.push_back('\0');
    check(mkdtemp(tmpl.data()) != nullptr, "mkdtemp");
    dir_ = tmpl.data();
    ca_ = std::make_unique<Authority>(dir_, "ca", "dtk test CA");
    foreign_ca_ = std::make_unique<Authority>(dir_, "foreign-ca", "dtk foreign CA");

    CertSpec server;
    server.common_name = "localhost";
    server.dns_names = {"localhost"};
    server.ip_addresses = {"127.0.0.1", "::1"};
    server_ = ca_->issue(server, "server");
    CertSpec expired = server;
    expired.not_before = -2L * 24 * 3600;
    expired.not_after = -24L * 3600;
    expired_server_ = ca_->issue(expired, "server-expired");
    CertSpec wrong;
    wrong.common_name = "wrong.example";
    wrong.dns_names = {"wrong.example"};
    wrong_name_server_ = ca_->issue(wrong, "server-wrong-name");

    CertSpec client;
    client.common_name = "dtk test client";
    client_ = ca_->issue(client, "client");
    CertSpec expired_client = client;
    expired_client.common_name = "dtk expired client";
    expired_client.not_before = expired.not_before;
    expired_client.not_after = expired.not_after;
    expired_client_ = ca_->issue(expired_client, "client-expired");
    CertSpec foreign;
    foreign.common_name = "dtk foreign client";
    foreign_client_ = foreign_ca_->issue(foreign, "client-foreign");
}

Pki::~Pki() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

}  // namespace testbed
