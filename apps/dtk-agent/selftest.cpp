// selftest: loads libdtk.so as a host would, drives its life cycle once and
// prints every log line the library wrote to the host.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "agent_commands.h"
#include "dtk/dtk.h"
#include "hostkit.h"
#include "library.h"

namespace agent {
namespace {

// Counts failed checks. Error lines the library logs are expected only while
// a check that provokes a refusal runs; any other error line is a failure,
// since a healthy life cycle logs none.
class Checker {
public:
    void Expect(bool ok, const char* what) {
        printf("%s %s\n", ok ? "ok  " : "FAIL", what);
        fflush(stdout);
        if (!ok)
            ++m_failures;
    }
    // Runs `call`, during which the library is expected to log an error.
    template <class Call>
    void ExpectRefusal(Call call, const char* what) {
        m_refusalExpected = true;
        const bool refused = call();
        m_refusalExpected = false;
        Expect(refused, what);
    }
    void OnError(const std::string& line) {
        printf("  %s %s\n", m_refusalExpected ? "expected error:" : "log error:", line.c_str());
        fflush(stdout);
        if (!m_refusalExpected)
            ++m_failures;
    }
    int Failures() const { return m_failures; }

private:
    int m_failures = 0;
    bool m_refusalExpected = false;
};

}  // namespace

int SelfTest(const Options& options) {
    Checker check;
    // The library's log lines, as the host receives them.
    hostkit::SetLogSink([&check](hostkit::LogKind kind, uint64_t category, const std::string& line) {
        if (kind == hostkit::LogKind::Error) {
            check.OnError(line);
            return;
        }
        printf("  log trace 0x%llx: %s\n", static_cast<unsigned long long>(category), line.c_str());
        fflush(stdout);
    });

    // Unless a store was named, the selftest works on a store of its own.
    std::string storePath = options.storePath;
    char scratch[] = "/tmp/dtk-selftest-XXXXXX";
    if (!options.storeGiven) {
        if (!mkdtemp(scratch)) {
            perror("dtk-agent: mkdtemp");
            return 1;
        }
        storePath = std::string(scratch) + "/config.db";
    }
    std::string error;
    std::unique_ptr<hostkit::ConfigStore> store = hostkit::ConfigStore::Open(storePath, &error);
    if (!store) {
        fprintf(stderr, "dtk-agent: %s\n", error.c_str());
        return 1;
    }
    hostkit::SetGlobalConfig(store.get());
    std::unique_ptr<IWinApiWrapper, void (*)(IWinApiWrapper*)> winApi(CreateWinApiWrapper(), DeleteWinApiWrapper);

    Library library;
    printf("loading %s\n", options.libraryPath.c_str());
    if (!library.Load(options.libraryPath))
        return 1;

    check.ExpectRefusal([&] { return library.create() == nullptr; },
                        "CreateTesselWrapper before InitTesselWrapper is refused");
    check.Expect(library.init(store.get(), winApi.get()), "InitTesselWrapper");
    check.ExpectRefusal([&] { return !library.init(store.get(), winApi.get()); }, "a second InitTesselWrapper is refused");
    ITesselInstance* instance = library.create();
    check.Expect(instance != nullptr, "CreateTesselWrapper");
    if (instance) {
        check.Expect(!instance->IsRegistrationComplete(), "IsRegistrationComplete is false before registration");
        check.ExpectRefusal(
            [&] {
                library.deinit();
                return library.create() == instance;
            },
            "DeinitTesselWrapper with references outstanding is refused");
        library.release(instance);
        library.release(instance);
    }
    library.deinit();
    check.ExpectRefusal([&] { return library.create() == nullptr; }, "DeinitTesselWrapper after every release");

    hostkit::SetGlobalConfig(nullptr);
    hostkit::SetLogSink(nullptr);
    store.reset();
    if (!options.storeGiven) {
        for (const char* suffix : {"", "-wal", "-shm"})
            unlink((storePath + suffix).c_str());
        rmdir(scratch);
    }
    printf("%s\n", check.Failures() == 0 ? "selftest passed" : "selftest FAILED");
    return check.Failures() == 0 ? 0 : 1;
}

}  // namespace agent
