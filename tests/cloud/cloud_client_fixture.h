// Shared set-up of the cloud client tests: the testbed PKI, the testbed cloud
// server, handles with short intervals, query builders and a recorder of
// completion callbacks.
#pragma once

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cloud/cv_cloud.h"
#include "cloud/cv_cloud_async.h"
#include "cloud/cv_cloud_lock.h"
#include "corvane_runtime.h"
#include "testbed/cloud_server.h"
#include "testbed/pki.h"

namespace cloud_client_test {

using namespace std::chrono_literals;

inline const uint8_t kEndpointUuid[16] = {0xde, 0xad, 0xbe, 0xef, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

// One PKI per test process: key generation is the slow part.
inline testbed::Pki& pki() {
    static testbed::Pki instance;
    return instance;
}

inline void add_test_ca(X509_STORE* store, void* ca) {
    X509_STORE_add_cert(store, static_cast<X509*>(ca));
}

// Polls `pred` every 10 ms; true once it holds, false after `timeout`.
inline bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

struct handle_deleter {
    void operator()(cv_cloud_handle* h) const { cv_cloud_deinit(h); }
};
using handle_ptr = std::unique_ptr<cv_cloud_handle, handle_deleter>;

inline void free_query(CorvaneQuery_t* query) { ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, query); }

// A query with an empty header: the engine stamps, numbers and fills it.
inline CorvaneQuery_t* new_query(CorvaneQueryData_PR type) {
    corvane_asn1_init();
    auto* query = static_cast<CorvaneQuery_t*>(calloc(1, sizeof(CorvaneQuery_t)));
    query->data.present = type;
    return query;
}

// A `file` lookup whose identity is `n`; `size` only changes `filesize`.
inline CorvaneQuery_t* file_query(int n, int size = 100) {
    CorvaneQuery_t* query = new_query(CorvaneQueryData_PR_file);
    CorvaneFile_t& file = query->data.choice.file;
    std::string filesize = std::to_string(size);
    OCTET_STRING_fromBuf(&file.filesize, filesize.data(), static_cast<int>(filesize.size()));
    file.qtype = 1;
    file.htype = 3;
    uint8_t hash[32];
    for (size_t i = 0; i < sizeof hash; i++)
        hash[i] = static_cast<uint8_t>((n >> (8 * (i % 4))) + i);
    OCTET_STRING_fromBuf(&file.hash, reinterpret_cast<const char*>(hash), sizeof hash);
    return query;
}

inline CorvaneQuery_t* ping_query() {
    CorvaneQuery_t* query = new_query(CorvaneQueryData_PR_ping);
    query->data.choice.ping.product = 42;
    query->data.choice.ping.versionMajor = 1;
    return query;
}

// What one completion callback saw.
struct Completion {
    uint32_t status = 0;
    int response_type = 0;  // 0: no response
    long response_txid = -1;
    long query_txid = -1;
    const void* response = nullptr;
    std::thread::id thread;  // where the callback ran
};

// Records completion callbacks by the user data index; frees the queries.
class Recorder {
public:
    struct Slot {
        Recorder* recorder;
        int index;
    };

    // User data for query `index`.
    void* slot(int index) {
        std::lock_guard<std::mutex> guard(mutex_);
        auto& s = slots_[index];
        if (!s)
            s.reset(new Slot{this, index});
        return s.get();
    }

    static int callback(CorvaneQuery_t* query, CorvaneQueryResponse_t* response, uint32_t status, void* user_data) {
        auto* s = static_cast<Slot*>(user_data);
        Completion c;
        c.status = status;
        c.response_type = response ? static_cast<int>(response->data.present) : 0;
        c.response_txid = response ? response->header.txid : -1;
        c.query_txid = query->header.txid;
        c.response = response;
        c.thread = std::this_thread::get_id();
        free_query(query);
        std::lock_guard<std::mutex> guard(s->recorder->mutex_);
        s->recorder->calls_[s->index].push_back(c);
        s->recorder->total_++;
        s->recorder->cond_.notify_all();
        return 0;
    }

    bool wait_for(long total, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cond_.wait_for(lock, timeout, [&] { return total_ >= total; });
    }
    long total() {
        std::lock_guard<std::mutex> guard(mutex_);
        return total_;
    }
    std::vector<Completion> calls(int index) {
        std::lock_guard<std::mutex> guard(mutex_);
        return calls_[index];
    }
    std::map<int, std::vector<Completion>> all() {
        std::lock_guard<std::mutex> guard(mutex_);
        return calls_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    std::map<int, std::unique_ptr<Slot>> slots_;
    std::map<int, std::vector<Completion>> calls_;
    long total_ = 0;
};

class CloudClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        testbed::CloudServerOptions options;
        options.identity = &pki().server();
        options.client_ca = pki().ca().cert();
        ASSERT_TRUE(server_.start(options));
    }
    void TearDown() override {
        handle_.reset();
        server_.stop();
    }

    // Options with short intervals: no ping at start, 2 s time-out, 50 ms
    // between connection attempts, the test CA trusted.
    cv_cloud_opts options() {
        cv_cloud_opts opts;
        EXPECT_EQ(cv_cloud_initialize_opts(CV_QUERY_METHOD_TCP, &opts), 0);
        opts.flags = 0;
        opts.timeout = {2, 0};
        opts.reconnect_wait = {0, 50000};
        opts.trust_store_cb = add_test_ca;
        opts.trust_store_data = pki().ca().cert();
        return opts;
    }

    std::string server_text() const { return "127.0.0.1:" + std::to_string(server_.port()); }

    handle_ptr make_handle(cv_cloud_opts opts, uint32_t limit = 0, bool engine = true,
                           const testbed::Credential* client = nullptr, uint32_t worker_period_ms = 0) {
        if (!client)
            client = &pki().client();
        cv_cloud_async_opts async{limit, worker_period_ms};
        handle_ptr h(_cv_cloud_create(CV_QUERY_METHOD_TCP, &opts, kEndpointUuid, server_text().c_str(), client->pkey(),
                                      client->x509(), &async, engine));
        cv_cloud_free_opts(CV_QUERY_METHOD_TCP, &opts);
        return h;
    }

    void start(cv_cloud_opts opts, uint32_t limit = 0) {
        handle_ = make_handle(opts, limit);
        ASSERT_NE(handle_, nullptr);
    }

    // Submits a query; on refusal frees it and returns the result.
    int submit(CorvaneQuery_t* query, int index) {
        int rc = cv_cloud_query_async(handle_.get(), query, Recorder::callback, recorder_.slot(index));
        if (rc < 0)
            free_query(query);
        return rc;
    }

    testbed::CloudServer server_;
    handle_ptr handle_;
    Recorder recorder_;
};

// Captures trace lines too while it lives.
class trace_capture {
public:
    trace_capture() : old_(cv_log_set_trace_mask(CV_TRACE_WRITE | CV_TRACE_DEFAULT)) {}
    ~trace_capture() { cv_log_set_trace_mask(old_); }

private:
    uint32_t old_;
};

}  // namespace cloud_client_test
