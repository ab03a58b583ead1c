#include "platform/winhttp/wpad_dns.h"

#include <libpsl.h>
#include <netdb.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "host/WinApi.h"
#include "platform/computer_name.h"

namespace platform::winhttp {

namespace {

// The public suffix list, loaded once and kept for the process: the
// distribution's list when it is newer than the library's own, else the
// library's. Null when there is neither; then no name has a registrable
// domain and WPAD by DNS asks nothing.
const psl_ctx_t* SuffixList() {
    static const psl_ctx_t* const list = [] {
        const psl_ctx_t* latest = psl_latest(nullptr);
        return latest ? latest : psl_builtin();
    }();
    return list;
}

constexpr int MAX_LINGERING_LOOKUPS = 8;
std::atomic<int> lingering_lookups{0};

std::string Normalise(std::string_view domain) {
    while (!domain.empty() && domain.back() == '.') domain.remove_suffix(1);
    while (!domain.empty() && domain.front() == '.') domain.remove_prefix(1);
    std::string out(domain);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

bool ValidDomain(const std::string& domain) {
    if (domain.empty() || domain.size() > 240 || domain.find("..") != std::string::npos) return false;
    return std::all_of(domain.begin(), domain.end(),
                       [](unsigned char c) { return std::isalnum(c) || c == '.' || c == '-' || c == '_'; });
}

void AddWithParents(std::vector<std::string>* out, std::string_view raw) {
    std::string domain = Normalise(raw);
    if (!ValidDomain(domain)) return;
    std::string floor = RegistrableDomain(domain);
    if (floor.empty()) return;
    for (;;) {
        std::string name = "wpad." + domain;
        if (std::find(out->begin(), out->end(), name) == out->end()) out->push_back(name);
        if (domain.size() <= floor.size()) break;
        domain.erase(0, domain.find('.') + 1);
    }
}

struct Lookup {
    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
    std::string result;
};

}  // namespace

std::string RegistrableDomain(std::string_view raw) {
    std::string domain = Normalise(raw);
    const psl_ctx_t* list = SuffixList();
    if (!ValidDomain(domain) || !list) return "";
    // Anyone may register directly below a public suffix (ICANN or private
    // section, wildcard rules included; an unlisted top-level domain counts
    // as one), so the walk stops at the first label below it.
    const char* floor = psl_registrable_domain(list, domain.c_str());
    return floor ? std::string(floor) : "";
}

std::vector<std::string> WpadCandidates(std::string_view fqdn, const std::vector<std::string>& search) {
    std::vector<std::string> out;
    size_t dot = fqdn.find('.');
    if (dot != std::string_view::npos) AddWithParents(&out, fqdn.substr(dot + 1));
    for (const std::string& domain : search) AddWithParents(&out, domain);
    return out;
}

std::vector<std::string> ReadSearchList(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> search, domain;
    std::string line;
    for (int n = 0; n < 1000 && std::getline(in, line); ++n) {
        std::istringstream words(line);
        std::string key, value;
        words >> key;
        std::vector<std::string>* into = key == "search" ? &search : key == "domain" ? &domain : nullptr;
        if (!into) continue;
        into->clear();  // the last line of each kind counts, as for the resolver
        while (words >> value && into->size() < 6) into->push_back(value);
    }
    return search.empty() ? domain : search;
}

namespace {

// Runs `lookup` on a thread of its own and waits for its answer until
// `deadline`; "" when it takes longer (it then finishes alone) or when too
// many lookups are still lingering.
std::string LookupBefore(std::function<std::string()> lookup, std::chrono::steady_clock::time_point deadline) {
    if (lingering_lookups.fetch_add(1) >= MAX_LINGERING_LOOKUPS) {
        lingering_lookups.fetch_sub(1);
        return "";
    }
    auto state = std::make_shared<Lookup>();
    try {
        std::thread([state, lookup = std::move(lookup)] {
            std::string result = lookup();
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                state->done = true;
                state->result = std::move(result);
            }
            state->done_cv.notify_all();
            lingering_lookups.fetch_sub(1);
        }).detach();
    } catch (const std::system_error&) {
        lingering_lookups.fetch_sub(1);
        return "";
    }
    std::unique_lock<std::mutex> lock(state->mutex);
    state->done_cv.wait_until(lock, deadline, [&] { return state->done; });
    return state->done ? state->result : "";
}

}  // namespace

bool ResolvesBefore(const std::string& name, std::chrono::steady_clock::time_point deadline) {
    return !LookupBefore(
                [name] {
                    addrinfo hints{};
                    hints.ai_family = AF_INET;  // the "A record" of the detection
                    hints.ai_socktype = SOCK_STREAM;
                    addrinfo* result = nullptr;
                    bool found = getaddrinfo(name.c_str(), nullptr, &hints, &result) == 0;
                    if (result) freeaddrinfo(result);
                    return found ? name : std::string();
                },
                deadline)
                .empty();
}

std::string HostFqdnBefore(std::chrono::steady_clock::time_point deadline) {
    std::string fqdn = LookupBefore(
        [] {
            std::string name;
            return platform::ComputerName(ComputerNameDnsFullyQualified, &name) == 0 ? name : std::string();
        },
        deadline);
    if (fqdn.empty()) platform::ComputerName(ComputerNameDnsHostname, &fqdn);  // no lookup involved
    return fqdn;
}

}  // namespace platform::winhttp
