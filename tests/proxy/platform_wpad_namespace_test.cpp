// WPAD by DNS and by DHCP lease, end to end, in a private user, network,
// mount and host-name namespace: the test gives it its own host name,
// /etc/hosts and resolv.conf and serves wpad.dat on port 80 of its loopback.
// Each test re-runs itself in such a namespace (through unshare(1)); where
// namespaces are not permitted the tests are skipped.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "proxy/platform_winhttp_support.h"
#include "testbed/http_file_server.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using proxytest::Answer;
using proxytest::ProxyForUrl;

constexpr const char* CHILD_MARK = "DTK_PROXY_NAMESPACE_CHILD";
constexpr auto CHILD_BOUND = std::chrono::seconds(90);

constexpr const char* WPAD_SCRIPT =
    "function FindProxyForURL(url, host) { return 'PROXY wpad-proxy.test:3128; DIRECT'; }";
constexpr const char* DHCP_SCRIPT =
    "function FindProxyForURL(url, host) { return 'SOCKS5 dhcp-proxy.test:1080'; }";

bool InsideNamespace() { return std::getenv(CHILD_MARK) != nullptr; }

// Runs `argv` with `env`, output to `log`; its exit status, or -1 when it
// could not start or outlived the bound (it is killed then).
int Run(const std::vector<std::string>& args, const std::vector<std::string>& env, const std::string& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv, envp;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + CHILD_BOUND;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Parent side: re-runs the current test in a fresh namespace. True when it
// ran there (its verdict is reported through gtest); false when skipped.
void RunCurrentTestInNamespace() {
    const char* self = "/proc/self/exe";
    std::string exe = fs::read_symlink(self).string();
    std::string log = (fs::temp_directory_path() / ("dtk-netns-" + std::to_string(getpid()) + ".log")).string();
    std::vector<std::string> base_env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "GTEST_OUTPUT=", 13) != 0) base_env.push_back(*e);
    if (Run({"unshare", "-Urnmu", "true"}, base_env, log) != 0) {
        std::string why = ReadAll(log);
        unlink(log.c_str());
        GTEST_SKIP() << "user, network and mount namespaces are not permitted here (unshare -Urnmu: " << why
                     << "); WPAD in a private network is not tested";
    }
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string filter = std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
    std::vector<std::string> env = base_env;
    env.push_back(std::string(CHILD_MARK) + "=1");
    int rc = Run({"unshare", "-Urnmu", "--", exe, filter}, env, log);
    std::string output = ReadAll(log);
    unlink(log.c_str());
    EXPECT_EQ(rc, 0) << "the test failed inside its namespace:\n" << output;
}

// Child side: the namespace's own host name, loopback, /etc/hosts and
// resolv.conf. Fails the test when any of it cannot be set up.
class Namespace {
public:
    bool SetUp(const std::string& hosts, const std::string& resolv) {
        // Never touch the host's own names and files: only a user namespace
        // of our own (not the initial one, which maps every id) will do.
        if (ReadAll("/proc/self/uid_map").find("4294967295") != std::string::npos) return false;
        char tmpl[] = "/tmp/dtk-netns-XXXXXX";
        if (!mkdtemp(tmpl)) return false;
        dir_ = tmpl;
        std::ofstream(dir_ / "hosts") << hosts;
        std::ofstream(dir_ / "resolv.conf") << resolv;
        return sethostname("host", 4) == 0 && LoopbackUp() &&
               mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               mount((dir_ / "hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0 &&
               mount((dir_ / "resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
    }
    ~Namespace() {
        if (!dir_.empty()) {
            umount("/etc/hosts");
            umount("/etc/resolv.conf");
            fs::remove_all(dir_);
        }
    }
    const fs::path& dir() const { return dir_; }

private:
    static bool LoopbackUp() {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq ifr{};
        std::strcpy(ifr.ifr_name, "lo");
        bool ok = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
        ifr.ifr_flags |= IFF_UP;
        ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
        if (fd >= 0) close(fd);
        return ok;
    }
    fs::path dir_;
};

// A name server that takes queries and never answers, on 127.0.0.1:53.
class SilentNameServer {
public:
    bool Start() {
        udp_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        tcp_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(53);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return bind(udp_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
               bind(tcp_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(tcp_, 8) == 0;
    }
    ~SilentNameServer() {
        close(udp_);
        close(tcp_);
    }

private:
    int udp_ = -1;
    int tcp_ = -1;
};

constexpr const char* HOSTS =
    "127.0.0.1 localhost\n"
    "127.0.0.1 host.dept.example.test host\n"
    "127.0.0.1 wpad.example.test\n"
    "127.0.0.1 wpad.test\n"  // above the registrable domain: must never be asked
    "127.0.0.1 wpad-dhcp.example.test\n";

class PlatformWpadNamespace : public ::testing::Test {
protected:
    // Inside the namespace: its names, `resolv` as resolv.conf, and wpad.dat
    // served on port 80 of its loopback.
    void Enter(const std::string& resolv) {
        ASSERT_TRUE(ns_.SetUp(HOSTS, resolv));
        ASSERT_TRUE(server_.start("127.0.0.1", 80));
        server_.serve("/wpad.dat", WPAD_SCRIPT);
    }

    Namespace ns_;
    testbed::HttpFileServer server_;
    proxytest::SettingsScope scope_;
};

TEST_F(PlatformWpadNamespace, DnsFindsTheFirstResolvableParentNeverAboveTheDomain) {
    if (!InsideNamespace()) return RunCurrentTestInNamespace();
    // Nothing listens on port 53: names outside /etc/hosts fail at once. The
    // host's own name is host.dept.example.test.
    ASSERT_NO_FATAL_FAILURE(Enter("nameserver 127.0.0.1\nsearch lab.other.test\noptions timeout:1 attempts:1\n"));

    Answer a = ProxyForUrl("https://backend.test/", WINHTTP_AUTOPROXY_AUTO_DETECT, WINHTTP_AUTO_DETECT_TYPE_DNS_A);
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(a.access, WINHTTP_ACCESS_TYPE_NAMED_PROXY);
    EXPECT_EQ(a.proxy, "wpad-proxy.test:3128");
    // wpad.dept.example.test does not resolve; wpad.example.test answers and
    // wpad.test is never tried.
    EXPECT_EQ(server_.hosts_asking("/wpad.dat"), std::vector<std::string>{"wpad.example.test"});

    // A server that never answers: the detection ends at its budget.
    server_.stall("/wpad.dat");
    platform::WinHttpSettings settings = platform::WinHttpGetSettings();
    settings.autoDetectMs = 1500;
    platform::WinHttpSetSettings(settings);
    auto start = std::chrono::steady_clock::now();
    a = ProxyForUrl("https://backend.test/", WINHTTP_AUTOPROXY_AUTO_DETECT, WINHTTP_AUTO_DETECT_TYPE_DNS_A);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, ERROR_WINHTTP_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));  // failure bound
}

TEST_F(PlatformWpadNamespace, NameThatNeverResolvesIsLeftWithinItsBudget) {
    if (!InsideNamespace()) return RunCurrentTestInNamespace();
    // The name server takes every query and never answers; the resolver
    // itself would wait 30 s.
    ASSERT_NO_FATAL_FAILURE(Enter("nameserver 127.0.0.1\noptions timeout:30 attempts:1\n"));
    SilentNameServer dns;
    ASSERT_TRUE(dns.Start());
    platform::WinHttpSettings settings = platform::WinHttpGetSettings();
    settings.dnsResolveMs = 500;
    settings.autoDetectMs = 5000;
    platform::WinHttpSetSettings(settings);

    auto start = std::chrono::steady_clock::now();
    Answer a = ProxyForUrl("https://backend.test/", WINHTTP_AUTOPROXY_AUTO_DETECT, WINHTTP_AUTO_DETECT_TYPE_DNS_A);
    ASSERT_TRUE(a.ok) << a.error;  // wpad.dept.example.test hangs, wpad.example.test answers
    EXPECT_EQ(a.proxy, "wpad-proxy.test:3128");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));  // failure bound

    // A host whose every candidate hangs: the whole detection keeps to its budget.
    settings.hostFqdn = "host.hanging.test";
    settings.autoDetectMs = 1200;
    platform::WinHttpSetSettings(settings);
    start = std::chrono::steady_clock::now();
    a = ProxyForUrl("https://backend.test/", WINHTTP_AUTOPROXY_AUTO_DETECT, WINHTTP_AUTO_DETECT_TYPE_DNS_A);
    EXPECT_FALSE(a.ok);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));  // failure bound

    // The host's own name does not resolve either: that lookup is left at
    // its budget too, and the bare host name gives no candidate.
    std::ofstream(ns_.dir() / "hosts") << "127.0.0.1 localhost\n";
    settings.hostFqdn = "";
    settings.autoDetectMs = 5000;
    platform::WinHttpSetSettings(settings);
    start = std::chrono::steady_clock::now();
    a = ProxyForUrl("https://backend.test/", WINHTTP_AUTOPROXY_AUTO_DETECT, WINHTTP_AUTO_DETECT_TYPE_DNS_A);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, ERROR_WINHTTP_AUTODETECTION_FAILED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));  // failure bound
}

TEST_F(PlatformWpadNamespace, DhcpLeaseNamesTheFileAndComesBeforeDns) {
    if (!InsideNamespace()) return RunCurrentTestInNamespace();
    ASSERT_NO_FATAL_FAILURE(Enter("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n"));
    server_.serve("/proxy.pac", DHCP_SCRIPT);
    fs::create_directories(ns_.dir() / "networkd");
    platform::WinHttpSettings settings = platform::WinHttpGetSettings();
    settings.dhclientLeasePaths = {(ns_.dir() / "dhclient.leases").string()};
    settings.networkdLeaseDir = (ns_.dir() / "networkd").string();
    settings.networkManagerDir = (ns_.dir() / "nm").string();
    platform::WinHttpSetSettings(settings);

    // No lease yet: DHCP finds nothing, DNS does.
    const uint32_t both = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    Answer a = ProxyForUrl("https://backend.test/", WINHTTP_AUTOPROXY_AUTO_DETECT, WINHTTP_AUTO_DETECT_TYPE_DHCP);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, ERROR_WINHTTP_AUTODETECTION_FAILED);
    EXPECT_EQ(ProxyForUrl("https://backend.test/", WINHTTP_AUTOPROXY_AUTO_DETECT, both).proxy,
              "wpad-proxy.test:3128");

    std::ofstream(ns_.dir() / "dhclient.leases")
        << "lease {\n  interface \"lo\";\n  option wpad \"http://wpad-dhcp.example.test/proxy.pac\\000\";\n"
           "  expire 4 2099/12/31 00:00:00;\n}\n";
    a = ProxyForUrl("https://backend.test/", WINHTTP_AUTOPROXY_AUTO_DETECT, both);
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(a.proxy, "socks5://dhcp-proxy.test:1080");
    EXPECT_EQ(server_.hosts_asking("/proxy.pac"), std::vector<std::string>{"wpad-dhcp.example.test"});

    // networkd's newer lease names a file that is not there: DHCP fails and
    // DNS still answers.
    std::ofstream(ns_.dir() / "networkd" / "1")
        << "OPTION_252=687474703a2f2f777061642d646863702e6578616d706c652e746573742f676f6e652e706163\n";
    fs::last_write_time(ns_.dir() / "dhclient.leases", fs::file_time_type::clock::now() - std::chrono::hours(1));
    a = ProxyForUrl("https://backend.test/", WINHTTP_AUTOPROXY_AUTO_DETECT, both);
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(a.proxy, "wpad-proxy.test:3128");
    EXPECT_EQ(server_.hosts_asking("/gone.pac").size(), 1u);
}

}  // namespace
