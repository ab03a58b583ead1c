// WPAD names by DNS from the host's name and a resolv.conf (whose search list
// a DHCP server may have written): the first line of the input is the host's
// fully qualified name, the rest the resolv.conf. Every candidate is
// "wpad.<domain>" with a clean domain at or below its registrable domain, and
// none comes twice; no candidate is a public suffix, and a registrable domain
// sits exactly one label below one (judged by libpsl directly).
#include <libpsl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/winhttp/wpad_dns.h"

namespace {

bool Clean(std::string_view domain) {
    if (domain.empty() || domain.size() > 240 || domain.front() == '.' || domain.back() == '.' ||
        domain.find("..") != std::string_view::npos)
        return false;
    return std::all_of(domain.begin(), domain.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
    });
}

// The same list the code under test loads.
const psl_ctx_t* SuffixList() {
    static const psl_ctx_t* const list = [] {
        const psl_ctx_t* latest = psl_latest(nullptr);
        return latest ? latest : psl_builtin();
    }();
    return list;
}

bool IsPublicSuffix(std::string_view domain) {
    return psl_is_public_suffix(SuffixList(), std::string(domain).c_str()) != 0;
}

// `floor` is not a public suffix and its parent is one.
void CheckFloor(const std::string& floor) {
    if (floor.empty()) return;
    const size_t dot = floor.find('.');
    if (!Clean(floor) || IsPublicSuffix(floor) || dot == std::string::npos ||
        !IsPublicSuffix(std::string_view(floor).substr(dot + 1)))
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace platform::winhttp;
    // One scratch file for the whole run, removed when the fuzzer exits.
    static const struct Scratch {
        std::string path = "/tmp/dtk-fuzz-resolv-" + std::to_string(getpid());
        ~Scratch() { unlink(path.c_str()); }
    } scratch;
    const std::string& path = scratch.path;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t newline = input.find('\n');
    const std::string_view fqdn = input.substr(0, newline);
    const std::string_view conf = newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);
    FILE* file = fopen(path.c_str(), "wb");
    if (!file)
        return 0;
    fwrite(conf.data(), 1, conf.size(), file);
    fclose(file);

    CheckFloor(RegistrableDomain(fqdn));
    const std::vector<std::string> search = ReadSearchList(path);
    if (search.size() > 6)
        abort();
    const std::vector<std::string> names = WpadCandidates(fqdn, search);
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        if (name.rfind("wpad.", 0) != 0)
            abort();
        const std::string_view domain = std::string_view(name).substr(5);
        if (!Clean(domain))
            abort();
        const std::string floor = RegistrableDomain(domain);
        if (floor.empty() || domain.size() < floor.size() || IsPublicSuffix(domain))
            abort();
        CheckFloor(floor);
        if (domain.size() > floor.size() &&
            domain.substr(domain.size() - floor.size() - 1) != "." + floor)
            abort();
        if (std::find(names.begin() + static_cast<long>(i) + 1, names.end(), name) != names.end())
            abort();
    }
    return 0;
}
