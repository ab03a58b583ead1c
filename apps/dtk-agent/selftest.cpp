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

class Checker {
public:
    void Expect(bool ok, const char* what) {
        printf("%s %s\n", ok ? "ok  " : "FAIL", what);
        fflush(stdout);
        if (!ok)
            ++m_failures;
    }
    int Failures() const { return m_failures; }

private:
    int m_failures = 0;
};

}  // namespace

int SelfTest(const Options& options) {
    // The library's log lines, as the host receives them.
    hostkit::SetLogSink([](hostkit::LogKind kind, uint64_t category, const std::string& line) {
        if (kind == hostkit::LogKind::Error)
            printf("  log error: %s\n", line.c_str());
        else
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

    Checker check;
    check.Expect(library.create() == nullptr, "CreateTesselWrapper before InitTesselWrapper is refused");
    check.Expect(library.init(store.get(), winApi.get()), "InitTesselWrapper");
    check.Expect(!library.init(store.get(), winApi.get()), "a second InitTesselWrapper is refused");
    ITesselInstance* instance = library.create();
    check.Expect(instance != nullptr, "CreateTesselWrapper");
    if (instance) {
        check.Expect(!instance->IsRegistrationComplete(), "IsRegistrationComplete is false before registration");
        library.deinit();
        check.Expect(library.create() == instance, "DeinitTesselWrapper with references outstanding is refused");
        library.release(instance);
        library.release(instance);
    }
    library.deinit();
    check.Expect(library.create() == nullptr, "DeinitTesselWrapper after every release");

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
