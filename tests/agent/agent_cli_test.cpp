// dtk-agent as its users meet it against the testbed: configuration mistakes
// named at once, one agent per store, a reset identity, JSON that parses,
// and every exit code the help documents.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "agent_process.h"
#include "hostkit.h"
#include "testbed_fixture.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using agent_test::Child;
using agent_test::Lines;
using agent_test::Result;
using agent_test::Slurp;

namespace {

// A loopback port that takes connections into its backlog and never says a
// word: a server that does not answer.
class SilentServer {
public:
    SilentServer() {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_fd >= 0 && bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            listen(m_fd, 16) == 0 && getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            m_port = ntohs(address.sin_port);
    }
    ~SilentServer() {
        if (m_fd >= 0)
            close(m_fd);
    }
    int Port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};

class AgentCli : public agent_test::TestbedSuite {
protected:
    // Changes the store as another tool (or a careless hand) would, past config set's checks.
    void Edit(const std::function<void(hostkit::ConfigStore*)>& edit) const {
        std::string error;
        auto opened = hostkit::ConfigStore::Open(store.string(), &error, hostkit::ConfigStore::Mode::ReadWrite);
        ASSERT_TRUE(opened) << error;
        edit(opened.get());
    }
    std::string Guid() const {
        Result status = Agent({"status", "--json"});
        EXPECT_EQ(status.exitCode, 0) << status.err;
        return nlohmann::json::parse(status.out).value("guid", "");
    }
};

hostkit::ConfigEntry Text(hostkit::ConfigView view, const std::string& key, const std::string& value) {
    hostkit::ConfigEntry entry;
    entry.view = view;
    entry.key = key;
    entry.text = value;
    return entry;
}

TEST_F(AgentCli, EachConfigurationMistakeStopsRegisterAtOnceNamingTheKey) {
    using hostkit::ConfigView;
    const std::string business = "config/vesta/business/uuid";
    const std::string mgmt = "config/vesta/endpoint/mgmt";
    struct Case {
        const char* what;
        std::function<void(hostkit::ConfigStore*)> edit;
        std::string message;
    } cases[] = {
        {"missing", [&](auto* s) { s->DeleteKey(ConfigView::Secure, business); },
         business + " is missing; set it with: dtk-agent config set --secure " + business},
        {"wrong view",
         [&](auto* s) {
             s->DeleteKey(ConfigView::Secure, business);
             s->Put(Text(ConfigView::Local, business, "0a1b2c3d-0000-4000-8000-000000000001"));
         },
         business + " is in the local view; the library reads it from the secure view"},
        {"not a GUID", [&](auto* s) { s->Put(Text(ConfigView::Secure, "config/agent/affiliate/uuid", "{0a1b}")); },
         "config/agent/affiliate/uuid '{0a1b}' is not a GUID"},
        {"wrong type", [&](auto* s) { s->Put(Text(ConfigView::Local, "config/agent/cloud/asn1_port", "443")); },
         "config/agent/cloud/asn1_port is a string; the library reads an integer"},
        {"port out of range", [&](auto* s) { s->SetInt("config/agent/cloud/asn1_port", 70000, true); },
         "config/agent/cloud/asn1_port '70000' is out of range"},
        {"plain http", [&](auto* s) { s->Put(Text(ConfigView::Local, mgmt, "http://127.0.0.1:1/mgmt")); },
         mgmt + " 'http://127.0.0.1:1/mgmt' is not an https:// URL"},
        {"control characters", [&](auto* s) { s->Put(Text(ConfigView::Local, mgmt, "https://h/\r\nX: y")); },
         mgmt + " 'https://h/\r\nX: y' holds control characters"},
    };
    ASSERT_EQ(Agent({"config", "check"}).exitCode, 0) << "the testbed's own configuration is sound";
    const fs::path pristine = dir / "pristine.db";
    fs::copy_file(store, pristine);
    for (const Case& c : cases) {
        fs::copy_file(pristine, store, fs::copy_options::overwrite_existing);
        Edit(c.edit);
        Result check = Agent({"config", "check"}, 20s);
        EXPECT_EQ(check.exitCode, 1) << c.what;
        EXPECT_NE(check.out.find(c.message), std::string::npos) << c.what << ": " << check.out;
        // register and run refuse before they start, within seconds, not after a time-out.
        for (std::vector<std::string> args : {std::vector<std::string>{"register", "--timeout", "60"}, {"run"}}) {
            Result refused = Agent(args, 20s);
            EXPECT_EQ(refused.exitCode, 1) << c.what << " " << args[0] << ": " << refused.out << refused.err;
            EXPECT_NE(refused.err.find(c.message), std::string::npos) << c.what << " " << args[0] << ": " << refused.err;
        }
    }
}

TEST_F(AgentCli, SecondAgentOnAStoreIsRefusedWhileStatusStillWorks) {
    Child run;
    ASSERT_TRUE(run.Start(AgentArgv({"run"}), dir / "service.out", dir / "service.err"));
    ASSERT_TRUE(Child::WaitForText(dir / "service.out", "running", 30s)) << Slurp(dir / "service.err");
    const std::string refusal =
        "store " + store.string() + " is in use by dtk-agent (pid " + std::to_string(run.Pid()) + ")";
    for (std::vector<std::string> args : {std::vector<std::string>{"run"}, {"register"}, {"config", "set", "config/x", "1"},
                                          {"reset-identity", "--yes"}, {"proxy", "clear"}}) {
        Result second = Agent(args, 30s);
        EXPECT_EQ(second.exitCode, 7) << args[0] << ": " << second.err;
        EXPECT_NE(second.err.find(refusal), std::string::npos) << args[0] << ": " << second.err;
    }
    for (std::vector<std::string> args : {std::vector<std::string>{"status"}, {"config", "list"},
                                          {"config", "get", "config/agent/version"}, {"config", "check"}}) {
        Result reader = Agent(args, 30s);
        EXPECT_EQ(reader.exitCode, 0) << args[0] << ": " << reader.err;
    }
    // Once the cloud answers, status says when it last did.
    ASSERT_TRUE(Child::WaitForText(dir / "service.out", "cloud connection: connected", 60s)) << Slurp(dir / "service.out");
    std::string answered;
    for (int i = 0; i < 50 && answered.empty(); ++i, std::this_thread::sleep_for(200ms))
        answered = nlohmann::json::parse(Agent({"status", "--json"}).out).value("cloud_last_answer", "");
    EXPECT_EQ(answered.size(), 20u) << answered;  // 2026-01-31T12:00:00Z

    // A service stopped by SIGTERM ends 0, and frees the store.
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Wait(60s), 0) << Slurp(dir / "service.err");
    EXPECT_NE(Slurp(dir / "service.out").find("stopped"), std::string::npos);
    EXPECT_EQ(Agent({"config", "set", "config/x", "1"}).exitCode, 0);
}

TEST_F(AgentCli, ResetIdentityMakesTheNextRegistrationANewEndpoint) {
    Result first = Agent({"register", "--json", "--timeout", "60"});
    ASSERT_EQ(first.exitCode, 0) << first.out << first.err;
    // Every line of --json is an object of its own.
    const std::vector<std::string> lines = Lines(first.out);
    ASSERT_FALSE(lines.empty());
    for (const std::string& line : lines)
        EXPECT_TRUE(nlohmann::json::parse(line).is_object()) << line;
    EXPECT_TRUE(nlohmann::json::parse(lines.back()).value("registered", false)) << first.out;
    const std::string guid = Guid();
    ASSERT_FALSE(guid.empty());

    Result unconfirmed = Agent({"reset-identity"});
    EXPECT_EQ(unconfirmed.exitCode, 2);
    EXPECT_EQ(Guid(), guid) << "nothing is forgotten without --yes";
    Result reset = Agent({"reset-identity", "--yes"});
    ASSERT_EQ(reset.exitCode, 0) << reset.err;
    nlohmann::json status = nlohmann::json::parse(Agent({"status", "--json"}).out);
    EXPECT_EQ(status.value("guid", "?"), "");
    EXPECT_FALSE(status.value("registered", true));
    EXPECT_FALSE(status.value("certificate", true));
    EXPECT_FALSE(status.value("client_key", true));

    Result again = Agent({"register", "--timeout", "60"});
    ASSERT_EQ(again.exitCode, 0) << again.out << again.err;
    const std::string second = Guid();
    EXPECT_FALSE(second.empty());
    EXPECT_NE(second, guid);
    status = nlohmann::json::parse(Agent({"status", "--json"}).out);
    EXPECT_EQ(status.value("certificate_validity", ""), "valid") << status.dump();
}

TEST_F(AgentCli, JsonOutputParsesEvenForFileNamesThatAreNotUtf8) {
    const fs::path tree = dir / "tree";
    fs::create_directories(tree);
    const std::string latin1 = std::string("caf\xe9") + ".txt";
    std::ofstream(tree / latin1) << "a Latin-1 name\n";
    std::ofstream(tree / "plain.txt") << "plain\n";
    Result lookup = Agent({"lookup", "--json", "--timeout", "60", tree.string()});
    EXPECT_EQ(lookup.exitCode, 0) << lookup.err;
    const std::vector<std::string> answers = Lines(lookup.out);
    ASSERT_EQ(answers.size(), 2u) << lookup.out;
    bool replaced = false;
    for (const std::string& line : answers) {
        nlohmann::json object = nlohmann::json::parse(line);  // throws on invalid UTF-8
        replaced = replaced || object.value("path", "").find("caf\xef\xbf\xbd.txt") != std::string::npos;
        EXPECT_EQ(object.value("disposition", -1), 1) << line;
    }
    EXPECT_TRUE(replaced) << "the byte that is not UTF-8 becomes U+FFFD: " << lookup.out;

    for (std::vector<std::string> args : {std::vector<std::string>{"config", "list", "--json"},
                                          {"proxy", "show", "--json"}, {"status", "--json"}}) {
        Result result = Agent(args);
        EXPECT_EQ(result.exitCode, 0) << args[0] << ": " << result.err;
        const std::vector<std::string> objects = Lines(result.out);
        EXPECT_FALSE(objects.empty()) << args[0];
        for (const std::string& line : objects)
            EXPECT_TRUE(nlohmann::json::parse(line).is_object()) << line;
    }
    // Secrets stay hidden in JSON too.
    Result list = Agent({"config", "list", "--json", "config/vesta/install"});
    ASSERT_EQ(Lines(list.out).size(), 1u) << list.out;
    nlohmann::json token = nlohmann::json::parse(list.out);
    EXPECT_TRUE(token.value("hidden", false));
    EXPECT_FALSE(token.contains("value"));
}

TEST_F(AgentCli, EveryDocumentedFailureExitCodeIsReached) {
    // 4: a library that does not load.
    Result noLibrary = Agent({"--library", (dir / "absent.so").string(), "proxy", "show"}, 30s);
    EXPECT_EQ(noLibrary.exitCode, 4) << noLibrary.err;

    // 5 and 6: a management server that never answers.
    SilentServer silent;
    ASSERT_NE(silent.Port(), 0);
    Edit([&](hostkit::ConfigStore* s) {
        s->Put(Text(hostkit::ConfigView::Local, "config/vesta/endpoint/mgmt",
                    "https://127.0.0.1:" + std::to_string(silent.Port()) + "/mgmt"));
    });
    const auto start = std::chrono::steady_clock::now();
    Result timedOut = Agent({"register", "--timeout", "2"}, 60s);
    EXPECT_EQ(timedOut.exitCode, 5) << timedOut.out << timedOut.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);

    Child interrupted;
    ASSERT_TRUE(interrupted.Start(AgentArgv({"register", "--timeout", "120"}), dir / "reg.out", dir / "reg.err"));
    // Interrupted while it waits on the silent server.
    ASSERT_TRUE(Child::WaitForText(dir / "reg.out", "certificate", 30s)) << Slurp(dir / "reg.err");
    interrupted.Signal(SIGINT);
    EXPECT_EQ(interrupted.Wait(60s), 6) << Slurp(dir / "reg.err");
}

}  // namespace
