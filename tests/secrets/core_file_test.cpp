// A crash of the agent with core files left to the system: the core holds no
// copy of the client key or the activation code that the library keeps.
//
// Two kinds of copy are not the library's and stay in a core: the store's page
// cache (SQLite, in the host) holds the stored key and activation code as
// records, and libcurl keeps the management form it sent in its request buffer.
// Each is told by what surrounds it and reported; any other copy fails.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config_store.h"
#include "kit/util/guid_text.h"
#include "persistent_config.h"
#include "support/registration_stack.h"
#include "testbed/pki.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string kAgent = std::string(DTK_BINARY_DIR) + "/bin/dtk-agent";
constexpr char kActcode[] = "c0de5ec2-e7ac-4d11-8a2b-00c0ffee4321";
constexpr char kKeyRecord[] = "config/agent/client_keypairclient_keypair";
constexpr char kActcodeRecord[] = "config/vesta/install/tokeninstall_token";

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// Why the system writes no core file into the crashed process's folder, or "".
std::string NoCoreHere() {
    std::string pattern = Slurp("/proc/sys/kernel/core_pattern");
    while (!pattern.empty() && isspace(static_cast<unsigned char>(pattern.back()))) pattern.pop_back();
    if (pattern.empty()) return "the core pattern is empty";
    if (pattern[0] == '|') return "the core pattern '" + pattern + "' hands cores to a program";
    if (pattern.find('/') != std::string::npos) return "the core pattern '" + pattern + "' writes to another folder";
    rlimit limit{};
    if (getrlimit(RLIMIT_CORE, &limit) != 0 || limit.rlim_max == 0) return "core files are forbidden (hard limit 0)";
    return "";
}

// `dtk-agent run` in `folder` with its own protection off and core files
// allowed up to the hard limit.
pid_t StartAgent(const fs::path& folder, const fs::path& store) {
    const std::vector<std::string> args = {kAgent, "--store", store.string(), "--allow-core-dumps", "run"};
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const int out = open((folder / "run.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int err = open((folder / "run.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    pid_t pid = out >= 0 && err >= 0 ? fork() : -1;
    if (pid == 0) {
        rlimit generous{};
        getrlimit(RLIMIT_CORE, &generous);
        generous.rlim_cur = generous.rlim_max;
        setrlimit(RLIMIT_CORE, &generous);
        if (chdir(folder.c_str()) == 0 && dup2(out, STDOUT_FILENO) >= 0 && dup2(err, STDERR_FILENO) >= 0)
            execv(argv[0], argv.data());
        _exit(127);
    }
    if (out >= 0) close(out);
    if (err >= 0) close(err);
    return pid;
}

// The child's wait status once it ended, SIGKILLed after `bound`.
int Reap(pid_t pid, std::chrono::seconds bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(50ms);
    }
    return status;
}

bool WaitForText(const fs::path& file, const std::string& text, pid_t pid, std::chrono::seconds bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (Slurp(file).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > end || waitpid(pid, nullptr, WNOHANG) != 0) return false;
        std::this_thread::sleep_for(100ms);
    }
    return true;
}

std::vector<size_t> Offsets(const std::string& haystack, const std::string& needle) {
    std::vector<size_t> found;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        found.push_back(at);
    return found;
}

bool RightAfter(const std::string& core, size_t at, const std::string& before) {
    return at >= before.size() && core.compare(at - before.size(), before.size(), before) == 0;
}

// libcurl's request buffer: the form follows its request's head, no NUL
// between (a freed buffer's first bytes are the allocator's, so the request
// line is known by its end).
bool InSentRequest(const std::string& core, size_t at) {
    const size_t from = at > 4096 ? at - 4096 : 0;
    const std::string before = core.substr(from, at - from);
    const size_t head = before.rfind(" HTTP/1.1\r\n");
    const size_t nul = before.rfind('\0');
    return head != std::string::npos && (nul == std::string::npos || nul < head) &&
           before.find("\r\n\r\n", head) != std::string::npos;
}

std::string Context(const std::string& core, size_t at) {
    std::string shown;
    for (char c : core.substr(at > 48 ? at - 48 : 0, 96)) shown += isprint(static_cast<unsigned char>(c)) ? c : '.';
    return shown;
}

TEST(SecretsInACore, AnAbortedAgentLeavesNoCoreHoldingTheLibrarysCopyOfTheKeyOrTheActivationCode) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer runtimes decide about core files themselves";
#endif
    const std::string why = NoCoreHere();
    if (!why.empty()) GTEST_SKIP() << why << ": no core file to search";
    ASSERT_TRUE(fs::exists(kAgent)) << "build dtk-agent and libdtk.so first";

    char pattern[] = "/tmp/dtk-secrets-core-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;
    const fs::path store = dir / "config.db";
    testbed::Pki pki;
    testbed::RegistrationServers servers;
    ASSERT_TRUE(servers.Start(pki));
    {
        std::string error;
        auto config = hostkit::ConfigStore::Open(store.string(), &error);
        ASSERT_TRUE(config) << error;
        hostkit::PersistentConfig persistent(config.get());
        ASSERT_TRUE(servers.StoreConfig(config.get(), &persistent, pki, kActcode));
    }

    // Aborted once registered: the key made, the form sent, the cloud connected.
    const pid_t agent = StartAgent(dir, store);
    ASSERT_GT(agent, 0);
    const bool connected = WaitForText(dir / "run.out", "cloud connection succeeded", agent, 90s);
    kill(agent, SIGABRT);
    const int status = Reap(agent, 60s);
    servers.Stop();
    ASSERT_TRUE(connected) << Slurp(dir / "run.out") << Slurp(dir / "run.err");
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << "wait status " << status;
    if (!WCOREDUMP(status)) {
        fs::remove_all(dir);
        GTEST_SKIP() << "this system wrote no core file for the aborted agent";
    }
    std::string core;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().rfind("core", 0) == 0) core = Slurp(entry.path());
    ASSERT_FALSE(core.empty()) << "the core went elsewhere";

    std::string pem;
    {
        std::string error;
        auto config = hostkit::ConfigStore::Open(store.string(), &error);
        ASSERT_TRUE(config) << error;
        hostkit::PersistentConfig persistent(config.get());
        char* text = persistent.ReadString("config/agent/client_keypair", "client_keypair");
        ASSERT_NE(text, nullptr) << "the agent stored no key";
        pem = text;
        persistent.FreeString(text);
    }
    fs::remove_all(dir);

    // The search sees what the agent held: its identity is in the core.
    ASSERT_FALSE(Offsets(core, "aff111a7-e000-4111-8222-333344445555").empty());

    std::string body;
    std::vector<std::pair<std::string, std::string>> keyParts;  // what, text
    std::istringstream lines(pem);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("-----", 0) == 0) continue;
        body += line;
        keyParts.push_back({"a line of the key's PEM body", line});
    }
    std::string der(body.size(), '\0');
    const int derLength = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(der.data()),
                                          reinterpret_cast<const unsigned char*>(body.data()), static_cast<int>(body.size()));
    ASSERT_GT(derLength, 0);
    der.resize(static_cast<size_t>(derLength));
    uint8_t code[16];
    ASSERT_EQ(guid_parse(kActcode, strlen(kActcode), code), 0);

    std::vector<std::string> foreign;
    std::vector<std::string> leaks;
    // The key: whole PEM texts are the store's records; a line found outside
    // them is a copy of its own.
    const std::vector<size_t> pems = Offsets(core, pem);
    for (size_t at : pems)
        (RightAfter(core, at, kKeyRecord) ? foreign : leaks)
            .push_back("the key's PEM at " + std::to_string(at) + ": " + Context(core, at));
    for (const auto& [what, text] : keyParts)
        for (size_t at : Offsets(core, text)) {
            bool inPem = false;
            for (size_t start : pems) inPem |= at >= start && at < start + pem.size();
            if (!inPem) leaks.push_back(what + " at " + std::to_string(at) + ": " + Context(core, at));
        }
    for (const auto& [what, text] : {std::pair<std::string, std::string>{"the key's base64 on one line", body},
                                     {"the key's DER", der},
                                     {"the activation code's 16 bytes", std::string(code, code + 16)}})
        for (size_t at : Offsets(core, text)) leaks.push_back(what + " at " + std::to_string(at));
    for (size_t at : Offsets(core, kActcode)) {
        const std::string where = " at " + std::to_string(at) + ": " + Context(core, at);
        if (RightAfter(core, at, kActcodeRecord))
            foreign.push_back("the activation code in the store's record" + where);
        else if (InSentRequest(core, at))
            foreign.push_back("the activation code in libcurl's sent request" + where);
        else
            leaks.push_back("the activation code" + where);
    }
    for (const std::string& copy : foreign) std::printf("not the library's: %s\n", copy.c_str());
    for (const std::string& leak : leaks) ADD_FAILURE() << "the core holds " << leak;
}

}  // namespace
