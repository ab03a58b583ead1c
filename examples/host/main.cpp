// A host of libdtk in one page: hand the library a configuration store and
// the operating-system wrapper, wait for registration, ask the cloud about one
// file, tear down.
//
//   dtk-example-host STORE SHA256-HEX SIZE
//
// STORE is a configuration store with the back ends configured (dtk-agent
// config set ..., or dtk-testbed up --store STORE). Prints the cloud's
// disposition of the file and exits 0, or says what failed and exits 1.
#include <dtk/dtk.h>
#include <dtk/version.h>
#include <dtk/host/hostkit.h>
#include <dtk/asn1/CorvaneQuery.h>
#include <dtk/asn1/CorvaneQueryResponse.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// What the completion hands back to main; it runs on a cloud worker.
struct Answer {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    long disposition = -1;
    std::string name;
};

int OnAnswer(CorvaneQuery* query, CorvaneQueryResponse* response, uint32_t status, void* userData) {
    auto* answer = static_cast<Answer*>(userData);
    {
        std::lock_guard<std::mutex> lock(answer->mutex);
        if (response && !(status & 0x01)) {  // 0x01: failed or timed out
            answer->disposition = response->header.disposition;
            if (response->data.present == CorvaneQueryResponseData_PR_fileResponse) {
                const OCTET_STRING_t& name = response->data.choice.fileResponse.name;
                answer->name.assign(reinterpret_cast<const char*>(name.buf), name.buf ? name.size : 0);
            }
        }
        answer->finished = true;
    }
    answer->done.notify_one();
    ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, query);  // the query is the host's again
    return 0;
}

// A file query: SHA-256 digest (hash type 3) and size in decimal text.
CorvaneQuery* NewFileQuery(const std::string& hex, const std::string& size) {
    unsigned char digest[32];
    if (hex.size() != 64) return nullptr;
    for (size_t i = 0; i < 32; i++)
        if (sscanf(hex.c_str() + 2 * i, "%2hhx", &digest[i]) != 1) return nullptr;
    auto* query = static_cast<CorvaneQuery*>(calloc(1, sizeof(CorvaneQuery)));
    if (!query) return nullptr;
    query->data.present = CorvaneQueryData_PR_file;
    CorvaneFile_t& file = query->data.choice.file;
    file.qtype = 1;
    file.htype = 3;
    if (OCTET_STRING_fromBuf(&file.filesize, size.data(), static_cast<int>(size.size())) != 0 ||
        OCTET_STRING_fromBuf(&file.hash, reinterpret_cast<const char*>(digest), 32) != 0) {
        ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, query);
        return nullptr;
    }
    return query;
}

int Fail(const char* what) {
    fprintf(stderr, "dtk-example-host: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return Fail("usage: dtk-example-host STORE SHA256-HEX SIZE");
    std::string error;
    std::unique_ptr<hostkit::ConfigStore> store = hostkit::ConfigStore::Open(argv[1], &error);
    if (!store) return Fail(error.c_str());
    hostkit::SetGlobalConfig(store.get());
    std::unique_ptr<IWinApiWrapper, void (*)(IWinApiWrapper*)> winApi(CreateWinApiWrapper(), DeleteWinApiWrapper);
    printf("dtk headers %s\n", DTK_VERSION_STRING);

    if (!InitTesselWrapper(store.get(), winApi.get())) return Fail("InitTesselWrapper failed");
    ITesselInstance* instance = CreateTesselWrapper();
    int result = 1;
    if (instance) {
        instance->PerformTesselRegistration();
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (!instance->IsRegistrationComplete() && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!instance->IsRegistrationComplete()) {
            Fail("not registered within 60 s");
        } else {
            printf("registered\n");
            Answer answer;
            CorvaneQuery* query = NewFileQuery(argv[2], argv[3]);
            int queued = query ? instance->GetCloudWrapper()->QueryAsync(query, OnAnswer, &answer) : -3;
            // -1: the connection is being re-established; try again for a while.
            while (queued == -1 && Clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                queued = instance->GetCloudWrapper()->QueryAsync(query, OnAnswer, &answer);
            }
            if (queued < 0) {
                if (query) ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, query);
                Fail("the query was refused");
            } else {
                std::unique_lock<std::mutex> lock(answer.mutex);
                answer.done.wait_until(lock, Clock::now() + std::chrono::seconds(30), [&] { return answer.finished; });
                if (answer.disposition < 0) {
                    Fail("no answer from the cloud");
                } else {
                    printf("disposition %ld %s\n", answer.disposition, answer.name.c_str());
                    result = 0;
                }
            }
        }
        ReleaseTesselWrapper(instance);
    }
    // Outstanding queries are completed (failed) before Deinit returns.
    DeinitTesselWrapper();
    hostkit::SetGlobalConfig(nullptr);
    return result;
}
