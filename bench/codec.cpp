// Encode and decode rates of the cloud protocol codec for a ping, a `file`
// query and a `fileMulti` query with 8 parents and 32 files, and for their
// responses, beside a plain copy of the same number of bytes (the ceiling).
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "../tests/cloud/corvane_samples.h"
#include "bench_result.h"
#include "cloud/cv_cloud_lock.h"

using namespace corvane_samples;

namespace {

struct sample {
    std::string name;
    asn_ptr<CorvaneQuery_t> query;
    asn_ptr<CorvaneQueryResponse_t> response;
};

std::vector<sample>& samples() {
    static std::vector<sample> all = [] {
        std::vector<sample> s;
        s.push_back({"ping", ping_query(200), response(CorvaneQueryResponseData_PR_pingResponse)});
        s.push_back({"file", file_query(), response(CorvaneQueryResponseData_PR_fileResponse)});
        s.push_back({"fileMulti_8x32", file_multi_query(8, 32),
                     response(CorvaneQueryResponseData_PR_fileMultiResponse, 32, 8)});
        return s;
    }();
    return all;
}

std::vector<unsigned char> query_frame(CorvaneQuery_t* query) {
    std::vector<unsigned char> out(TRANSPORT_MAX_SIZE);
    size_t size = out.size();
    if (cv_encode_query_tcp(query, out.data(), &size, nullptr) != 0)
        return {};
    out.resize(size);
    return out;
}

void count(benchmark::State& state, size_t bytes) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["frame_bytes"] = static_cast<double>(bytes);
}

void encode_query(benchmark::State& state, CorvaneQuery_t* query) {
    std::vector<unsigned char> out(TRANSPORT_MAX_SIZE);
    size_t size = 0;
    for (auto _ : state) {
        size = out.size();
        if (cv_encode_query_tcp(query, out.data(), &size, nullptr) != 0)
            state.SkipWithError("encode failed");
        benchmark::DoNotOptimize(out.data());
    }
    count(state, size);
}

void decode_query(benchmark::State& state, const std::vector<unsigned char>& frame_bytes) {
    for (auto _ : state) {
        CorvaneQuery_t* query = nullptr;
        asn_dec_rval_t rv = ber_decode(nullptr, &asn_DEF_CorvaneQuery, reinterpret_cast<void**>(&query),
                                       frame_bytes.data() + CV_FRAME_HEADER_SIZE,
                                       frame_bytes.size() - CV_FRAME_HEADER_SIZE);
        if (rv.code != RC_OK)
            state.SkipWithError("decode failed");
        ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, query);
    }
    count(state, frame_bytes.size());
}

void encode_response(benchmark::State& state, CorvaneQueryResponse_t* resp) {
    std::vector<unsigned char> out(TRANSPORT_MAX_SIZE);
    size_t size = 0;
    for (auto _ : state) {
        asn_enc_rval_t rv = der_encode_to_buffer(&asn_DEF_CorvaneQueryResponse, resp,
                                                 out.data() + CV_FRAME_HEADER_SIZE,
                                                 out.size() - CV_FRAME_HEADER_SIZE);
        if (rv.encoded < 0)
            state.SkipWithError("encode failed");
        cv_serial_buf cursor{out.data(), CV_FRAME_HEADER_SIZE};
        put4(&cursor, static_cast<uint32_t>(rv.encoded + 1));
        put1(&cursor, CV_FRAME_KIND_QUERY);
        size = static_cast<size_t>(rv.encoded) + CV_FRAME_HEADER_SIZE;
        benchmark::DoNotOptimize(out.data());
    }
    count(state, size);
}

void decode_response(benchmark::State& state, const std::vector<unsigned char>& frame_bytes) {
    for (auto _ : state) {
        auto* resp = static_cast<CorvaneQueryResponse_t*>(calloc(1, sizeof(CorvaneQueryResponse_t)));
        if (cv_decode_response(frame_bytes.data(), frame_bytes.size(), resp) != 0)
            state.SkipWithError("decode failed");
        ASN_STRUCT_FREE(asn_DEF_CorvaneQueryResponse, resp);
    }
    count(state, frame_bytes.size());
}

void copy_bytes(benchmark::State& state, size_t bytes) {
    std::vector<unsigned char> from(bytes, 0x5a), to(bytes);
    for (auto _ : state) {
        memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    count(state, bytes);
}

// The console report, and a RESULT line per encode/decode rate with the plain
// copy of the same sample's bytes as its ceiling.
class ResultReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const std::string name = run.benchmark_name();
            const double seconds = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            if (run.error_occurred || run.run_type != Run::RT_Iteration || seconds <= 0) continue;
            const std::string sample = name.substr(0, name.rfind('/'));
            const double rate = 1.0 / seconds;
            if (name.size() > 7 && name.compare(name.size() - 7, 7, "/memcpy") == 0) {
                copies_[sample] = rate;
            } else {
                rates_.push_back({name, rate, sample});
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const auto& r : rates_) {
            auto copy = copies_.find(r.sample);
            std::string figure = "codec_" + r.name;
            for (char& c : figure) if (c == '/') c = '_';
            bench_result(figure.c_str(), r.rate, "1/s", copy == copies_.end() ? NAN : copy->second);
        }
    }

private:
    struct Rate {
        std::string name;
        double rate;
        std::string sample;
    };
    std::vector<Rate> rates_;
    std::map<std::string, double> copies_;
};

}  // namespace

int main(int argc, char** argv) {
    cv_log_set_sink([](const char*, void*) {}, nullptr);
    for (auto& s : samples()) {
        auto qframe = query_frame(s.query.get());
        auto rframe = response_frame(s.response.get());
        if (qframe.empty() || rframe.empty()) {
            fprintf(stderr, "bench_codec: cannot encode the %s samples\n", s.name.c_str());
            return 1;
        }
        CorvaneQuery_t* query = s.query.get();
        CorvaneQueryResponse_t* resp = s.response.get();
        benchmark::RegisterBenchmark(("query/" + s.name + "/encode").c_str(), encode_query, query);
        benchmark::RegisterBenchmark(("query/" + s.name + "/decode").c_str(), decode_query, qframe);
        benchmark::RegisterBenchmark(("query/" + s.name + "/memcpy").c_str(), copy_bytes, qframe.size());
        benchmark::RegisterBenchmark(("response/" + s.name + "/encode").c_str(), encode_response, resp);
        benchmark::RegisterBenchmark(("response/" + s.name + "/decode").c_str(), decode_response, rframe);
        benchmark::RegisterBenchmark(("response/" + s.name + "/memcpy").c_str(), copy_bytes, rframe.size());
    }
    benchmark::Initialize(&argc, argv);
    ResultReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
