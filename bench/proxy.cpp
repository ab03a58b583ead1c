// bench_proxy: PAC evaluation speed and the wall time of a full set of proxy
// sources.
//
// 1. One realistic PAC file (a few hundred host, domain, pattern and network
//    rules) evaluated for a spread of URLs: through the library's evaluation
//    (one helper process per evaluation, as discovery does it) and through the
//    PAC engine's own command-line tester on the same file and URLs, in
//    alternating rounds. Prints both rates and their ratio (ours / tester).
// 2. Every source one discovery asks, in its order (environment, PAC file,
//    WPAD by DHCP, WPAD by DNS), where the DHCP lease names a server that
//    never answers: the wall time, against that source's fetch budget.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_result.h"
#include "platform/utf8.h"
#include "platform/winhttp.h"
#include "platform/winhttp/pac_script.h"
#include "testbed/http_file_server.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// A PAC file shaped like a large organisation's: exact hosts, domains,
// patterns and literal networks, then a default.
std::string RealisticPac(int rules) {
    std::string names, networks;
    for (int i = 0; i < rules; ++i) {
        std::string n = std::to_string(i);
        switch (i % 4) {
        case 0:
            names += "  if (host == 'app" + n + ".corp.test') return 'PROXY p" + std::to_string(i % 7) +
                     ".corp.test:3128';\n";
            break;
        case 1:
            names += "  if (dnsDomainIs(host, '.unit" + n + ".test')) return 'DIRECT';\n";
            break;
        case 2:
            names += "  if (shExpMatch(url, '*://*.cdn" + n + ".test/*')) return 'PROXY cache.corp.test:8080; DIRECT';\n";
            break;
        default:
            networks += "    if (isInNet(host, '10." + std::to_string(i % 256) +
                        ".0.0', '255.255.0.0')) return 'SOCKS5 socks.corp.test:1080';\n";
        }
    }
    // Network rules only for address literals, so that no rule waits for DNS.
    return "function FindProxyForURL(url, host) {\n"
           "  if (isPlainHostName(host)) return 'DIRECT';\n" +
           names + "  if (/^\\d+\\.\\d+\\.\\d+\\.\\d+$/.test(host)) {\n" + networks +
           "  }\n  return 'PROXY default.corp.test:3128; DIRECT';\n}\n";
}

const std::vector<std::string> URLS = {
    "https://app0.corp.test/x",  "https://a.unit1.test/", "http://img.cdn2.test/a.png",
    "https://10.3.1.1/", "https://app296.corp.test/", "https://elsewhere.test/",
};

double OursPerSecond(const std::string& script, int rounds) {
    platform::WinHttpSettings settings = platform::WinHttpGetSettings();
    auto start = Clock::now();
    int ok = 0;
    for (int r = 0; r < rounds; ++r)
        for (const std::string& url : URLS) {
            std::string answer;
            ok += platform::winhttp::EvaluatePac(script, url, settings, Clock::now() + std::chrono::seconds(5),
                                                 &answer) == 0;
        }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (ok != rounds * static_cast<int>(URLS.size())) std::fprintf(stderr, "our evaluation failed %d times\n",
                                                                    rounds * static_cast<int>(URLS.size()) - ok);
    return ok / seconds;
}

double TesterPerSecond(const std::string& file, int rounds) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    auto start = Clock::now();
    int ok = 0;
    for (int r = 0; r < rounds; ++r)
        for (const std::string& url : URLS) {
            const char* argv[] = {"pactester", "-p", file.c_str(), "-u", url.c_str(), nullptr};
            pid_t pid;
            int status = 0;
            if (posix_spawnp(&pid, "pactester", &actions, nullptr, const_cast<char**>(argv), environ) == 0 &&
                waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0)
                ++ok;
        }
    posix_spawn_file_actions_destroy(&actions);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (ok == 0) return 0;
    return ok / seconds;
}

void PacSpeed(int rules, int rounds) {
    std::string script = RealisticPac(rules);
    std::string file = (fs::temp_directory_path() / ("dtk-bench-" + std::to_string(getpid()) + ".pac")).string();
    std::ofstream(file) << script;
    double ours = 0, tester = 0;
    for (int alt = 0; alt < 3; ++alt) {  // alternating rounds even out drift
        ours += OursPerSecond(script, rounds);
        tester += TesterPerSecond(file, rounds);
    }
    fs::remove(file);
    std::printf("PAC evaluation, %d rules, %zu bytes: ours %.0f/s, pactester %.0f/s, ratio %.2f\n", rules,
                script.size(), ours / 3, tester / 3, tester > 0 ? ours / tester : 0.0);
    bench_result("pac_evaluations_per_s", ours / 3, "1/s", tester / 3);
}

void FullSourceSet() {
    testbed::HttpFileServer server, dead;
    server.serve("/proxy.pac", RealisticPac(300));
    dead.stall("/wpad.dat");
    if (!server.start() || !dead.start()) {
        std::printf("full source set: servers did not start\n");
        return;
    }
    fs::path dir = fs::temp_directory_path() / ("dtk-bench-leases-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "dhclient.leases")
        << "lease { option wpad \"" << dead.url("/wpad.dat") << "\"; expire never; }\n";  // a current lease
    platform::WinHttpSettings saved = platform::WinHttpGetSettings(), settings = saved;
    settings.pacFetchMs = 1000;
    settings.dhclientLeasePaths = {(dir / "dhclient.leases").string()};
    settings.networkdLeaseDir = (dir / "none").string();
    settings.networkManagerDir = (dir / "none").string();
    settings.hostFqdn = "host.bench.invalid";
    platform::WinHttpSetSettings(settings);
    setenv("https_proxy", "http://env-proxy.test:3128", 1);

    std::wstring url = L"https://app0.corp.test/";
    std::wstring pac = platform::Utf8ToWide(server.url("/proxy.pac"));
    auto start = Clock::now();
    WINHTTP_PROXY_INFO info{};
    int answers = 0;
    if (WinHttpGetDefaultProxyConfiguration(&info)) ++answers;
    GlobalFree(info.lpszProxy);
    GlobalFree(info.lpszProxyBypass);
    HINTERNET session = WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, nullptr, nullptr, 0);
    WINHTTP_AUTOPROXY_OPTIONS methods[] = {
        {WINHTTP_AUTOPROXY_CONFIG_URL, 0, pac.c_str(), nullptr, 0, false},
        {WINHTTP_AUTOPROXY_AUTO_DETECT, WINHTTP_AUTO_DETECT_TYPE_DHCP, nullptr, nullptr, 0, false},
        {WINHTTP_AUTOPROXY_AUTO_DETECT, WINHTTP_AUTO_DETECT_TYPE_DNS_A, nullptr, nullptr, 0, false},
    };
    for (auto& options : methods) {
        info = WINHTTP_PROXY_INFO{};
        if (WinHttpGetProxyForUrl(session, url.c_str(), &options, &info)) ++answers;
        GlobalFree(info.lpszProxy);
        GlobalFree(info.lpszProxyBypass);
    }
    WinHttpCloseHandle(session);
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::printf("full source set (env, PAC, DHCP to a silent server, DNS): %.0f ms, %d of 4 sources answered, "
                "dead source's fetch budget %u ms\n",
                ms, answers, settings.pacFetchMs);
    bench_result("proxy_full_source_set", ms, "ms");
    bench_result("proxy_sources_answered", answers, "of_4");
    unsetenv("https_proxy");
    platform::WinHttpSetSettings(saved);
    fs::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
    PacSpeed(300, rounds);
    FullSourceSet();
    return 0;
}
