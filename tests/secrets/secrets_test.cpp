// No secret in any log: every operation that handles one runs with every
// logger at its highest level (kit, cloud client writers on standard output,
// EST client, host), and nothing any of them wrote may contain a secret the
// operation was given, nor a plain encoding of it.
//
// Operations are the steps of one table; an operation that comes later
// (registration, proxy discovery, downloads, lookups) becomes one more step.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "CorvaneQueryResponse.h"
#include "Util.h"
#include "corvane_runtime.h"
#include "cloud/cv_cloud_est.h"
#include "cloud/cv_cloud_lock.h"
#include "dtk/IHttp.h"
#include "dtk/ProxyInfo.h"
#include "dtk/dtk.h"
#include "est/est.h"
#include "hostkit.h"
#include "kit/http_client/http_client.h"
#include "kit/tessel_init.h"
#include "kit/tessel_logger.h"
#include "persistent_config.h"
#include "proxy/ProxyConfig.h"
#include "proxy/ProxyPassword.h"
#include "proxy/platform_winhttp_support.h"
#include "support/log_capture.h"
#include "support/registration_stack.h"
#include "support/testbed_kit.h"
#include "testbed/cloud_queries.h"
#include "testbed/est_server.h"
#include "testbed/https_server.h"
#include "testbed/management_server.h"
#include "testbed/pki.h"
#include "testbed/http_file_server.h"
#include "testbed/proxies.h"

namespace fs = std::filesystem;

namespace {

// ---- Everything the loggers write --------------------------------------------

std::mutex g_est_mutex;
std::string g_est_text;

void est_sink(const char* format, va_list ap) {
    char line[8192];
    vsnprintf(line, sizeof line, format, ap);
    std::lock_guard<std::mutex> lock(g_est_mutex);
    g_est_text += line;
}

// Standard output goes to a file while the object lives: the cloud client's
// writers print there.
class StdoutCapture {
public:
    StdoutCapture() {
        char pattern[] = "/tmp/dtk-secrets-stdout-XXXXXX";
        fd_ = mkstemp(pattern);
        path_ = pattern;
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        if (fd_ >= 0 && saved_ >= 0) dup2(fd_, STDOUT_FILENO);
    }
    ~StdoutCapture() {
        restore();
        if (fd_ >= 0) close(fd_);
        unlink(path_.c_str());
    }
    void restore() {
        fflush(stdout);
        if (saved_ >= 0) {
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
            saved_ = -1;
        }
    }
    bool active() const { return fd_ >= 0 && saved_ >= 0; }
    std::string text() const {
        fflush(stdout);
        std::ifstream in(path_);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

private:
    std::string path_;
    int fd_ = -1;
    int saved_ = -1;
};

// Every logger at its highest level, each one's text kept apart.
class AllLogs {
public:
    AllLogs() {
        est_set_log_sink(est_sink);
        est_set_log_level(EST_LOG_LVL_INFO);
        previous_mask_ = cv_log_set_trace_mask(0xFFFFFFFFu);
    }
    ~AllLogs() {
        cv_log_set_trace_mask(previous_mask_);
        est_set_log_sink(nullptr);
    }

    std::map<std::string, std::string> texts() const {
        std::map<std::string, std::string> all;
        for (const auto& line : kit_.lines()) all["kit"] += line.text + "\n";
        for (const auto& line : host_.lines()) all["host"] += line + "\n";
        {
            std::lock_guard<std::mutex> lock(g_est_mutex);
            all["EST client"] = g_est_text;
        }
        all["cloud client (standard output)"] = stdout_.text();
        return all;
    }
    void end_capture() { stdout_.restore(); }
    bool capturing() const { return stdout_.active(); }
    // The host's log: the object layer's lines and, through the bridge, the kit's.
    const LogCapture& host() const { return host_; }

private:
    LogCapture host_;
    testbed::KitLogCapture kit_;
    StdoutCapture stdout_;
    uint32_t previous_mask_ = 0;
};

// ---- Secrets and the check ----------------------------------------------------

std::string base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string md5_hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(text.data(), text.size(), digest, &len, EVP_md5(), nullptr);
    std::string hex;
    char two[3];
    for (unsigned int i = 0; i < len; ++i) {
        snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

class Secrets {
public:
    void add(const std::string& what, const std::string& text) {
        ASSERT_GE(text.size(), 8u) << what << ": too short to be told apart from ordinary text";
        known_.push_back({what, text});
    }
    // A password, and what an HTTP exchange derives from it without hashing.
    void add_password(const std::string& what, const std::string& user, const std::string& password) {
        add(what, password);
        add(what + " (basic credentials)", base64(user + ":" + password));
    }
    // A private key's PEM, whole and line by line (a partial dump counts too).
    void add_key_pem(const std::string& what, const std::string& pem) {
        add(what, pem);
        std::istringstream lines(pem);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("-----", 0) != 0 && line.size() >= 16) add(what + " (a line)", line);
    }
    // A value sent in a form, also as it goes on the wire (every character
    // but letters and digits percent-encoded).
    void add_form_value(const std::string& what, const std::string& value) {
        add(what, value);
        std::string encoded;
        char three[4];
        for (unsigned char c : value) {
            if (isalnum(c)) {
                encoded += static_cast<char>(c);
            } else {
                snprintf(three, sizeof three, "%%%02X", c);
                encoded += three;
            }
        }
        if (encoded != value) add(what + " (form-encoded)", encoded);
    }
    // Each secret found in a logger's text, as failure text.
    std::vector<std::string> found_in(const std::map<std::string, std::string>& texts) const {
        std::vector<std::string> found;
        for (const auto& [logger, text] : texts)
            for (const auto& secret : known_)
                if (text.find(secret.text) != std::string::npos)
                    found.push_back(secret.what + " in the " + logger + " log");
        return found;
    }

private:
    struct Known {
        std::string what;
        std::string text;
    };
    std::vector<Known> known_;
};

// ---- The steps ------------------------------------------------------------------

// What every step may use: the test PKI, an HTTPS server demanding a client
// certificate, an EST server, the secrets, and the library's instance over
// its store with the registration servers it is configured for.
struct World {
    testbed::Pki& pki;
    testbed::HttpsServer& https;
    testbed::EstServer& est;
    Secrets& secrets;
    const AllLogs& logs;
    ITesselInstance* instance;
    hostkit::ConfigStore* store;
    testbed::RegistrationServers& servers;
};

constexpr char kProxyUser[] = "proxy-user";
std::string g_proxy_password;

char* get_proxy_password() { return strdup(g_proxy_password.c_str()); }
void free_proxy_password(char* password) {
    Util::ClearString(password);
    free(password);
}

// One GET through `type` at `port` with the kit's HTTP client (verbose, mutual
// TLS); the response's error and status.
std::pair<int32_t, int32_t> kit_get_through(World& w, int32_t type, uint16_t port) {
    auto handle = testbed::make_handle(w.pki, &w.pki.client());
    http_client_handle_set_verbose(handle.get(), true);
    tessel_proxy_t proxy{};
    proxy.type = type;
    snprintf(proxy.server, sizeof proxy.server, "127.0.0.1");
    proxy.port = port;
    proxy.auth = TESSEL_PROXY_AUTH_BASIC;
    proxy.username = const_cast<char*>(kProxyUser);
    proxy.get_password = get_proxy_password;
    proxy.free_password = free_proxy_password;
    EXPECT_EQ(http_client_handle_set_proxy(handle.get(), &proxy), 0);
    auto req = testbed::make_request(handle.get());
    EXPECT_EQ(http_client_request_set_write_mode(req.get(), HTTP_CLIENT_WRITE_MEMORY, nullptr, nullptr, nullptr, nullptr),
              0);
    auto resp = testbed::send(req.get(), w.https.url("/status/200"));
    if (!resp) return {-1, 0};
    return {resp->error, resp->status};
}

void kit_request_through_proxies(World& w) {
    w.secrets.add_key_pem("the kit's TLS client key", w.pki.client().key_pem);
    const std::string password = "Tiny-Pr0xy-Secret-4711";
    const std::string wrong = "Wrong-Pr0xy-Guess-0815";
    w.secrets.add_password("proxy password", kProxyUser, password);
    w.secrets.add_password("mistyped proxy password", kProxyUser, wrong);

    testbed::Tinyproxy http_proxy;
    ASSERT_TRUE(http_proxy.start(testbed::ProxyCredentials{kProxyUser, password}, {w.https.port()}));
    testbed::Microsocks socks;
    ASSERT_TRUE(socks.start(testbed::ProxyCredentials{kProxyUser, password}));
    for (auto [type, port] : {std::pair<int32_t, uint16_t>{TESSEL_PROXY_HTTP, http_proxy.port()},
                              {TESSEL_PROXY_SOCKS5, socks.port()}}) {
        g_proxy_password = password;
        auto [error, status] = kit_get_through(w, type, port);
        EXPECT_EQ(error, HTTP_CLIENT_OK) << "proxy type " << type;
        EXPECT_EQ(status, 200) << "proxy type " << type;
        // A refused password takes the failure paths, which log the most.
        g_proxy_password = wrong;
        std::tie(error, status) = kit_get_through(w, type, port);
        EXPECT_FALSE(error == HTTP_CLIENT_OK && status == 200) << "proxy type " << type;
    }
    g_proxy_password.clear();
}

// A CSR for a fresh key whose PEM is a secret.
testbed::PKeyPtr enrolment_key(World& w, const std::string& what) {
    testbed::PKeyPtr key = testbed::generate_key(testbed::KeyType::P256);
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    w.secrets.add_key_pem(what, std::string(data, static_cast<size_t>(len)));
    BIO_free(bio);
    return key;
}

int est_enrol(World& w, testbed::EstServer& server, EVP_PKEY* key, const std::string& user,
              const std::string& password, const testbed::Tinyproxy* proxy, const std::string& proxy_password) {
    const std::string& anchors = w.pki.ca().credential().cert_pem;
    est_context* ctx = est_client_init(reinterpret_cast<const unsigned char*>(anchors.c_str()),
                                       static_cast<int>(anchors.size()));
    if (!ctx) return -1;
    int rv = est_client_set_target(ctx, "127.0.0.1", server.port());
    if (rv == EST_ERR_NONE) rv = est_client_set_auth(ctx, user.c_str(), password.c_str());
    if (rv == EST_ERR_NONE && proxy)
        rv = est_client_use_proxy(ctx, EST_CLIENT_PROXY_HTTP_TUNNEL, "127.0.0.1", proxy->port(),
                                  EST_CLIENT_PROXY_AUTH_BASIC, kProxyUser, proxy_password.c_str());
    testbed::X509ReqPtr csr = testbed::make_csr(key, "dtk secrets test");
    int len = 0;
    if (rv == EST_ERR_NONE) rv = est_client_enroll_csr(ctx, csr.get(), &len, key);
    est_context_free(ctx);
    return rv;
}

void est_enrolment_with_basic_and_digest(World& w) {
    testbed::EstServer& server = w.est;
    const std::string user = "est-user";
    const std::string basic_password = "Est-Basic-Secret-2718";
    const std::string digest_password = "Est-Digest-Secret-3141";
    const std::string proxy_password = "Est-Pr0xy-Secret-1618";
    w.secrets.add_password("EST basic password", user, basic_password);
    w.secrets.add_password("EST digest password", user, digest_password);
    w.secrets.add_password("EST proxy password", kProxyUser, proxy_password);

    testbed::EstBehaviour basic;
    basic.auth = testbed::EstAuth::Basic;
    basic.user = user;
    basic.password = basic_password;
    server.set_behaviour(basic);
    testbed::Tinyproxy proxy;
    ASSERT_TRUE(proxy.start(testbed::ProxyCredentials{kProxyUser, proxy_password}, {server.port()}));
    testbed::PKeyPtr key = enrolment_key(w, "EST enrolment key");
    EXPECT_EQ(est_enrol(w, server, key.get(), user, basic_password, &proxy, proxy_password), EST_ERR_NONE);
    EXPECT_NE(est_enrol(w, server, key.get(), user, digest_password, nullptr, ""), EST_ERR_NONE)
        << "a wrong basic password was accepted";

    testbed::EstBehaviour digest = basic;
    digest.auth = testbed::EstAuth::Digest;
    digest.password = digest_password;
    server.set_behaviour(digest);
    // The digest's first hash stands for the password.
    w.secrets.add("EST digest password (HA1)", md5_hex(user + ":" + digest.realm + ":" + digest_password));
    EXPECT_EQ(est_enrol(w, server, key.get(), user, digest_password, nullptr, ""), EST_ERR_NONE);
    EXPECT_NE(est_enrol(w, server, key.get(), user, basic_password, nullptr, ""), EST_ERR_NONE)
        << "a wrong digest password was accepted";
}

// The cloud client's enrolment: a GUID signature as password, and the
// activation-code password of the second identity.
void cloud_client_enrolment(World& w) {
    testbed::EstServer& server = w.est;
    testbed::PKeyPtr key = enrolment_key(w, "cloud client key");
    const std::string guid = "3f2504e0-4f89-11d3-9a0c-0305e82c3301";

    cv_cloud_est_client_ctx ctx{};
    ctx.server = "127.0.0.1";
    ctx.port = server.port();
    ctx.trust_anchors_pem = w.pki.ca().credential().cert_pem.c_str();
    ctx.trust_anchors_len = static_cast<int>(w.pki.ca().credential().cert_pem.size());
    ctx.keypair = key.get();
    ctx.log_sink = est_sink;

    testbed::EstBehaviour signature;
    signature.auth = testbed::EstAuth::Basic;
    signature.verify_guid_signature = true;
    server.set_behaviour(signature);
    server.reset_stats();
    cv_cloud_est_client_ctx v1 = ctx;
    snprintf(v1.guid, sizeof v1.guid, "%s", guid.c_str());
    int err = -1;
    EXPECT_EQ(cv_cloud_est_enrollment(&v1, &err), 0);
    X509_free(v1.issued_cert);
    auto stats = server.stats();
    ASSERT_EQ(stats.authorizations.size(), 1u);
    const std::string basic = stats.authorizations[0].substr(strlen("Basic "));
    w.secrets.add("GUID signature (basic credentials)", basic);
    std::string pair(basic.size(), '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(pair.data()),
                            reinterpret_cast<const unsigned char*>(basic.data()), static_cast<int>(basic.size()));
    ASSERT_GT(n, static_cast<int>(guid.size()) + 1);
    pair.resize(strnlen(pair.c_str(), static_cast<size_t>(n)));
    w.secrets.add("GUID signature", pair.substr(guid.size() + 1));

    testbed::EstBehaviour v2_behaviour;
    v2_behaviour.auth = testbed::EstAuth::Basic;
    v2_behaviour.user = guid + ".qrv";
    v2_behaviour.password = "{\"actcode\":\"ACT-9F3K-77QZ\",\"devid\":\"d\",\"productid\":\"p,1\"}";
    server.set_behaviour(v2_behaviour);
    w.secrets.add_password("activation-code password", v2_behaviour.user, v2_behaviour.password);
    w.secrets.add("activation code", "ACT-9F3K-77QZ");
    cv_cloud_est_client_ctx_v2 v2{};
    snprintf(v2.username, sizeof v2.username, "%s", v2_behaviour.user.c_str());
    snprintf(v2.org, sizeof v2.org, "0b1c2d3e-0000-4000-8000-00000000abcd");
    v2.ctx = ctx;
    v2.ctx.password = v2_behaviour.password.c_str();
    EXPECT_EQ(cv_cloud_est_enrollment_v2(&v2, &err), 0);
    X509_free(v2.ctx.issued_cert);
    // Refused: the server demands another password.
    testbed::EstBehaviour refused = v2_behaviour;
    refused.password = "Some-Other-Password-99";
    server.set_behaviour(refused);
    v2.ctx.issued_cert = nullptr;
    EXPECT_NE(cv_cloud_est_enrollment_v2(&v2, &err), 0);
    X509_free(v2.ctx.issued_cert);
}

// The host's password utility, as the stored cipher texts use it.
void host_password_util(World& w) {
    const std::string clear = "Stored-Clear-Text-Secret-5772";
    w.secrets.add("stored cipher text's clear text", clear);
    IPasswordUtil* util = Util::CreatePClassInstance();
    ASSERT_NE(util, nullptr);
    uint8_t seed[IPasswordUtil::kSeedSize] = {7};
    uint8_t initial[IPasswordUtil::kKeySize] = {9};
    uint8_t key[IPasswordUtil::kKeySize];
    ASSERT_TRUE(util->PrepareKey(seed, initial, key));
    std::vector<uint8_t> cipher(util->CipherSize(clear.size()));
    size_t written = 0;
    EXPECT_TRUE(util->Encipher(key, reinterpret_cast<const uint8_t*>(clear.data()), clear.size(), cipher.data(),
                               cipher.size(), &written));
    std::vector<uint8_t> out(clear.size() + 16);
    EXPECT_TRUE(util->Decipher(key, cipher.data(), cipher.size(), out.data(), out.size(), &written));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data()), written), clear);
    cipher.back() ^= 1;
    EXPECT_FALSE(util->Decipher(key, cipher.data(), cipher.size(), out.data(), out.size(), &written));
    Util::RtlSecureZeroMemory(out.data(), out.size());
    Util::ReleasePClassInstance(util);
}

// A whole registration through the registration handler from an empty store:
// the activation code and the key pair it makes and stores.
void registration_through_the_handler(World& w) {
    const std::string actcode = "5ec2e7ac-7c0d-4e11-9a2b-00c0ffee1234";
    w.secrets.add("registration activation code", actcode);
    char pattern[] = "/tmp/dtk-secrets-reg-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;
    {
        std::string error;
        auto store = hostkit::ConfigStore::Open((dir / "config.db").string(), &error);
        ASSERT_TRUE(store) << error;
        testbed::RegistrationServers servers;
        ASSERT_TRUE(servers.Start(w.pki));
        testbed::RegistrationStack stack(store.get(), w.pki);
        ASSERT_TRUE(servers.StoreConfig(store.get(), &stack.persistent, w.pki, actcode.c_str()));
        stack.handler->PerformTesselRegistration();
        EXPECT_TRUE(stack.WaitRegistered(std::chrono::seconds(90)));
        w.secrets.add_key_pem("registration key pair", stack.Persistent("config/agent/client_keypair", "client_keypair"));
        stack.DestroyHandler();
        servers.Stop();
    }
    fs::remove_all(dir);
}

// ---- Through the instance -------------------------------------------------------

constexpr char kInstanceActcode[] = "9d1e4c2a-6b7f-4a3e-8c5d-acc0de5ec2e7";
constexpr char kPolicyPath[] = "/policy-536870912";  // the "policy" template, fetch bit 29

// Polls `done` every 20 ms until it holds or `bound` passes.
bool eventually(const std::function<bool()>& done, std::chrono::seconds bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

size_t count(const std::string& haystack, const std::string& needle) {
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + needle.size())) ++n;
    return n;
}

bool registered(ITesselInstance* instance) {
    return eventually([&] { return instance->IsRegistrationComplete() && instance->IsCloudConnected(); },
                      std::chrono::seconds(90));
}

// Completions of the lookups of one batch.
struct LookupBatch {
    std::mutex mutex;
    std::condition_variable done;
    int completed = 0;
    int answered = 0;
};

int on_lookup_done(CorvaneQuery* query, CorvaneQueryResponse* response, uint32_t status, void* user) {
    auto* batch = static_cast<LookupBatch*>(user);
    ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, query);
    // Notified under the lock: the waiter may free the batch once it sees the count.
    std::lock_guard<std::mutex> lock(batch->mutex);
    ++batch->completed;
    if (response && (status & 0x02)) ++batch->answered;
    batch->done.notify_all();
    return 0;
}

// `count` distinct lookups through the instance's cloud wrapper: every one is
// accepted and answered exactly once. As a host does, a lookup refused for want
// of a connection (a registration run restarting) is retried for a while.
void lookups_through_the_instance(World& w, long first, int count) {
    auto batch = std::make_unique<LookupBatch>();
    int accepted = 0;
    const auto retry_end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (long n = first; n < first + count; ++n) {
        CorvaneQuery_t* query = testbed::file_lookup(n);
        int queued = w.instance->GetCloudWrapper()->QueryAsync(query, on_lookup_done, batch.get());
        while (queued == -1 && std::chrono::steady_clock::now() < retry_end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            queued = w.instance->GetCloudWrapper()->QueryAsync(query, on_lookup_done, batch.get());
        }
        if (queued < 0)
            ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, query);
        else
            ++accepted;
    }
    EXPECT_EQ(accepted, count);
    // Every completion comes within the query time-out, which fails a lookup
    // that got no answer; the bound is for failure only.
    std::unique_lock<std::mutex> lock(batch->mutex);
    if (!batch->done.wait_for(lock, std::chrono::seconds(120), [&] { return batch->completed >= accepted; })) {
        lock.unlock();
        batch.release();  // a completion may still come: leaked rather than freed under it
        ADD_FAILURE() << "lookups without a completion";
        return;
    }
    EXPECT_EQ(batch->completed, accepted);
    EXPECT_EQ(batch->answered, accepted);
}

void registration_and_lookups_through_the_instance(World& w) {
    w.secrets.add_form_value("instance activation code", kInstanceActcode);
    hostkit::PersistentConfig persistent(w.store);
    ASSERT_TRUE(w.servers.StoreConfig(w.store, &persistent, w.pki, kInstanceActcode));
    w.instance->PerformTesselRegistration();
    ASSERT_TRUE(registered(w.instance));
    char* key = persistent.ReadString("config/agent/client_keypair", "client_keypair");
    ASSERT_NE(key, nullptr);
    w.secrets.add_key_pem("instance key pair", key);
    persistent.FreeString(key);
    lookups_through_the_instance(w, 1, 20);
}

// Policy and file downloads and a form post with the activation code, basic
// credentials and a token header, all with verbose transfers.
void facade_requests(World& w, const std::wstring& dir) {
    const std::string user = "form-user";
    const std::string password = "Form-Basic-Secret-6626";
    const std::wstring token = L"Bearer-Token-Secret-1414";
    w.secrets.add_password("facade basic password", user, password);
    w.secrets.add("facade token header", "Bearer-Token-Secret-1414");
    const size_t before = w.https.request_count();

    EXPECT_TRUE(w.instance->DownloadPolicy(0x20000000u, (dir + L"/policy.xml").c_str()));
    IHttp* http = w.instance->CreateHttp();
    ASSERT_NE(http, nullptr);
    http->SetVerboseLogging(true);
    http->SetQuietValues(true);
    ASSERT_EQ(http->Init("POST", w.https.url("/form").c_str(), nullptr, 0, 0), S_OK);
    EXPECT_EQ(http->SetCredentials(user.c_str(), password.c_str()), S_OK);
    EXPECT_EQ(http->AddHeaderNameValue(L"X-Agent-Token", token.c_str()), S_OK);
    const std::string code = kInstanceActcode;
    EXPECT_EQ(http->AddPostNameValue(L"actcode", std::wstring(code.begin(), code.end()).c_str()), S_OK);
    int32_t status = 0;
    char* body = nullptr;
    EXPECT_EQ(http->MakeRequest(&status, &body), S_OK);
    EXPECT_EQ(status, 200);
    free(body);
    auto* files = dynamic_cast<ITesselHttp*>(http);
    ASSERT_NE(files, nullptr);
    EXPECT_TRUE(files->DownloadFile(w.https.url("/status/200").c_str(), (dir + L"/file").c_str(), &status));
    EXPECT_FALSE(files->DownloadFile(w.https.url("/status/403").c_str(), (dir + L"/refused").c_str(), &status));
    w.instance->ReleaseHttp(http);

    http = w.instance->CreateHttp();
    ASSERT_EQ(http->Init("GET", w.https.url("/status/200").c_str(), nullptr, 0, 0), S_OK);
    EXPECT_EQ(http->MakeFileRequest(&status, (dir + L"/file2").c_str()), S_OK);
    w.instance->ReleaseHttp(http);

    // The secrets did reach the server: what the check watches was really sent.
    const auto requests = w.https.requests();
    const testbed::HttpRequest* form = nullptr;
    for (size_t i = before; i < requests.size(); ++i)
        if (requests[i].target == "/form") form = &requests[i];
    ASSERT_NE(form, nullptr) << "the form did not arrive";
    EXPECT_EQ(form->body, "actcode=9d1e4c2a%2D6b7f%2D4a3e%2D8c5d%2Dacc0de5ec2e7");
    EXPECT_EQ(form->header("X-Agent-Token"), "Bearer-Token-Secret-1414");
    EXPECT_EQ(form->header("Authorization"), "Basic " + base64(user + ":" + password));
}

void facade_downloads_and_form_post(World& w) {
    char pattern[] = "/tmp/dtk-secrets-facade-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    ASSERT_TRUE(w.store->SetSecureString("config/vesta/endpoint/policy/policy", w.https.url("/policy").c_str()));
    facade_requests(w, std::wstring(pattern, pattern + strlen(pattern)));
    fs::remove_all(pattern);
}

ProxyInfo proxy_info(const wchar_t* type, uint16_t port) {
    ProxyInfo info;
    info.type = type;
    info.server = L"127.0.0.1";
    info.port = port;
    info.discoveryMode = ProxyInfo::kConfigured;
    return info;
}

// Proxy tests and discovery through tinyproxy and microsocks that demand
// credentials; the proxy found is stored, and downloads, a registration and
// lookups then go through it.
void proxies_with_credentials_through_the_instance(World& w) {
    const std::string password = "Disc-Pr0xy-Secret-9973";
    const std::string wrong = "Wrong-Disc-Guess-2207";
    w.secrets.add_password("discovered proxy password", kProxyUser, password);
    w.secrets.add_password("mistyped discovered proxy password", kProxyUser, wrong);
    testbed::Tinyproxy tinyproxy;
    ASSERT_TRUE(tinyproxy.start(testbed::ProxyCredentials{kProxyUser, password}));
    testbed::Microsocks socks;
    ASSERT_TRUE(socks.start(testbed::ProxyCredentials{kProxyUser, password}));
    ASSERT_TRUE(w.store->SetSecureString(proxy_config::kTestUrl, w.https.url("/status/200").c_str()));

    // With the credentials in the candidate; a wrong password fails while
    // policy has none to retry with.
    const std::wstring wide_user(kProxyUser, kProxyUser + strlen(kProxyUser));
    for (auto [type, port] : {std::pair<const wchar_t*, uint16_t>{L"http_proxy", tinyproxy.port()},
                              {L"socks5", socks.port()}}) {
        ProxyInfo info = proxy_info(type, port);
        info.user = wide_user;
        info.password.assign(password.begin(), password.end());
        EXPECT_TRUE(w.instance->TestProxy(&info, w.store)) << port;
        info.password.assign(wrong.begin(), wrong.end());
        EXPECT_FALSE(w.instance->TestProxy(&info, w.store)) << port;
    }

    // Policy's credentials, and a system proxy whose URL carries them too.
    ASSERT_TRUE(w.store->SetSecureString(proxy_config::kUserName, kProxyUser));
    ASSERT_TRUE(StoreProxyPassword(w.store, password.c_str()));
    std::vector<uint8_t> cipher;
    ASSERT_TRUE(proxy_config::ReadBinary(w.store, proxy_config::View::Local, proxy_config::kPassword, &cipher));
    ASSERT_TRUE(w.store->SetSecureBinary(proxy_config::kPassword, cipher.data(), static_cast<uint32_t>(cipher.size())));
    ASSERT_TRUE(w.store->DeleteKey(hostkit::ConfigView::Local, proxy_config::kPassword));
    // Policy names the proxy its credentials may go to.
    ASSERT_TRUE(w.store->SetSecureString(proxy_config::kCredentialHosts,
                                         ("127.0.0.1:" + std::to_string(tinyproxy.port())).c_str()));
    ProxyInfo bare = proxy_info(L"http_proxy", tinyproxy.port());
    EXPECT_TRUE(w.instance->TestProxy(&bare, w.store)) << "retried with policy's credentials";
    proxytest::EnvScope env;
    env.clear_proxies();
    const std::string url = std::string("http://") + kProxyUser + ":" + password + "@127.0.0.1:" +
                            std::to_string(tinyproxy.port());
    env.set("http_proxy", url);
    env.set("https_proxy", url);
    ASSERT_TRUE(w.store->SetSecureInt(proxy_config::kSourceFlags, (1 << ProxyInfo::kSystem)));
    ProxyInfoList found;
    w.instance->DiscoverProxies(&found);
    EXPECT_GE(found.size(), 2u) << "the system proxy and the direct connection";
    // The system proxy comes before the direct connection: it is the one saved.
    EXPECT_TRUE(w.instance->DiscoverValidProxy(w.store));
    ASSERT_TRUE(w.instance->DiscoverAndSaveProxy());
    ProxyInfo* saved = w.instance->LoadProxyInfo();
    ASSERT_NE(saved, nullptr);
    EXPECT_EQ(saved->port, tinyproxy.port());
    EXPECT_EQ(saved->password, std::wstring(password.begin(), password.end()));
    w.instance->ReleaseProxyInfo(saved);
    // A background run tests the candidates the same way.
    const size_t runs = w.logs.host().count("exiting proxy discovery thread");
    w.instance->StartProxyDiscovery();
    EXPECT_TRUE(eventually([&] { return w.logs.host().count("exiting proxy discovery thread") > runs; },
                           std::chrono::seconds(60)));

    // The stored proxy carries the facade, a new registration and lookups.
    const size_t connects = count(tinyproxy.log_text(), "CONNECT");
    char pattern[] = "/tmp/dtk-secrets-proxied-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    facade_requests(w, std::wstring(pattern, pattern + strlen(pattern)));
    fs::remove_all(pattern);
    // The run that the new registration starts connects to the cloud through
    // the proxy; lookups wait for it (the connected verdict outlives a restart).
    char* cloud_host = w.store->GetString("config/agent/cloud/asn1_host");
    ASSERT_NE(cloud_host, nullptr);
    const std::string cloud_connect = std::string("CONNECT ") + cloud_host;
    w.store->FreeString(cloud_host);
    w.instance->PerformTesselRegistration();
    EXPECT_TRUE(eventually([&] { return tinyproxy.log_text().find(cloud_connect) != std::string::npos; },
                           std::chrono::seconds(90)))
        << tinyproxy.log_text();
    ASSERT_TRUE(registered(w.instance));
    lookups_through_the_instance(w, 100, 20);
    const std::string log = tinyproxy.log_text();
    EXPECT_NE(log.find("CONNECT 127.0.0.1:" + std::to_string(w.servers.management->port())), std::string::npos)
        << "the management registration went through the proxy";
    EXPECT_GT(count(log, "CONNECT"), connects + 3) << log;

    // Back to the direct connection for whatever follows.
    env.clear_proxies();
    ASSERT_TRUE(w.instance->DiscoverAndSaveProxy());
}

// A PAC file names a proxy that answers 407 asking for Basic: tested by
// discovery and by a proxy test, it is never offered policy's credentials
// (still configured by the step before), in clear or otherwise.
void discovered_proxy_asking_for_basic(World& w) {
    testbed::HttpFileServer stranger;
    stranger.challenge_as_proxy();
    ASSERT_TRUE(stranger.start());
    testbed::HttpFileServer pac;
    pac.serve("/proxy.pac", "function FindProxyForURL(url, host) { return \"PROXY 127.0.0.1:" +
                                std::to_string(stranger.port()) + "; DIRECT\"; }");
    ASSERT_TRUE(pac.start());
    ASSERT_TRUE(w.store->SetSecureInt(proxy_config::kSourceFlags, 1 << ProxyInfo::kPacFile));
    ASSERT_TRUE(w.store->SetSecureString(proxy_config::kPacLocation, pac.url("/proxy.pac").c_str()));

    ProxyInfoList found;
    w.instance->DiscoverProxies(&found);
    ASSERT_FALSE(found.empty());
    ProxyInfo candidate = found.front();
    EXPECT_EQ(candidate.port, stranger.port());
    EXPECT_FALSE(w.instance->TestProxy(&candidate, w.store));
    EXPECT_TRUE(w.instance->DiscoverValidProxy(w.store)) << "the direct connection";
    EXPECT_FALSE(stranger.heads().empty()) << "the stranger was tested";
    for (const std::string& head : stranger.heads())
        EXPECT_EQ(head.find("Proxy-Authorization"), std::string::npos) << "the stranger was offered credentials";

    ASSERT_TRUE(w.store->DeleteKey(hostkit::ConfigView::Secure, proxy_config::kPacLocation));
    ASSERT_TRUE(w.store->SetSecureInt(proxy_config::kSourceFlags, 0));
}

struct Step {
    const char* name;
    void (*run)(World&);
};

// Every operation that handles a secret; later operations join here.
const Step kSteps[] = {
    {"kit HTTP request through tinyproxy and microsocks with a proxy password", kit_request_through_proxies},
    {"EST enrolment with basic and digest passwords, through an authenticating proxy", est_enrolment_with_basic_and_digest},
    {"cloud client enrolment with a GUID signature and an activation code", cloud_client_enrolment},
    {"host password utility round trip and a refused cipher text", host_password_util},
    {"registration through the registration handler from an empty store", registration_through_the_handler},
    {"registration and lookups through the instance", registration_and_lookups_through_the_instance},
    {"policy and file downloads and a form with the activation code through the instance", facade_downloads_and_form_post},
    {"proxy tests and discovery with credentials, then downloads, registration and lookups through the proxy",
     proxies_with_credentials_through_the_instance},
    {"a proxy a PAC file names asks for Basic: policy's proxy credentials are not offered to it",
     discovered_proxy_asking_for_basic},
};

// ---- The test -------------------------------------------------------------------

class SecretsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/dtk-secrets-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::string error;
        store_ = hostkit::ConfigStore::Open((dir_ / "config.db").string(), &error);
        ASSERT_TRUE(store_) << error;
        win_api_ = CreateWinApiWrapper();
        ASSERT_NE(win_api_, nullptr);
        testbed::TlsServerOptions options;
        options.identity = &pki_.server();
        options.client_ca = pki_.ca().cert();
        options.require_client_cert = true;
        https_.on("/form", [](const testbed::HttpRequest&, testbed::HttpExchange& exchange) {
            exchange.respond(200, "accepted");
        });
        https_.on(kPolicyPath, [](const testbed::HttpRequest&, testbed::HttpExchange& exchange) {
            exchange.respond(200, "<policy/>");
        });
        ASSERT_TRUE(https_.start(options));
        ASSERT_TRUE(servers_.Start(pki_));
        testbed::EstServerOptions est_options;
        est_options.identity = &pki_.server();
        est_options.ca = &pki_.ca();
        ASSERT_TRUE(est_.start(est_options));
    }
    void TearDown() override {
        https_.stop();
        est_.stop();
        servers_.Stop();
        DeleteWinApiWrapper(win_api_);
        store_.reset();
        fs::remove_all(dir_);
    }

    fs::path dir_;
    std::unique_ptr<hostkit::ConfigStore> store_;
    IWinApiWrapper* win_api_ = nullptr;
    testbed::Pki pki_;
    testbed::HttpsServer https_;
    testbed::EstServer est_;
    testbed::RegistrationServers servers_;
};

TEST_F(SecretsTest, NoLoggerAtItsHighestLevelEverWritesASecret) {
    // The library is up, so kit lines also reach the host's log. The store is
    // also the process's configuration, as a host sets it.
    hostkit::SetGlobalConfig(store_.get());
    ASSERT_TRUE(InitTesselWrapper(store_.get(), win_api_));
    ITesselInstance* instance = CreateTesselWrapper();
    ASSERT_NE(instance, nullptr);
    std::map<std::string, std::string> found;
    std::map<std::string, size_t> written;
    {
        AllLogs logs;
        ASSERT_TRUE(logs.capturing());
        Secrets secrets;
        World world{pki_, https_, est_, secrets, logs, instance, store_.get(), servers_};

        // The check itself: a secret planted through each way of writing a
        // line (the object layer's are the host's error and trace) is seen in
        // its logger's text.
        tessel_log(TESSEL_LOG_DEBUG, "secrets_test.cpp", 1, "Canary-Kit-0042");
        est_log_write(EST_LOG_LVL_INFO, "%s", "Canary-Est-0042");
        cv_log_trace(CV_TRACE_VERBOSE, "%s", "Canary-Cloud-Trace-0042");
        cv_log_error("%s", "Canary-Cloud-Error-0042");
        error("%s", "Canary-Host-Error-0042");
        trace(kTesselTraceCategory, "%s", "Canary-Host-Trace-0042");
        const auto planted = logs.texts();
        const std::pair<const char*, const char*> canaries[] = {
            {"kit", "Canary-Kit-0042"},
            {"EST client", "Canary-Est-0042"},
            {"cloud client (standard output)", "Canary-Cloud-Trace-0042"},
            {"cloud client (standard output)", "Canary-Cloud-Error-0042"},
            {"host", "Canary-Host-Error-0042"},
            {"host", "Canary-Host-Trace-0042"},
        };
        for (const auto& [logger, canary] : canaries) {
            Secrets planted_one;
            planted_one.add(canary, canary);
            const auto seen = planted_one.found_in({{logger, planted.at(logger)}});
            EXPECT_EQ(seen.size(), 1u) << canary << " did not reach the check through the " << logger << " log";
        }

        for (const Step& step : kSteps) {
            SCOPED_TRACE(step.name);
            step.run(world);
            for (const std::string& leak : secrets.found_in(logs.texts()))
                found.emplace(leak, step.name);  // the first step that showed it
        }
        logs.end_capture();
        const auto texts = logs.texts();
        for (const auto& [logger, text] : texts) written[logger] = text.size() - planted.at(logger).size();
        // Standard output was in the capture: show every log when something failed.
        if (HasFailure())
            for (const auto& [logger, text] : texts) fprintf(stderr, "---- %s log\n%s", logger.c_str(), text.c_str());
    }
    ReleaseTesselWrapper(instance);
    DeinitTesselWrapper();
    hostkit::SetGlobalConfig(nullptr);
    for (const auto& [leak, step] : found) ADD_FAILURE() << leak << ", first after: " << step;
    // Every logger wrote during the steps: the check saw real output.
    for (const auto& [logger, size] : written) EXPECT_GT(size, 0u) << logger;
}

}  // namespace
