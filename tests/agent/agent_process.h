// The programs under test as child processes: argv without a shell, output
// to files, every wait bounded.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace agent_test {

std::string Slurp(const std::filesystem::path& path);
// The raw text of a member of a one-line JSON object (strings unquoted), or
// "<absent>".
std::string JsonField(const std::string& object, const std::string& name);
// The non-empty lines of `text`.
std::vector<std::string> Lines(const std::string& text);

class Child {
public:
    Child() = default;
    ~Child();  // SIGKILL and reap when still running
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Starts `argv` with standard output and error in the two files, in
    // `workDir` when one is given (else in this process's folder).
    bool Start(const std::vector<std::string>& argv, const std::filesystem::path& out,
               const std::filesystem::path& err, const std::filesystem::path& workDir = {});
    // The exit code (128 + signal for a signal), or -1 when `timeout` passed
    // first; the ended child's resource use in *usage when one is given.
    int Wait(std::chrono::milliseconds timeout, struct rusage* usage = nullptr);
    void Signal(int signal);
    // Waits (bounded) until `text` appears in the file.
    static bool WaitForText(const std::filesystem::path& file, const std::string& text,
                            std::chrono::milliseconds timeout);
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
};

struct Result {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs a program to its end (killed after `timeout`, exit code -1 then).
Result RunProgram(const std::vector<std::string>& argv, const std::filesystem::path& scratch,
                  std::chrono::milliseconds timeout = std::chrono::seconds(120));

// The same with standard error on a pseudo-terminal (what the program wrote
// there is in `err`), as when a person runs it.
Result RunWithTerminal(const std::vector<std::string>& argv, const std::filesystem::path& scratch,
                       std::chrono::milliseconds timeout = std::chrono::seconds(120));

}  // namespace agent_test
