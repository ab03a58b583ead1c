// The asynchronous query engine against the testbed cloud server:
// piggy-backing, limits, txids, stale responses, time-outs, lost connections,
// shutdown, and a chaos stress run that counts every callback.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <future>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>

#include "cloud/cloud_client_fixture.h"
#include "cloud/cloud_test_util.h"
#include "cloud/corvane_samples.h"
#include "cloud/cv_cloud_transport.h"

using namespace cloud_client_test;

namespace {

testbed::QueryHook delay_all(std::chrono::milliseconds ms) {
    return [ms](const testbed::ReceivedQuery&) { return testbed::Reply::defaults().delayed(ms); };
}

// A `fileMulti` lookup of about `bytes` bytes (a long file path).
CorvaneQuery_t* large_file_multi_query(size_t bytes) {
    CorvaneQuery_t* query = new_query(CorvaneQueryData_PR_fileMulti);
    CorvaneFileMulti_t& multi = query->data.choice.fileMulti;
    multi.qtype = 1;
    const std::string path(bytes, 'p');
    OCTET_STRING_fromBuf(&multi.filepath, path.data(), static_cast<int>(path.size()));
    return query;
}

}  // namespace

TEST_F(CloudClientTest, HalfSentLookupIsAnsweredOnceTheServerReadsAgain) {
    // Small socket buffers at both ends, so that a large frame backs up
    // while the server does not read.
    server_.stop();
    testbed::CloudServerOptions small;
    small.identity = &pki().server();
    small.client_ca = pki().ca().cert();
    small.receive_buffer = 4096;
    ASSERT_TRUE(server_.start(small));
    auto opts = options();
    opts.timeout = {10, 0};
    start(opts);
    ASSERT_EQ(submit(file_query(1), 1), 1);
    ASSERT_TRUE(recorder_.wait_for(1, 5s));
    ASSERT_TRUE(_cv_lock_rw(handle_.get(), &handle_->socket_lock, 0));
    const int send_buffer = 4096;
    EXPECT_EQ(setsockopt(handle_->socket, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer), 0);
    _cv_unlock_rw(handle_.get(), &handle_->socket_lock);

    trace_capture traces;
    cv_log_capture log;
    server_.pause_reading(1s);
    ASSERT_EQ(submit(large_file_multi_query(60000), 2), 1);
    ASSERT_TRUE(recorder_.wait_for(2, 15s));
    auto calls = recorder_.calls(2);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].status, CV_STATUS_FIRST);
    EXPECT_EQ(calls[0].response_type, CorvaneQueryResponseData_PR_fileMultiResponse);
    // The frame did not go out at once; its rest went on its own, nothing else queued.
    EXPECT_TRUE(log.contains("_cv_worker_tx(): writing the "));
    EXPECT_EQ(server_.stats().queries, 2);
    EXPECT_EQ(server_.stats().handshakes, 1);
    handle_.reset();  // its workers log into `log` until they stop
}

TEST_F(CloudClientTest, QueuedLookupsGoOutInOneWriteAndNoFrameIsCutToFit) {
    // The transmit worker asks the provisioning callback before it connects:
    // held there until everything is queued, it finds the whole queue.
    struct Gate {
        std::promise<void> open;
        std::shared_future<void> opened = open.get_future().share();
        bool released = false;
        void release() {
            if (!released)
                open.set_value();
            released = true;
        }
        static int callback(cv_cloud_handle*, uint8_t*, void* self) {
            static_cast<Gate*>(self)->opened.wait();
            return 0;
        }
    } gate;
    struct Cleanup {
        Gate& gate;
        handle_ptr& handle;
        ~Cleanup() {
            gate.release();
            handle.reset();
        }
    } cleanup{gate, handle_};
    auto opts = options();
    opts.timeout = {10, 0};
    opts.provision_cb = Gate::callback;
    opts.provision_data = &gate;
    start(opts);
    trace_capture traces;
    cv_log_capture log;
    constexpr int kSmall = 20;
    for (int i = 0; i < kSmall; i++)
        ASSERT_EQ(submit(file_query(i), i), 1);
    // With its execution context it fits a frame alone, not behind the
    // others; without, it would fit there too.
    CorvaneQuery_t* large = large_file_multi_query(59800);
    large->data.choice.fileMulti.ctx = corvane_samples::exec_ctx({std::string(5000, 'a')}, nullptr);
    ASSERT_EQ(submit(large, kSmall), 1);
    gate.release();

    ASSERT_TRUE(recorder_.wait_for(kSmall + 1, 10s));
    for (int i = 0; i <= kSmall; i++)
        EXPECT_EQ(recorder_.calls(i).at(0).status, CV_STATUS_FIRST) << i;  // the large one not truncated either
    std::vector<std::string> writes;
    for (const std::string& line : log.lines()) {
        const size_t at = line.find("_cv_send_tcp(): queued to ");
        if (at == std::string::npos)
            continue;
        const size_t from = line.find(", ", at) + 2;
        writes.push_back(line.substr(from, line.find(" frame(s)", from) - from));
    }
    EXPECT_EQ(writes, (std::vector<std::string>{std::to_string(kSmall), "1"}));
}

TEST_F(CloudClientTest, NewConnectionIsReadAtOnceAndShutdownEndsTheIdleWaits) {
    // Workers idle 5 s at a time: the answer on the new connection and the
    // shutdown must not wait for the end of a period (bounds well below it).
    handle_ = make_handle(options(), 0, true, nullptr, 5000);
    ASSERT_NE(handle_, nullptr);
    ASSERT_EQ(submit(file_query(1), 1), 1);
    ASSERT_TRUE(recorder_.wait_for(1, 3s));
    EXPECT_EQ(recorder_.calls(1).at(0).status, CV_STATUS_FIRST);
    EXPECT_EQ(server_.stats().handshakes, 1);
    // Lose the connection: the receive worker goes back to waiting for one.
    server_.stop();
    auto stopped = std::async(std::launch::async, [&] { handle_.reset(); });
    EXPECT_EQ(stopped.wait_for(3s), std::future_status::ready);
    stopped.wait();
}

TEST_F(CloudClientTest, IdleConnectedWorkersSleepUntilAnEventAndLetGoOfTheSocketAtOnce) {
    // The bounds below are far from both sides: an idle wait lasts up to
    // CV_IDLE_WAIT_USEC (5 s), while workers that passed every 100 ms made
    // about 30 passes a second.
    using clock = std::chrono::steady_clock;
    auto opts = options();
    opts.timeout = {1, 0};
    start(opts);
    ASSERT_EQ(submit(file_query(1), 1), 1);
    ASSERT_TRUE(recorder_.wait_for(1, 3s));
    std::this_thread::sleep_for(200ms);
    const uint64_t before = cv_cloud_get_stats(handle_.get()).worker_wakeups;
    std::this_thread::sleep_for(1s);
    EXPECT_LE(cv_cloud_get_stats(handle_.get()).worker_wakeups - before, 5u);

    // A thread that takes the socket lock exclusively does not wait for the
    // receive worker's socket wait to run out.
    auto began = clock::now();
    _cv_disconnect(handle_.get(), 1, 0);
    EXPECT_LT(clock::now() - began, 1s);

    // A time-out still fires on time, from a periodic worker asleep until it.
    server_.set_hook([](const testbed::ReceivedQuery&) { return testbed::Reply::drop(); });
    began = clock::now();
    ASSERT_EQ(submit(file_query(2), 2), 1);
    ASSERT_TRUE(recorder_.wait_for(2, 4s));
    EXPECT_EQ(recorder_.calls(2).at(0).status, CV_STATUS_FIRST | CV_STATUS_FAILED | CV_STATUS_TIMEOUT);
    EXPECT_GE(clock::now() - began, 1s);
    EXPECT_LT(clock::now() - began, 2500ms);

    // Shutdown ends the receive worker's socket wait at once.
    ASSERT_TRUE(server_.wait_for_queries(2, 3s));
    std::this_thread::sleep_for(200ms);
    began = clock::now();
    handle_.reset();
    EXPECT_LT(clock::now() - began, 1s);
}

TEST_F(CloudClientTest, IdenticalFileLookupsShareOneRequest) {
    start(options());
    server_.set_hook(delay_all(300ms));
    ASSERT_EQ(submit(file_query(1, 100), 0), 1);
    ASSERT_EQ(submit(file_query(1, 200), 1), 0);  // another filesize, same identity
    ASSERT_EQ(submit(file_query(2, 100), 2), 1);
    ASSERT_TRUE(recorder_.wait_for(3, 5s));
    auto a = recorder_.calls(0), b = recorder_.calls(1), c = recorder_.calls(2);
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(a[0].status, CV_STATUS_FIRST);
    EXPECT_EQ(b[0].status, 0u);
    EXPECT_EQ(a[0].response, b[0].response);  // one response for both
    EXPECT_EQ(b[0].query_txid, a[0].query_txid);
    EXPECT_EQ(a[0].response_type, CorvaneQueryResponseData_PR_fileResponse);
    EXPECT_EQ(server_.queries_of_type(CorvaneQueryData_PR_file), 2);
    EXPECT_EQ(cv_cloud_get_stats(handle_.get()).piggybacked, 1u);
}

// Identity compares whole hashes, with the same order whether or not the
// engine could pack a query's identity into its record: hashes sharing
// their first bytes, lengths around the packed prefix, and qtypes that do
// not pack, checked against a plain model of the identity.
TEST_F(CloudClientTest, FileIdentityIsTheWholeHashWhateverItsShape) {
    auto opts = options();
    opts.timeout = {60, 0};
    start(opts);
    server_.set_hook([](const testbed::ReceivedQuery&) { return testbed::Reply::drop(); });
    using Identity = std::tuple<long, long, std::string>;  // qtype, htype, hash
    auto query = [](const Identity& id) {
        CorvaneQuery_t* q = file_query(0);
        q->data.choice.file.qtype = std::get<0>(id);
        q->data.choice.file.htype = std::get<1>(id);
        const std::string& hash = std::get<2>(id);
        OCTET_STRING_fromBuf(&q->data.choice.file.hash, hash.data(), static_cast<int>(hash.size()));
        return q;
    };
    std::set<Identity> outstanding;
    std::mt19937 random(7);
    const long qtypes[] = {1, 2, -1, 70000};
    const size_t sizes[] = {4, 8, 9, 32};
    for (int i = 0; i < 400; i++) {
        // Few values per byte, so that prefixes and whole hashes repeat.
        std::string hash(sizes[random() % 4], 'h');
        for (size_t b = 0; b < hash.size(); b++)
            hash[b] = static_cast<char>(b < 8 ? 'a' + random() % 2 : random() % 3);
        const Identity id{qtypes[random() % 4], 3, hash};
        const int expected = outstanding.insert(id).second ? 1 : 0;
        ASSERT_EQ(submit(query(id), i), expected) << "lookup " << i;
    }
    EXPECT_GT(cv_cloud_get_stats(handle_.get()).piggybacked, 50u);
    EXPECT_GT(outstanding.size(), 150u);
}

TEST_F(CloudClientTest, RepeatLimitPingAndAsyncLimit) {
    auto opts = options();
    opts.timeout = {1, 0};
    start(opts, 2);
    server_.set_hook([](const testbed::ReceivedQuery&) { return testbed::Reply::drop(); });
    cv_log_capture log;
    ASSERT_EQ(submit(file_query(1), 0), 1);
    for (int i = 1; i < MAX_REPEAT_QUERIES; i++)
        ASSERT_EQ(submit(file_query(1, i), i), 0) << i;
    EXPECT_EQ(submit(file_query(1), 1000), CV_ASYNC_ERR_REPEAT_LIMIT);
    EXPECT_TRUE(log.contains("MAX_REPEAT_QUERIES (1000) reached, refusing to piggy-back query."));

    ASSERT_EQ(submit(ping_query(), 2000), 1);
    EXPECT_EQ(submit(ping_query(), 2001), CV_ASYNC_ERR_NO_PIGGYBACK);
    EXPECT_TRUE(log.contains("can't piggy-back existing 3 query"));
    EXPECT_EQ(submit(file_query(2), 3000), CV_ASYNC_ERR_LIMIT);  // two requests out: the limit
    EXPECT_TRUE(log.contains("cv_cloud_query_async(): async_limit (2) reached, refusing to queue query."));

    // Dropped by the server: all end by time-out, each exactly once.
    ASSERT_TRUE(recorder_.wait_for(MAX_REPEAT_QUERIES + 1, 10s));
    auto all = recorder_.all();
    EXPECT_EQ(all.size(), static_cast<size_t>(MAX_REPEAT_QUERIES + 1));
    for (const auto& entry : all) {
        ASSERT_EQ(entry.second.size(), 1u) << entry.first;
        uint32_t expected = CV_STATUS_FAILED | CV_STATUS_TIMEOUT;
        if (entry.first == 0 || entry.first == 2000)
            expected |= CV_STATUS_FIRST;
        EXPECT_EQ(entry.second[0].status, expected) << entry.first;
        EXPECT_EQ(entry.second[0].response_type, 0);
    }
    // The limit is free again.
    server_.set_hook(nullptr);
    EXPECT_EQ(submit(file_query(2), 3001), 1);
    ASSERT_TRUE(recorder_.wait_for(MAX_REPEAT_QUERIES + 2, 5s));
    EXPECT_EQ(recorder_.calls(3001).at(0).status, CV_STATUS_FIRST);
    EXPECT_EQ(server_.queries_of_type(CorvaneQueryData_PR_file), 2);
}

TEST_F(CloudClientTest, TxidsCycleThroughTheBucket) {
    start(options(), 3);
    std::vector<long> txids;
    for (int round = 0; round < 5; round++) {
        ASSERT_EQ(submit(file_query(round), round), 1);
        ASSERT_TRUE(recorder_.wait_for(round + 1, 5s));
        txids.push_back(recorder_.calls(round).at(0).query_txid);
    }
    // Never-used txids first, then the freed ones in the order they were freed.
    EXPECT_EQ(txids, (std::vector<long>{1, 2, 3, 1, 2}));
}

TEST_F(CloudClientTest, StaleAndDuplicateResponsesAreDropped) {
    start(options());
    server_.set_hook([](const testbed::ReceivedQuery& q) {
        if (q.txid == 1)
            return testbed::Reply::defaults().with_txid(999);  // unknown txid: the query is not answered
        return testbed::Reply::defaults().twice();
    });
    ASSERT_EQ(submit(file_query(1), 1), 1);
    ASSERT_EQ(submit(file_query(2), 2), 1);
    ASSERT_TRUE(recorder_.wait_for(2, 6s));
    EXPECT_EQ(recorder_.calls(2).at(0).status, CV_STATUS_FIRST);
    EXPECT_EQ(recorder_.calls(1).at(0).status, CV_STATUS_FIRST | CV_STATUS_FAILED | CV_STATUS_TIMEOUT);
    // Give the duplicate time to arrive; it must not call anything again.
    ASSERT_TRUE(server_.wait_until([&] { return server_.stats().responses >= 3; }, 3s));
    ASSERT_TRUE(eventually([&] { return cv_cloud_get_stats(handle_.get()).stale_responses >= 2; }, 3s));
    EXPECT_EQ(recorder_.total(), 2);
    EXPECT_EQ(recorder_.calls(1).size(), 1u);
    EXPECT_EQ(recorder_.calls(2).size(), 1u);
}

TEST_F(CloudClientTest, DispositionFourIsAFailure) {
    start(options());
    server_.set_hook([](const testbed::ReceivedQuery&) {
        return testbed::Reply::defaults().edited([](CorvaneQueryResponse_t& r) { r.header.disposition = 4; });
    });
    ASSERT_EQ(submit(file_query(1), 1), 1);
    ASSERT_TRUE(recorder_.wait_for(1, 5s));
    auto c = recorder_.calls(1).at(0);
    EXPECT_EQ(c.status, CV_STATUS_FIRST | CV_STATUS_FAILED);
    EXPECT_EQ(c.response_type, CorvaneQueryResponseData_PR_fileResponse);
}

TEST_F(CloudClientTest, LostConnectionSendsAgainWithTheSameTxid) {
    auto opts = options();
    opts.timeout = {3, 0};
    start(opts);
    // The first arrival of each txid loses the connection (closed, or cut in
    // the middle of the answer); the second is answered.
    std::mutex mutex;
    std::map<long, int> seen;
    server_.set_hook([&](const testbed::ReceivedQuery& q) {
        std::lock_guard<std::mutex> guard(mutex);
        int n = ++seen[q.txid];
        if (n > 1)
            return testbed::Reply::defaults();
        return q.txid % 2 ? testbed::Reply::close() : testbed::Reply::close_mid_frame();
    });
    ASSERT_EQ(submit(file_query(1), 1), 1);
    ASSERT_TRUE(recorder_.wait_for(1, 5s));
    ASSERT_EQ(submit(file_query(2), 2), 1);
    ASSERT_TRUE(recorder_.wait_for(2, 5s));
    for (int i = 1; i <= 2; i++) {
        auto c = recorder_.calls(i);
        ASSERT_EQ(c.size(), 1u);
        EXPECT_EQ(c[0].status, CV_STATUS_FIRST) << i;
        EXPECT_EQ(c[0].response_txid, i);
        EXPECT_EQ(server_.queries_with_txid(i), 2) << i;
    }
    EXPECT_GE(server_.stats().handshakes, 3);
}

TEST_F(CloudClientTest, QueriesWaitForTheServerUntilTheirTimeOut) {
    // Nothing listens: queries stay queued across connection attempts and
    // only the time-out ends them.
    auto opts = options();
    opts.timeout = {1, 0};
    server_.stop();
    start(opts);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(submit(file_query(i), i), 1);
    ASSERT_TRUE(recorder_.wait_for(3, 5s));
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(recorder_.calls(i).at(0).status, CV_STATUS_FIRST | CV_STATUS_FAILED | CV_STATUS_TIMEOUT);
}

TEST_F(CloudClientTest, ShutdownFailsOutstandingQueriesOnce) {
    auto opts = options();
    opts.timeout = {30, 0};
    start(opts);
    server_.set_hook([](const testbed::ReceivedQuery&) { return testbed::Reply::drop(); });
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(submit(file_query(i), i), 1);
    ASSERT_EQ(submit(file_query(0, 5), 10), 0);
    ASSERT_TRUE(server_.wait_for_queries(3, 5s));
    handle_.reset();
    EXPECT_EQ(recorder_.total(), 4);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(recorder_.calls(i).at(0).status, CV_STATUS_FIRST | CV_STATUS_FAILED);
    EXPECT_EQ(recorder_.calls(10).at(0).status, CV_STATUS_FAILED);
}

TEST_F(CloudClientTest, AsyncWaitReturnsWhenAllFinished) {
    start(options());
    server_.set_hook(delay_all(200ms));
    for (int i = 0; i < 20; i++)
        ASSERT_EQ(submit(file_query(i), i), 1);
    ASSERT_EQ(cv_cloud_async_wait(handle_.get()), 0);
    EXPECT_EQ(recorder_.total(), 20);
}

TEST_F(CloudClientTest, CallbacksMaySubmitAgain) {
    start(options());
    struct Chain {
        cv_cloud_handle* handle;
        std::atomic<int> done{0};
        static int callback(CorvaneQuery_t* query, CorvaneQueryResponse_t*, uint32_t, void* self) {
            auto* c = static_cast<Chain*>(self);
            free_query(query);
            if (++c->done < 5)
                cv_cloud_query_async(c->handle, file_query(c->done), callback, c);
            return 0;
        }
    } chain;
    chain.handle = handle_.get();
    ASSERT_EQ(cv_cloud_query_async(handle_.get(), file_query(0), Chain::callback, &chain), 1);
    ASSERT_TRUE(eventually([&] { return chain.done.load() >= 5; }, 10s));
    ASSERT_EQ(cv_cloud_async_wait(handle_.get()), 0);
}

// While answers flow, the receive worker sends what is queued at the end of
// each pass, and submitters leave the transmit worker asleep; when the
// receive worker turns to wait, it must wake the transmit worker for what
// was queued since. Here a lookup is submitted as if the receive worker were
// between a pass and its wait (the flag it would leave set is set by hand),
// six slow lookups keep it queued, and the workers idle 20 s at a time: it
// must not wait for the slow answers.
TEST_F(CloudClientTest, ReceiverTurningToWaitWakesTheSenderForWhatIsQueued) {
    server_.set_hook([](const testbed::ReceivedQuery& q) {
        static const uint8_t slow[] = {'7', '7', '7', '7'};
        const bool is_slow = std::search(q.der.begin(), q.der.end(), slow, slow + 4) != q.der.end();
        return is_slow ? testbed::Reply::defaults().delayed(5s) : testbed::Reply::defaults();
    });
    auto opts = options();
    opts.timeout = {10, 0};
    handle_ = make_handle(opts, 0, true, nullptr, 20000);
    ASSERT_NE(handle_, nullptr);
    for (int i = 0; i < 6; i++)
        ASSERT_EQ(submit(file_query(i, 7777), i), 1);
    ASSERT_TRUE(eventually([&] { return server_.stats().queries == 6; }, 3s));

    // As if the receive worker had just written: the submitter leaves the
    // transmit worker asleep. The receive worker then turns to its wait again.
    handle_->async.rx_will_send = true;
    ASSERT_EQ(submit(file_query(6), 6), 1);
    _cv_wake_receiver(handle_.get());
    ASSERT_TRUE(recorder_.wait_for(1, 2s));
    EXPECT_EQ(recorder_.calls(6).at(0).status, CV_STATUS_FIRST);
    EXPECT_TRUE(recorder_.calls(0).empty()) << "the slow answers came first";
}

// A caller that waits for its answer reads it on its own thread while nobody
// else reads, and returns after its callback; answers of asynchronous lookups
// still come once each. A waiting caller may share an asynchronous lookup's
// request, which then finishes on the receive worker (it runs that caller's
// callback too), and a worker cannot wait (it would wait for itself).
TEST_F(CloudClientTest, WaitingCallerReadsItsOwnAnswer) {
    server_.set_hook([](const testbed::ReceivedQuery& q) {
        static const uint8_t slow[] = {'7', '7', '7', '7'};
        const bool is_slow = std::search(q.der.begin(), q.der.end(), slow, slow + 4) != q.der.end();
        return is_slow ? testbed::Reply::defaults().delayed(300ms) : testbed::Reply::defaults();
    });
    start(options());
    struct Own {
        cv_cloud_handle* handle = nullptr;
        std::atomic<int> calls{0};
        std::thread::id thread;
        bool answered = false;
        std::atomic<int> nested{1};  // what a wait from this callback returned
        static int callback(CorvaneQuery_t* query, CorvaneQueryResponse_t* response, uint32_t status, void* self) {
            auto* own = static_cast<Own*>(self);
            free_query(query);
            own->thread = std::this_thread::get_id();
            own->answered = response && !(status & CV_STATUS_FAILED);
            if (own->handle) {
                CorvaneQuery_t* again = file_query(999);
                own->nested = cv_cloud_query_wait(own->handle, again, callback, nullptr);
                free_query(again);
            }
            own->calls++;
            return 0;
        }
    };
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(submit(file_query(i, 7777), i), 1);
    int on_caller = 0;
    for (int i = 0; i < 20; i++) {
        Own own;
        ASSERT_EQ(cv_cloud_query_wait(handle_.get(), file_query(100 + i), Own::callback, &own), 1);
        EXPECT_EQ(own.calls.load(), 1);
        EXPECT_TRUE(own.answered);
        on_caller += own.thread == std::this_thread::get_id();
    }
    EXPECT_GT(on_caller, 0) << "every answer was read by the receive worker";
    ASSERT_TRUE(recorder_.wait_for(3, 5s));
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(recorder_.calls(i).size(), 1u);

    ASSERT_EQ(submit(file_query(50, 7777), 50), 1);
    Own twin;
    EXPECT_EQ(cv_cloud_query_wait(handle_.get(), file_query(50, 7777), Own::callback, &twin), CV_ASYNC_ATTACHED);
    EXPECT_EQ(twin.calls.load(), 1);
    EXPECT_TRUE(twin.answered);
    EXPECT_NE(twin.thread, std::this_thread::get_id()) << "the asynchronous caller's callback ran on the waiting caller";

    Own on_worker;
    on_worker.handle = handle_.get();
    ASSERT_EQ(cv_cloud_query_async(handle_.get(), file_query(60), Own::callback, &on_worker), 1);
    ASSERT_TRUE(eventually([&] { return on_worker.calls.load() == 1; }, 5s));
    EXPECT_EQ(on_worker.nested.load(), CV_ASYNC_ERR_ON_WORKER);
    ASSERT_TRUE(recorder_.wait_for(4, 5s));
    EXPECT_EQ(recorder_.calls(50).size(), 1u);
}

TEST_F(CloudClientTest, BadArgumentsAreRefused) {
    start(options());
    cv_log_capture log;
    CorvaneQuery_t* ios = new_query(CorvaneQueryData_PR_iosApp);
    EXPECT_EQ(submit(ios, 1), CV_ASYNC_ERR_TYPE);
    EXPECT_TRUE(log.contains("cv_cloud_query_async(): unsupported query type 9"));
    CorvaneQuery_t* refused = file_query(1);
    EXPECT_EQ(cv_cloud_query_async(nullptr, refused, Recorder::callback, nullptr), CV_ASYNC_ERR_SYNC_HANDLE);
    free_query(refused);
    cv_cloud_async_opts big{70000, 0};
    cv_cloud_opts opts = options();
    EXPECT_EQ(cv_cloud_init(CV_QUERY_METHOD_TCP, &opts, kEndpointUuid, "h", pki().client().pkey(),
                            pki().client().x509(), &big),
              nullptr);
    EXPECT_TRUE(log.contains("_cv_async_init(): unsupported limit 70000"));
    cv_cloud_free_opts(CV_QUERY_METHOD_TCP, &opts);
}

// Thousands of queries from several threads while the server drops, delays,
// duplicates, cuts frames and sends garbage: every callback runs exactly once.
// Half the threads wait for each answer (cv_cloud_query_wait): theirs ran
// when the call returns, and no thread of a caller runs another's callback.
TEST_F(CloudClientTest, ChaosStressEveryCallbackExactlyOnce) {
    auto opts = options();
    opts.timeout = {2, 0};
    opts.reconnect_wait = {0, 20000};
    start(opts);
    testbed::ChaosOptions chaos;
    chaos.seed = 7;
    chaos.drop = 0.01;
    chaos.close_mid_frame = 0.003;
    chaos.garbage = 0.003;
    chaos.duplicate = 0.02;
    chaos.delay = 0.05;
    chaos.max_delay = 300ms;
    chaos.max_events = 400;
    server_.set_chaos(chaos);

    constexpr int kThreads = 4;
    constexpr int kPerThread = 1000;
    constexpr int kPerWaitingThread = 250;  // a dropped answer holds a waiting thread for the time-out
    auto waits = [](int t) { return t % 2 == 1; };
    std::atomic<int> accepted{0};
    std::vector<std::thread> threads;
    std::vector<std::vector<int>> results(kThreads);
    std::vector<std::thread::id> callers(kThreads);
    std::atomic<int> returned_early{0};
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            callers[t] = std::this_thread::get_id();
            std::mt19937 rng(static_cast<unsigned>(t));
            for (int i = 0; i < (waits(t) ? kPerWaitingThread : kPerThread); i++) {
                const int index = t * kPerThread + i;
                // One in eight asks for a popular file: piggy-backing under load.
                const int identity = (rng() % 8 == 0) ? static_cast<int>(rng() % 16) : 100000 + index;
                CorvaneQuery_t* query = file_query(identity, i);
                int rc;
                if (waits(t)) {
                    rc = cv_cloud_query_wait(handle_.get(), query, Recorder::callback, recorder_.slot(index));
                    if (rc < 0)
                        free_query(query);
                    else if (recorder_.calls(index).size() != 1)
                        returned_early++;
                } else {
                    rc = submit(query, index);
                }
                results[t].push_back(rc);
                if (rc >= 0)
                    accepted++;
                if (i % 64 == 0)
                    std::this_thread::sleep_for(1ms);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(returned_early.load(), 0) << "a waiting call returned before its callback";
    ASSERT_TRUE(recorder_.wait_for(accepted.load(), 60s)) << recorder_.total() << " of " << accepted.load();
    ASSERT_EQ(cv_cloud_async_wait(handle_.get()), 0);
    auto all = recorder_.all();
    int firsts = 0;
    for (int t = 0; t < kThreads; t++) {
        for (int i = 0; i < static_cast<int>(results[t].size()); i++) {
            const int index = t * kPerThread + i;
            const int rc = results[t][i];
            auto it = all.find(index);
            if (rc < 0) {
                EXPECT_TRUE(it == all.end()) << index;
                continue;
            }
            ASSERT_TRUE(it != all.end()) << index;
            ASSERT_EQ(it->second.size(), 1u) << index;
            const Completion& c = it->second[0];
            EXPECT_EQ((c.status & CV_STATUS_FIRST) != 0, rc == 1) << index;
            if (c.response_type == 0) {
                EXPECT_TRUE(c.status & CV_STATUS_FAILED) << index;
            } else {
                EXPECT_EQ(c.status & (CV_STATUS_FAILED | CV_STATUS_TIMEOUT), 0u) << index;
            }
            if (c.status & CV_STATUS_TIMEOUT) {
                EXPECT_EQ(c.response_type, 0) << index;
            }
            firsts += rc == 1;
            // A caller's thread runs no callback but its own waiting one.
            for (int other = 0; other < kThreads; other++) {
                if (c.thread == callers[other]) {
                    EXPECT_TRUE(other == t && waits(t)) << index << " ran on caller " << other;
                }
            }
        }
    }
    EXPECT_EQ(recorder_.total(), accepted.load());
    EXPECT_GT(server_.stats().chaos_events, 0);
    EXPECT_GT(firsts, 0);
    // After the storm the handle still works.
    server_.clear_chaos();
    ASSERT_EQ(submit(file_query(424242), 1 << 20), 1);
    ASSERT_TRUE(recorder_.wait_for(accepted.load() + 1, 10s));
    EXPECT_EQ(recorder_.calls(1 << 20).at(0).status, CV_STATUS_FIRST);
}
