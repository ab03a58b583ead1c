// dtk-agent as a user runs it against `dtk-testbed up` on loopback:
//   - `lookup` of trees of small files (10 000 and 100 000 by default) and of
//     a few large files (1 GiB in all), each against sha256sum over the same
//     files in the same run (fed through xargs, so no list is too long for a
//     command line); aims: ratio >= 0.8 at 10 000 files, >= 1.0 at 100 000
//     and for the large files; the peak resident set of `lookup` at the
//     largest tree against the smallest (aim: flat);
//   - `register` on an empty store, from start to "cloud connection succeeded";
//   - memory of `run` (VmRSS, VmHWM) after many server messages: the resident
//     set after them against the one once connected (aim: flat).
// Each side of a comparison starts with a cold page cache when this process
// may drop it (root) and `cache` is not "warm", else both read the files once
// before and run warm.
// usage: bench_agent [small=10000,100000] [large-mib=1024] [messages=1000] [cache=cold|warm]
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
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
constexpr int kLargeFiles = 4;

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// `count` files of a few hundred distinct bytes each, 100 to a directory;
// their names, each ended by a NUL, in `list`, in the order the agent prints
// them (its whole paths sorted), so that both sides read the disk alike.
void MakeFiles(const fs::path& tree, int count, const fs::path& list) {
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) {
        const fs::path dir = tree / ("d" + std::to_string(i / 100));
        if (i % 100 == 0)
            fs::create_directories(dir);
        const fs::path path = dir / ("f" + std::to_string(i) + ".txt");
        std::ofstream out(path, std::ios::binary);
        for (int line = 0; line < 8; ++line)
            out << "sample file " << i << " line " << line << " of the agent benchmark tree\n";
        paths.push_back(path.string());
    }
    std::sort(paths.begin(), paths.end());
    std::ofstream names(list, std::ios::binary);
    for (const std::string& path : paths)
        names << path << '\0';
}

// kLargeFiles files of `totalMib` MiB in all, of pseudo-random bytes.
void MakeLargeFiles(const fs::path& dir, int totalMib, const fs::path& list) {
    fs::create_directories(dir);
    std::ofstream names(list, std::ios::binary);
    std::vector<uint64_t> block((1 << 20) / sizeof(uint64_t));
    uint64_t state = 0x9e3779b97f4a7c15ull;
    for (int file = 0; file < kLargeFiles; ++file) {
        const fs::path path = dir / ("large" + std::to_string(file) + ".bin");
        std::ofstream out(path, std::ios::binary);
        for (int mib = 0; mib < totalMib / kLargeFiles; ++mib) {
            for (uint64_t& word : block) {
                state ^= state << 13;
                state ^= state >> 7;
                state ^= state << 17;
                word = state;
            }
            out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
        }
        names << path.string() << '\0';
    }
}

// Empties the page cache; false when this process may not.
bool DropCaches() {
    sync();
    int fd = open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool dropped = write(fd, "3\n", 2) == 2;
    close(fd);
    return dropped;
}

struct Measured {
    int exitCode = -1;
    double seconds = 0;
    long peakKiB = 0;  // the process's own peak resident set
};

// Runs `argv` to its end (killed after `timeout`), output to the two files:
// its wall time, exit code and peak resident set, taken from its own wait.
Measured RunMeasured(const std::vector<std::string>& argv, const fs::path& out, const fs::path& err,
                     std::chrono::seconds timeout) {
    Measured measured;
    Child child;
    const auto start = std::chrono::steady_clock::now();
    if (!child.Start(argv, out, err))
        return measured;
    struct rusage usage {};
    measured.exitCode = child.Wait(timeout, &usage);
    measured.seconds = SecondsSince(start);
    measured.peakKiB = usage.ru_maxrss;
    return measured;
}

// The last line of a file.
std::string LastLine(const fs::path& path) {
    const std::vector<std::string> lines = agent_test::Lines(agent_test::Slurp(path));
    return lines.empty() ? "" : lines.back();
}

int Fail(const std::string& what, const Result& result = {}) {
    fprintf(stderr, "bench_agent: %s\n%s%s", what.c_str(), result.out.c_str(), result.err.c_str());
    return 1;
}

// A lookup and sha256sum over the same files, each from the same start.
struct Comparison {
    double lookupSeconds = 0;
    double hashSeconds = 0;
    long lookupPeakKiB = 0;
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> smallCounts;
    std::istringstream counts(argc > 1 ? argv[1] : "10000,100000");
    for (std::string count; std::getline(counts, count, ',');)
        if (atoi(count.c_str()) > 0)
            smallCounts.push_back(atoi(count.c_str()));
    const int largeMib = argc > 2 ? atoi(argv[2]) : 1024;
    const int messages = argc > 3 ? atoi(argv[3]) : 1000;
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

    const bool cold = (argc <= 4 || std::string(argv[4]) != "warm") && DropCaches();
    printf("page cache: %s\n", cold ? "dropped before each side" : "warm: both sides read the files once before");
    auto sha256sum = [](const fs::path& list) {
        return std::vector<std::string>{"/usr/bin/xargs", "-0", "-a", list.string(), "/usr/bin/sha256sum"};
    };
    auto prepare = [&](const fs::path& list) {
        if (!cold || !DropCaches())
            RunMeasured(sha256sum(list), root / "warm.out", root / "warm.err", 600s);
    };
    auto compare = [&](const fs::path& dir, const fs::path& list, int files, Comparison* result) {
        prepare(list);
        const Measured hashed = RunMeasured(sha256sum(list), root / "sha256sum.out", root / "sha256sum.err", 600s);
        if (hashed.exitCode != 0)
            return "sha256sum failed: " + agent_test::Slurp(root / "sha256sum.err").substr(0, 2000);
        prepare(list);
        const Measured looked =
            RunMeasured(agent({"lookup", "--timeout", "600", dir.string()}), root / "lookup.out", root / "lookup.err", 900s);
        const std::string answered = std::to_string(files) + " of " + std::to_string(files) + " files answered";
        if (looked.exitCode != 0 || LastLine(root / "lookup.out") != answered)
            return "lookup did not answer every file: " + LastLine(root / "lookup.out") + "\n" +
                   agent_test::Slurp(root / "lookup.err").substr(0, 2000);
        *result = {looked.seconds, hashed.seconds, looked.peakKiB};
        return std::string();
    };

    std::vector<long> smallPeaks;
    for (int files : smallCounts) {
        const fs::path tree = root / ("tree" + std::to_string(files)), list = root / "files.list";
        MakeFiles(tree, files, list);
        Comparison small;
        if (!(why = compare(tree, list, files, &small)).empty())
            return Fail(why);
        fs::remove_all(tree);
        printf("lookup: %d small files in %.2f s (%.0f files/s), peak RSS %ld KiB; sha256sum %.2f s (%.0f files/s)\n",
               files, small.lookupSeconds, files / small.lookupSeconds, small.lookupPeakKiB, small.hashSeconds,
               files / small.hashSeconds);
        const std::string figure = "agent_lookup_" + std::to_string(files) + "_small_files_per_s";
        bench_result(figure.c_str(), files / small.lookupSeconds, "files/s", files / small.hashSeconds,
                     files >= 100000 ? ">=1.0" : ">=0.8");
        smallPeaks.push_back(small.lookupPeakKiB);
    }
    if (smallPeaks.size() > 1) {
        const std::string figure = "agent_lookup_peak_rss_" + std::to_string(smallCounts.back()) + "_vs_" +
                                   std::to_string(smallCounts.front()) + "_files";
        bench_result(figure.c_str(), static_cast<double>(smallPeaks.back()), "KiB",
                     static_cast<double>(smallPeaks.front()), "<=1.1");
    }
    if (largeMib >= kLargeFiles) {
        const fs::path dir = root / "large", list = root / "large.list";
        MakeLargeFiles(dir, largeMib, list);
        Comparison large;
        if (!(why = compare(dir, list, kLargeFiles, &large)).empty())
            return Fail(why);
        fs::remove_all(dir);
        const double mib = static_cast<double>(largeMib / kLargeFiles * kLargeFiles);
        printf("lookup: %d files of %.0f MiB in all in %.2f s (%.0f MiB/s), peak RSS %ld KiB; sha256sum %.2f s "
               "(%.0f MiB/s)\n",
               kLargeFiles, mib, large.lookupSeconds, mib / large.lookupSeconds, large.lookupPeakKiB,
               large.hashSeconds, mib / large.hashSeconds);
        bench_result("agent_lookup_large_files_mib_per_s", mib / large.lookupSeconds, "MiB/s",
                     mib / large.hashSeconds, ">=1.0");
    }

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

    printf("register to \"cloud connection succeeded\": %.3f s\n", registerSeconds);
    printf("run: %zu of %d server messages handled; VmRSS %ld KiB once connected, %ld KiB after the messages; "
           "VmHWM %ld KiB; exit %d\n",
           delivered, batches * perBatch, firstRss, lastRss, peak, runExit);
    bench_result("agent_register_to_connected", registerSeconds * 1000, "ms");
    bench_result("agent_run_rss_after_messages", static_cast<double>(lastRss), "KiB", static_cast<double>(firstRss),
                 "<=1.1");
    bench_result("agent_run_peak_rss", static_cast<double>(peak), "KiB");
    return runExit == 0 ? 0 : 1;
}
