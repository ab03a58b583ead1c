#include "testbed_process.h"

#include <signal.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace agent_test {

namespace {
const std::string kBin = std::string(DTK_BINARY_DIR) + "/bin/";
}

bool TestbedProcess::Start(const fs::path& root, const std::vector<std::string>& extraArgs, std::string* why) {
    m_root = root;
    std::vector<std::string> argv = {kBin + "dtk-testbed", "up", "--store", (root / "template.db").string(),
                                     "--control", (root / "control").string()};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    if (!m_child.Start(argv, root / "testbed.out", root / "testbed.err")) {
        *why = "cannot start dtk-testbed";
        return false;
    }
    if (!Child::WaitForText(root / "testbed.out", "testbed ready", 60s)) {
        *why = Output() + Slurp(root / "testbed.err");
        return false;
    }
    return true;
}

int TestbedProcess::Stop() {
    m_child.Signal(SIGTERM);
    return m_child.Wait(30s);
}

bool TestbedProcess::Control(const std::string& command) {
    const std::string answered = "control: " + command + " ";
    const size_t before = Count(Output(), answered);
    const fs::path pending = m_root / "control.new";
    std::ofstream(pending) << command << "\n";
    fs::rename(pending, m_root / "control");
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (Count(Output(), answered) == before) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    const std::string output = Output();
    return output.compare(output.rfind(answered) + answered.size(), 3, "ok\n") == 0;
}

void TestbedProcess::CopyStore(const fs::path& store) const {
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const fs::path from = m_root / ("template.db" + std::string(suffix));
        if (fs::exists(from))
            fs::copy_file(from, store.string() + suffix, fs::copy_options::overwrite_existing);
    }
}

size_t Count(const std::string& haystack, const std::string& text) {
    size_t n = 0;
    for (size_t at = haystack.find(text); at != std::string::npos; at = haystack.find(text, at + text.size()))
        ++n;
    return n;
}

long ProcessMemoryKiB(pid_t pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const std::string label = std::string(field) + ":";
    for (std::string line; std::getline(status, line);)
        if (line.rfind(label, 0) == 0)
            return std::stol(line.substr(label.size()));
    return 0;
}

}  // namespace agent_test
