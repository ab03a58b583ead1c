// dtk-agent as a user runs it against `dtk-testbed up` on loopback:
//   - `lookup` of a tree of small files, files per second, against hashing the
//     same files alone with sha256sum in the same run (aim: ratio >= 0.8);
//   - `register` on an empty store, from start to "cloud connection succeeded";
//   - memory of `run` (VmRSS, VmHWM) after many server messages: the resident
//     set after them against the one once connected (aim: flat).
// usage: bench_agent [files=10000] [messages=1000]
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "agent_process.h"
#include "bench_result.h"
#include "testbed_process.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using agent_test::Child;
using agent_test::Result;

namespace {

const std::string kBin = std::string(DTK_BINARY_DIR) + "/bin/";

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// `count` files of a few hundred distinct bytes each, 100 to a directory.
std::vector<std::string> MakeFiles(const fs::path& tree, int count) {
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) {
        const fs::path dir = tree / ("d" + std::to_string(i / 100));
        fs::create_directories(dir);
        const fs::path path = dir / ("f" + std::to_string(i) + ".txt");
        std::ofstream out(path, std::ios::binary);
        for (int line = 0; line < 8; ++line)
            out << "sample file " << i << " line " << line << " of the agent benchmark tree\n";
        paths.push_back(path.string());
    }
    return paths;
}

int Fail(const std::string& what, const Result& result = {}) {
    fprintf(stderr, "bench_agent: %s\n%s%s", what.c_str(), result.out.c_str(), result.err.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? atoi(argv[1]) : 10000;
    const int messages = argc > 2 ? atoi(argv[2]) : 1000;
    char pattern[] = "/tmp/dtk-bench-agent-XXXXXX";
    if (!mkdtemp(pattern))
        return Fail("no scratch directory");
    const fs::path root = pattern;
    struct Cleanup {
        fs::path root;
        ~Cleanup() { fs::remove_all(root); }
    } cleanup{root};

    agent_test::TestbedProcess testbed;
    std::string why;
    if (!testbed.Start(root, {}, &why))
        return Fail("testbed: " + why);
    const fs::path store = root / "config.db";
    testbed.CopyStore(store);
    auto agent = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {kBin + "dtk-agent", "--store", store.string()});
        return args;
    };

    auto start = std::chrono::steady_clock::now();
    Result reg = agent_test::RunProgram(agent({"register", "--timeout", "60"}), root);
    const double registerSeconds = SecondsSince(start);
    if (reg.exitCode != 0)
        return Fail("register failed", reg);

    const std::vector<std::string> paths = MakeFiles(root / "tree", files);
    std::vector<std::string> hashArgv = {"/usr/bin/sha256sum"};
    hashArgv.insert(hashArgv.end(), paths.begin(), paths.end());
    start = std::chrono::steady_clock::now();
    Result hashed = agent_test::RunProgram(hashArgv, root);
    const double hashSeconds = SecondsSince(start);
    if (hashed.exitCode != 0)
        return Fail("sha256sum failed", hashed);

    start = std::chrono::steady_clock::now();
    Result looked = agent_test::RunProgram(agent({"lookup", (root / "tree").string()}), root, 600s);
    const double lookupSeconds = SecondsSince(start);
    const std::string answered = std::to_string(files) + " of " + std::to_string(files) + " files answered";
    if (looked.exitCode != 0 || looked.out.find(answered) == std::string::npos)
        return Fail("lookup did not answer every file", looked);

    // The service: memory after batches of server messages.
    Child run;
    if (!run.Start(agent({"run"}), root / "service.out", root / "service.err") ||
        !Child::WaitForText(root / "service.out", "cloud connection: connected", 60s))
        return Fail("run did not connect");
    const int batches = 10, perBatch = messages / batches > 0 ? messages / batches : 1;
    const long firstRss = agent_test::ProcessMemoryKiB(run.Pid(), "VmRSS");
    for (int batch = 0; batch < batches; ++batch) {
        // No open connection to deliver to: the figures below say how many arrived.
        if (!testbed.Control("cloud deliver " + std::to_string(perBatch)))
            break;
        const size_t expected = static_cast<size_t>((batch + 1) * perBatch);
        const auto end = std::chrono::steady_clock::now() + 60s;
        while (agent_test::Count(agent_test::Slurp(root / "service.out"), "server message: type 1") < expected &&
               std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(20ms);
    }
    const size_t delivered = agent_test::Count(agent_test::Slurp(root / "service.out"), "server message: type 1");
    const long lastRss = agent_test::ProcessMemoryKiB(run.Pid(), "VmRSS");
    const long peak = agent_test::ProcessMemoryKiB(run.Pid(), "VmHWM");
    run.Signal(SIGTERM);
    const int runExit = run.Wait(15s);
    testbed.Stop();

    printf("lookup: %d files in %.2f s (%.0f files/s); sha256sum alone %.2f s (%.0f files/s)\n", files,
           lookupSeconds, files / lookupSeconds, hashSeconds, files / hashSeconds);
    printf("register to \"cloud connection succeeded\": %.3f s\n", registerSeconds);
    printf("run: %zu of %d server messages handled; VmRSS %ld KiB once connected, %ld KiB after the messages; "
           "VmHWM %ld KiB; exit %d\n",
           delivered, batches * perBatch, firstRss, lastRss, peak, runExit);
    bench_result("agent_lookup_files_per_s", files / lookupSeconds, "files/s", files / hashSeconds, ">=0.8");
    bench_result("agent_register_to_connected", registerSeconds * 1000, "ms");
    bench_result("agent_run_rss_after_messages", static_cast<double>(lastRss), "KiB", static_cast<double>(firstRss),
                 "<=1.1");
    bench_result("agent_run_peak_rss", static_cast<double>(peak), "KiB");
    return runExit == 0 ? 0 : 1;
}
