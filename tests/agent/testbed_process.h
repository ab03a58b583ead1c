// `dtk-testbed up` as a child process with its control file: a fresh store per
// case copied from the one it configured, and commands that restart or script
// its servers while an agent runs against them.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "agent_process.h"

namespace agent_test {

class TestbedProcess {
public:
    // Starts the testbed in `root` (which must exist); false with the reason in `why`.
    bool Start(const std::filesystem::path& root, const std::vector<std::string>& extraArgs, std::string* why);
    // SIGTERM and the exit code (bounded).
    int Stop();
    // Runs one control command and waits (bounded) for its answer; true when "ok".
    bool Control(const std::string& command);
    // The configured store copied to `store` (with its journal files).
    void CopyStore(const std::filesystem::path& store) const;
    std::string Output() const { return Slurp(m_root / "testbed.out"); }
    pid_t Pid() const { return m_child.Pid(); }

private:
    std::filesystem::path m_root;
    Child m_child;
};

// How many times `text` occurs in `haystack`.
size_t Count(const std::string& haystack, const std::string& text);
// A memory figure of /proc/<pid>/status in KiB ("VmRSS", "VmHWM"); 0 when unreadable.
long ProcessMemoryKiB(pid_t pid, const char* field);

}  // namespace agent_test
